/*
 * dovu.cpp - the streaming library's source registry and exported interface.
 *
 * A producer registers named media sources with a table of operations
 * (src_ops); the RTSP server looks a source up by name when it creates a
 * channel, starts the channel's streams through the table, pulls frames and
 * releases the streams.  The library keeps its own copy of each table.
 *
 * THREADS: dovu_init, dovu_exit and (un)registration run on the producer's
 * thread; dovu_start_avstream and dovu_get_stream_info on the RTSP server
 * thread; dovu_get_video_stream_data on channel video threads;
 * dovu_release_avstream where a channel is detached.  mutex_src guards the
 * registry list and init_flag; it is held only to walk, link or unlink and
 * to copy a table, never while a source operation, the RTSP server or the
 * log is called.  A source's fields other than its list node never change
 * after it is linked, so the forwarding operations read them unlocked.  A
 * source must not be unregistered while the RTSP server may still use it;
 * dovu_exit stops the server first.
 */
#include "dovu.h"

#include <stdlib.h>
#include <string.h>

#include "dovu_internal.h"
#include "dovu_rtsp.h"
#include "ll_config.h"
#include "ll_lock.h"
#include "ll_log.h"

namespace {

dovu_t dovu = {
    {&dovu.list_head_src, &dovu.list_head_src},
    PTHREAD_MUTEX_INITIALIZER,
    0, nullptr, nullptr, nullptr, nullptr, nullptr, -1,
};

const char kLogPath[] = "/tmp/dovu.log";

// Caller holds mutex_src.  First source whose name equals name exactly.
dovu_source *find_source_locked(const char *name)
{
    struct list_head *pos;
    list_for_each(pos, &dovu.list_head_src) {
        dovu_source *src = list_entry(pos, dovu_source, list);
        if (strcmp(src->src_name, name) == 0)
            return src;
    }
    return nullptr;
}

// Caller holds mutex_src.
bool source_linked_locked(const dovu_source *avsrc)
{
    struct list_head *pos;
    list_for_each(pos, &dovu.list_head_src) {
        if (list_entry(pos, dovu_source, list) == avsrc)
            return true;
    }
    return false;
}

// Calls exit_source and frees a source that is no longer linked.
void destroy_source(dovu_source *src)
{
    if (src->srcops.exit_source)
        src->srcops.exit_source();
    free(src);
}

}  // namespace

