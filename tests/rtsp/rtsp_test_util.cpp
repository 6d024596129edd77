#include "rtsp_test_util.h"

#include "rtsp_deliver.h"

#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

rtsp_t *fake_rtsp_new(int rtp_base)
{
    rtsp_t *r = static_cast<rtsp_t *>(calloc(1, sizeof(rtsp_t)));
    r->rtp_port_base = rtp_base;
    r->port = 0;
    pthread_mutex_init(&r->mutex_chn, nullptr);
    INIT_LIST_HEAD(&r->list_head_chn);
    return r;
}

rtsp_channel_t *fake_channel_add(rtsp_t *rtsp, const char *name, bool video)
{
    rtsp_channel_t *c = static_cast<rtsp_channel_t *>(calloc(1, sizeof(rtsp_channel_t)));
    rtsp_channel_init(c, rtsp, name);
    static int dummy;
    c->src_vhandle = video ? &dummy : nullptr;
    list_add_tail(&c->list, &rtsp->list_head_chn);
    return c;
}

void fake_rtsp_free(rtsp_t *rtsp)
{
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &rtsp->list_head_chn) {
        rtsp_channel_t *c = list_entry(pos, rtsp_channel_t, list);
        struct list_head *sp, *sn;
        list_for_each_safe(sp, sn, &c->list_head_session)
            rtsp_detach_session(c, list_entry(sp, session_t, list));
        rtsp_reap_sessions(rtsp, c);   // no connection table: client fds stay
        rtsp_channel_release_media(c);
        list_del(&c->list);
        pthread_mutex_destroy(&c->mutex_session);
        pthread_cond_destroy(&c->cond_sends);
        free(c);
    }
    pthread_mutex_destroy(&rtsp->mutex_chn);
    free(rtsp);
}

int this_thread_id()
{
    return (int)syscall(SYS_gettid);
}

bool thread_blocked(int tid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/self/task/%d/syscall", tid);
    FILE *f = fopen(path, "r");
    if (!f)
        return false;
    long nr = -1;   // the first field: the system call it sleeps in, or "running"
    const bool in_call = fscanf(f, "%ld", &nr) == 1;
    fclose(f);
    if (in_call && nr == SYS_futex)
        return true;
    /* Under a user-mode emulator the file shows the host's call number,
     * not ours; the kernel's wait channel names the futex wait either way. */
    snprintf(path, sizeof path, "/proc/self/task/%d/wchan", tid);
    f = fopen(path, "r");
    if (!f)
        return false;
    char wchan[64] = "";
    const bool named = fgets(wchan, sizeof wchan, f) != nullptr;
    fclose(f);
    return named && strstr(wchan, "futex") != nullptr;
}
