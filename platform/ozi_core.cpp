/*
 * ozi_core.cpp - SDK start and stop, logging, version texts, threads and
 * time of the host media platform.
 *
 * Time comes from ozi_clock.cpp.
 *
 * THREADS: every function may be called from any thread.  g_print_mutex
 * keeps one log line from interleaving with another; it is the only lock.
 */
#include "ozi_core.h"
#include "ozi_host.h"
#include "ozi_sdk.h"

#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sched.h>

extern "C" {
#include <libavutil/log.h>
}

namespace {

std::mutex g_print_mutex; /* guards stdout while one line is written */

constexpr int kThreadNameMax = 15; /* pthread names: 15 chars + NUL */

} // namespace

extern "C" void ozi__media_libs_init(void)
{
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_ERROR); });
}

/* ---- SDK start and stop ------------------------------------------------ */

extern "C" int ozi_sdk_init(struct sdk_run_config *config)
{
    if (ozi_host_should_fail("ozi_sdk_init"))
        return -1;
    (void)config; /* trace and tool-server flags have no host counterpart */
    return 0;
}

extern "C" int ozi_sdk_exit(void)
{
    if (ozi_host_should_fail("ozi_sdk_exit"))
        return -1;
    return 0;
}

/* ---- logging ----------------------------------------------------------- */

extern "C" int ozi_print(int module, int level, const char *fmt, ...)
{
    if (ozi_host_should_fail("ozi_print"))
        return -1;
    (void)module;
    (void)level;
    if (!fmt)
        return -1;
    char line[2048];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    if (n < 0)
        return -1;
    std::lock_guard<std::mutex> lock(g_print_mutex);
    fputs(line, stdout);
    fflush(stdout);
    return n;
}

extern "C" const char *ozi_vi_get_version(void)
{
    return "OZI VI host V2.1.0";
}

extern "C" const char *ozi_venc_get_version(void)
{
    return "OZI VENC host V2.1.0";
}

extern "C" const char *ozi_ai_get_version(void)
{
    return "OZI AI host V2.1.0";
}

extern "C" const char *ozi_aenc_get_version(void)
{
    return "OZI AENC host V2.1.0";
}

/* ---- threads and time -------------------------------------------------- */

/*
 * A real-time priority asks for SCHED_RR.  Where the process may not use
 * it (no CAP_SYS_NICE, as on a developer's machine), the thread is created
 * again with the default policy: a camera stream at default priority is
 * better than none.
 */
extern "C" int ozi_thread_create(ozi_pthread_t *tid, ozi_thread_func func, void *arg,
                                 int stack_size, int priority)
{
    if (!tid || !func)
        return -1;
    if (ozi_host_should_fail("ozi_thread_create"))
        return -1;
    for (int attempt = 0; attempt < 2; attempt++) {
        bool realtime = attempt == 0 && priority >= 1 && priority <= 99;
        if (attempt == 1 && !(priority >= 1 && priority <= 99))
            break;
        pthread_attr_t attr;
        if (pthread_attr_init(&attr) != 0)
            return -1;
        if (stack_size > 0) {
            size_t size = (size_t)stack_size;
            if (size < (size_t)PTHREAD_STACK_MIN)
                size = PTHREAD_STACK_MIN;
            pthread_attr_setstacksize(&attr, size);
        }
        if (realtime) {
            struct sched_param sp;
            std::memset(&sp, 0, sizeof sp);
            int lo = sched_get_priority_min(SCHED_RR);
            int hi = sched_get_priority_max(SCHED_RR);
            sp.sched_priority = priority < lo ? lo : priority > hi ? hi : priority;
            pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
            pthread_attr_setschedpolicy(&attr, SCHED_RR);
            pthread_attr_setschedparam(&attr, &sp);
        }
        int rc = pthread_create(tid, &attr, func, arg);
        pthread_attr_destroy(&attr);
        if (rc == 0)
            return 0;
        if (!(realtime && rc == EPERM))
            return -1;
    }
    return -1;
}

extern "C" int ozi_thread_detach(ozi_pthread_t tid)
{
    if (ozi_host_should_fail("ozi_thread_detach"))
        return -1;
    return pthread_detach(tid) == 0 ? 0 : -1;
}

extern "C" int ozi_thread_join(ozi_pthread_t tid, void **retval)
{
    if (ozi_host_should_fail("ozi_thread_join"))
        return -1;
    return pthread_join(tid, retval) == 0 ? 0 : -1;
}

extern "C" int ozi_thread_set_name(const char *name)
{
    if (ozi_host_should_fail("ozi_thread_set_name"))
        return -1;
    if (!name)
        return -1;
    char cut[kThreadNameMax + 1];
    std::strncpy(cut, name, kThreadNameMax);
    cut[kThreadNameMax] = '\0';
    return pthread_setname_np(pthread_self(), cut) == 0 ? 0 : -1;
}

extern "C" void ozi_thread_exit(void *retval)
{
    pthread_exit(retval);
}

extern "C" void ozi_sleep_ms(int ms)
{
    if (ms <= 0)
        return;
    ozi__sleep_until_us(ozi__now_us() + (uint64_t)ms * 1000u);
}