extern "C" {

int dovu_init(const char *conf)
{
    {
        // A second init before dovu_exit would start a second server and
        // lose the first log stream; it is answered with 0 and ignored.
        ll_lock lock(&dovu.mutex_src);
        if (dovu.init_flag)
            return 0;
    }
    dovu.log = ll_logopen(kLogPath);
    ll_set_log_level(LOG_LEVEL_DEBUG);
    ll_printf(LOG_LEVEL_INFO, "[%s]DOVU streaming library is created, current version 1.0" __DATE__,
              ll_getCurrentTimeStr());
    dovu.conf_handle = ll_config_init(conf);
    dovu.rtsp = dovu_start_rtsp(dovu.conf_handle);
    ll_lock lock(&dovu.mutex_src);
    dovu.init_flag = 1;
    return 0;
}

void dovu_exit(void)
{
    {
        // Refuse registrations from here on, so the registry only shrinks.
        ll_lock lock(&dovu.mutex_src);
        dovu.init_flag = 0;
    }
    // The server's channels release their streams before any source goes.
    dovu_release_rtsp(dovu.rtsp);
    dovu.rtsp = nullptr;

    for (;;) {
        dovu_source *src = nullptr;
        {
            ll_lock lock(&dovu.mutex_src);
            if (list_empty(&dovu.list_head_src))
                break;
            src = list_first_entry(&dovu.list_head_src, dovu_source, list);
            list_del(&src->list);
        }
        destroy_source(src);
    }

    ll_config_destroy(dovu.conf_handle);
    dovu.conf_handle = -1;
    ll_logclose(dovu.log);
    dovu.log = nullptr;
}

void *dovu_register_av_source(const char *src_name, const char *conf, const src_ops *srcops)
{
    if (!src_name || !srcops)
        return nullptr;
    // Allocated before the registry check, so that the check and the append
    // happen under one hold of mutex_src and two registrations of one name
    // cannot both succeed.
    dovu_source *src = static_cast<dovu_source *>(calloc(1, sizeof(dovu_source)));
    if (src) {
        // Names are cut to DOVU_SRC_NAME_MAX characters; the cut name is
        // the one registered and compared.
        strncpy(src->src_name, src_name, DOVU_SRC_NAME_MAX);
        src->srcops = *srcops;
    }

    enum { REG_OK, REG_NOT_INIT, REG_DUPLICATE } result = REG_OK;
    {
        ll_lock lock(&dovu.mutex_src);
        if (!dovu.init_flag)
            result = REG_NOT_INIT;
        else if (src && find_source_locked(src->src_name))
            result = REG_DUPLICATE;
        else if (src)
            list_add_tail(&src->list, &dovu.list_head_src);
    }
    if (result == REG_NOT_INIT) {
        LL_LOG(LOG_LEVEL_ERROR, __func__, "dovu is not initialized!");
        free(src);
        return nullptr;
    }
    if (result == REG_DUPLICATE) {
        LL_LOG(LOG_LEVEL_ERROR, __func__, "src_name:%s was resgistered", src->src_name);
        free(src);
        return nullptr;
    }
    if (!src)
        return nullptr;

    // A failing source stays registered (its name stays taken) until
    // dovu_exit calls its exit_source.
    if (src->srcops.init_source && src->srcops.init_source(conf) < 0)
        return nullptr;
    return src;
}

void dovu_unregister_av_source(void *avsrc)
{
    dovu_source *src = static_cast<dovu_source *>(avsrc);
    if (!src)
        return;
    {
        // A handle that is not (or no longer) registered is ignored.
        ll_lock lock(&dovu.mutex_src);
        if (!source_linked_locked(src))
            return;
        list_del(&src->list);
    }
    destroy_source(src);
}

namespace {

/* The source named src_name ("" for the first one) and a copy of its
 * operations; null when there is none. */
dovu_source *source_for(const char *src_name, src_ops *ops)
{
    ll_lock lock(&dovu.mutex_src);
    dovu_source *src;
    // A request path without a source part is served by the first source.
    if (src_name[0] == '\0')
        src = list_empty(&dovu.list_head_src)
                  ? nullptr
                  : list_first_entry(&dovu.list_head_src, dovu_source, list);
    else
        src = find_source_locked(src_name);
    if (src)
        *ops = src->srcops;
    return src;
}

}  // namespace

void *dovu_start_avstream(const char *src_name, void *chn_id, void **video_handle,
                          void **audio_handle)
{
    if (!src_name || !video_handle || !audio_handle)
        return nullptr;
    src_ops ops;
    dovu_source *src = source_for(src_name, &ops);
    if (!src)
        return nullptr;
    if (src_name[0] != '\0')
        ll_printf(LOG_LEVEL_INFO, "[%s]dovu_start_video_stream: %s", ll_getCurrentTimeStr(),
                  src_name);

    *video_handle = ops.video_ops.start ? ops.video_ops.start(chn_id) : nullptr;
    *audio_handle = ops.audio_ops.start ? ops.audio_ops.start(chn_id) : nullptr;
    if (!*video_handle && !*audio_handle)
        return nullptr;
    return src;
}

void *dovu_start_medium(const char *src_name, void *chn_id, int audio, void **handle)
{
    if (!src_name || !handle)
        return nullptr;
    *handle = nullptr;
    src_ops ops;
    dovu_source *src = source_for(src_name, &ops);
    if (!src)
        return nullptr;
    const stream_ops &m = audio ? ops.audio_ops : ops.video_ops;
    if (!audio && src_name[0] != '\0')
        ll_printf(LOG_LEVEL_INFO, "[%s]dovu_start_video_stream: %s", ll_getCurrentTimeStr(),
                  src_name);
    *handle = m.start ? m.start(chn_id) : nullptr;
    return src;
}

void dovu_release_medium(void *dovu_src, int audio, void *handle)
{
    const dovu_source *src = static_cast<const dovu_source *>(dovu_src);
    if (!src)
        return;
    const stream_ops &m = audio ? src->srcops.audio_ops : src->srcops.video_ops;
    if (m.release)
        m.release(handle);
}

void dovu_release_avstream(void *dovu_src, void *video_handle, void *audio_handle)
{
    const dovu_source *src = static_cast<const dovu_source *>(dovu_src);
    if (!src)
        return;
    if (src->srcops.video_ops.release)
        src->srcops.video_ops.release(video_handle);
    if (src->srcops.audio_ops.release)
        src->srcops.audio_ops.release(audio_handle);
}

void dovu_get_video_stream_data(void *dovu_src, void *chn_handle, unsigned char *buff,
                                unsigned int *size, unsigned long long *ts)
{
    const dovu_source *src = static_cast<const dovu_source *>(dovu_src);
    if (!src || !src->srcops.video_ops.get_stream_data) {
        if (size)
            *size = 0;  // no frame
        return;
    }
    src->srcops.video_ops.get_stream_data(chn_handle, buff, size, ts);
}

void dovu_get_audio_stream_data(void *dovu_src, void *chn_handle, unsigned char *buff,
                                unsigned int *size, unsigned long long *ts)
{
    const dovu_source *src = static_cast<const dovu_source *>(dovu_src);
    if (!src || !src->srcops.audio_ops.get_stream_data) {
        if (size)
            *size = 0;  // no frame
        return;
    }
    src->srcops.audio_ops.get_stream_data(chn_handle, buff, size, ts);
}

int dovu_get_stream_info(void *dovu_src, void *chnid, audio_info *ainfo, video_info *vinfo)
{
    const dovu_source *src = static_cast<const dovu_source *>(dovu_src);
    if (!src || !src->srcops.get_stream_info)
        return -1;
    return src->srcops.get_stream_info(chnid, ainfo, vinfo);
}

void *dovu_start_rtsp(int conf_handle)
{
    return rtsp_create(conf_handle);
}

void dovu_release_rtsp(void *p_rtsp)
{
    rtsp_destroy(static_cast<rtsp_t *>(p_rtsp));
}

}  // extern "C"
