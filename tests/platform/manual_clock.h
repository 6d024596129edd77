/*
 * manual_clock.h - puts the platform on its manual clock for one scope, so
 * pacing tests count pictures and audio frames per advanced second instead
 * of per second of a machine that may be busy.
 */
#ifndef MANUAL_CLOCK_H
#define MANUAL_CLOCK_H

#include "ozi_host.h"

#include <gtest/gtest.h>

class ManualClock {
public:
    ManualClock() { ozi_host_clock_manual(); }
    ~ManualClock() { ozi_host_clock_system(); }
    ManualClock(const ManualClock &) = delete;
    ManualClock &operator=(const ManualClock &) = delete;

    static void advance_ms(uint64_t ms) { ASSERT_EQ(0, ozi_host_clock_advance_us(ms * 1000)); }
    static uint64_t now_ms() { return ozi_host_clock_now_us() / 1000; }
};

#endif /* MANUAL_CLOCK_H */
