/*
 * ozi_clock.cpp - the one clock of the host media platform: frame time
 * stamps, capture pacing, ozi_sleep_ms and the muxer's flush timing.
 *
 * It is the system's monotonic clock, or, when a test asks for it, a manual
 * clock that stands still until the test advances it; threads asleep on it
 * wake when it reaches their deadline.  Switching back to the system clock
 * never moves time backwards: the clock then runs on from the later of the
 * two readings.
 *
 * THREADS: any thread.  Clock::mutex guards the manual clock and its
 * sleepers and is the only lock; g_manual lets the system-clock path skip it.
 */
#include "ozi_clock.h"
#include "ozi_host.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <iterator>
#include <mutex>
#include <set>

namespace {

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
    /* The next whole second: capture channels enabled right after this
     * start their pictures then, as on the system clock they start on
     * the clock's seconds. */
    c.now_us = (system_us() / 1000000u + 1) * 1000000u;
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
