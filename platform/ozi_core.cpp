/*
 * ozi_core.cpp - SDK start and stop, logging, version texts, threads and
 * time of the host media platform.
 *
 * Time: one clock serves the whole platform (frame time stamps, capture
 * pacing, ozi_sleep_ms).  It is the system's monotonic clock, or, when a
 * test asks for it, a manual clock that stands still until the test
 * advances it; threads asleep on it wake when it reaches their deadline.
 * Switching back to the system clock never moves time backwards: the
 * clock then runs on from the later of the two readings.
 *
 * THREADS: every function may be called from any thread.  g_print_mutex
 * keeps one log line from interleaving with another.  Clock::mutex guards
 * the manual clock and its sleepers.  Neither is held while the other is
 * taken.
 */
#include "ozi_core.h"
#include "ozi_host.h"
#include "ozi_sdk.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <sched.h>
#include <set>

extern "C" {
#include <libavutil/log.h>
}

namespace {

std::mutex g_print_mutex; /* guards stdout while one line is written */

constexpr int kThreadNameMax = 15; /* pthread names: 15 chars + NUL */

struct Clock {
    std::mutex mutex;                 /* guards every field below */
    std::condition_variable advanced; /* the manual time moved, or the mode changed */
    std::condition_variable slept;    /* a thread began to sleep on the manual clock */
    bool manual = false;
    uint64_t now_us = 0;              /* the manual time */
    uint64_t mode = 0;                /* counts switches between the two clocks */
    std::multiset<uint64_t> deadlines; /* of the threads asleep on the manual clock */
};

/* Lives for the whole process: detached workers may sleep on it at exit. */
Clock &the_clock()
{
    static Clock *c = new Clock;
    return *c;
}

std::atomic<bool> g_manual{false};      /* mirrors Clock::manual, read without the lock */
std::atomic<uint64_t> g_real_offset{0}; /* added to the system clock: time never goes back */

uint64_t system_us()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u +
           g_real_offset.load(std::memory_order_relaxed);
}

void system_sleep_until(uint64_t deadline_us)
{
    uint64_t offset = g_real_offset.load(std::memory_order_relaxed);
    deadline_us = deadline_us > offset ? deadline_us - offset : 0;
    struct timespec ts;
    ts.tv_sec = (time_t)(deadline_us / 1000000u);
    ts.tv_nsec = (long)(deadline_us % 1000000u) * 1000;
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

/* Threads asleep on the manual clock that it has not yet woken. */
int sleepers_locked(const Clock &c)
{
    return (int)std::distance(c.deadlines.upper_bound(c.now_us), c.deadlines.end());
}

} // namespace

extern "C" uint64_t ozi__now_us(void)
{
    if (!g_manual.load(std::memory_order_acquire))
        return system_us();
    Clock &c = the_clock();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.manual ? c.now_us : system_us();
}

extern "C" uint64_t ozi__now_ms(void)
{
    return ozi__now_us() / 1000u;
}

extern "C" void ozi__sleep_until_us(uint64_t deadline_us)
{
    if (g_manual.load(std::memory_order_acquire)) {
        Clock &c = the_clock();
        std::unique_lock<std::mutex> lock(c.mutex);
        if (c.manual) {
            if (c.now_us >= deadline_us)
                return;
            const uint64_t mode = c.mode;
            auto it = c.deadlines.insert(deadline_us);
            c.slept.notify_all();
            /* A switch back to the system clock wakes every sleeper: its
             * deadline was set in manual time. */
            c.advanced.wait(lock, [&] { return c.mode != mode || c.now_us >= deadline_us; });
            c.deadlines.erase(it);
            return;
        }
    }
    system_sleep_until(deadline_us);
}

/* ---- the test clock ---------------------------------------------------- */

extern "C" void ozi_host_clock_manual(void)
{
    Clock &c = the_clock();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (c.manual)
        return;
    c.now_us = system_us();
    c.manual = true;
    c.mode++;
    g_manual.store(true, std::memory_order_release);
    c.advanced.notify_all();
}

extern "C" void ozi_host_clock_system(void)
{
    Clock &c = the_clock();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.manual)
        return;
    uint64_t sys = system_us();
    if (c.now_us > sys)
        g_real_offset.fetch_add(c.now_us - sys, std::memory_order_relaxed);
    c.manual = false;
    c.mode++;
    g_manual.store(false, std::memory_order_release);
    c.advanced.notify_all();
}

extern "C" int ozi_host_clock_advance_us(uint64_t us)
{
    Clock &c = the_clock();
    std::lock_guard<std::mutex> lock(c.mutex);
    if (!c.manual)
        return -1;
    c.now_us += us;
    c.advanced.notify_all();
    return 0;
}

extern "C" uint64_t ozi_host_clock_now_us(void)
{
    return ozi__now_us();
}

extern "C" int ozi_host_clock_sleepers(void)
{
    Clock &c = the_clock();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.manual ? sleepers_locked(c) : 0;
}

extern "C" int ozi_host_clock_wait_sleepers(int count, int timeout_ms)
{
    Clock &c = the_clock();
    std::unique_lock<std::mutex> lock(c.mutex);
    return c.slept.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
        return c.manual && sleepers_locked(c) >= count;
    }) ? 0 : -1;
}

extern "C" int ozi_host_clock_run(uint64_t us, uint64_t step_us, int sleepers, int timeout_ms)
{
    if (step_us == 0)
        return -1;
    for (uint64_t done = 0; done < us; done += step_us) {
        if (ozi_host_clock_wait_sleepers(sleepers, timeout_ms) != 0)
            return -1;
        if (ozi_host_clock_advance_us(step_us < us - done ? step_us : us - done) != 0)
            return -1;
    }
    return ozi_host_clock_wait_sleepers(sleepers, timeout_ms);
}

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
