/*
 * manual_clock.h - the platform on its manual clock for one scope: the
 * platform's time stands still until the test moves it on, so pacing
 * tests count pictures and audio frames per advanced second instead of
 * per second of a machine that may be busy.
 */
#ifndef TVRTEST_MANUAL_CLOCK_H
#define TVRTEST_MANUAL_CLOCK_H

#include <gtest/gtest.h>

#include <stdint.h>

#include <functional>

#include "ozi_host.h"

namespace tvrtest {

class ManualClock {
public:
    /* `workers`: the threads that pace on the clock (encoder workers, the
     * recorder); run() moves time only while all of them sleep on it. */
    explicit ManualClock(int workers = 0) : workers_(workers) { ozi_host_clock_manual(); }
    ~ManualClock() { ozi_host_clock_system(); }
    ManualClock(const ManualClock &) = delete;
    ManualClock &operator=(const ManualClock &) = delete;

    /* Back to the system clock, which wakes every sleeper: needed before
     * a release, which waits for its worker to leave its sleep. */
    void stop() const { ozi_host_clock_system(); }

    /* Moves time on by `ms` in 10 ms steps, each once the workers sleep.
     * The real-time bound only catches a worker that hangs. */
    bool run(int ms) const
    {
        return ozi_host_clock_run(static_cast<uint64_t>(ms) * 1000, 10000, workers_, 30000) == 0;
    }
    /* Moves time on in 10 ms steps until `pred` holds, at most `ms`. */
    bool run_until(const std::function<bool()> &pred, int ms) const
    {
        for (int t = 0; t < ms; t += 10) {
            if (pred())
                return true;
            if (!run(10))
                return false;
        }
        return pred();
    }

    /* Moves time on by `ms` at once, whoever is awake. */
    static void advance_ms(uint64_t ms) { ASSERT_EQ(0, ozi_host_clock_advance_us(ms * 1000)); }
    static uint64_t now_ms() { return ozi_host_clock_now_us() / 1000; }

private:
    int workers_;
};

} // namespace tvrtest

#endif /* TVRTEST_MANUAL_CLOCK_H */
