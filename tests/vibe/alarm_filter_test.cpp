/*
 * The shared alarm-filter template with the other detector's settings
 * (20 boxes, 160 history entries, incoming track count 1, one speed for
 * every box): properties that must hold whatever the box type.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "alarm_filter.h"

namespace {

struct cell_box {
    int32_t left, top, right, bottom, tag;
};

struct tracker {
    cell_box prev[20] = {};
    int32_t prev_count = 0;
    cell_box history[160] = {};
    int32_t hits[160] = {};
    int32_t history_count = 0;
    ozi_alarm::alarm_params params = {0, 0, 0};
    int32_t speed = 0;

    /* Boxes wider than 1 cell are valid. */
    int run(cell_box *boxes, int count)
    {
        ozi_alarm::alarm_track<cell_box> t = {prev, &prev_count, history, hits, &history_count};
        const int32_t s = speed;
        return ozi_alarm::alarm_filter<20, 160>(
            boxes, count, t, params, [](const cell_box &b) { return b.right > b.left; },
            [s](const cell_box &) { return s; });
    }
};

/* With every parameter 0, a box is alarmed exactly when it is valid and a
 * valid box with the same centre sums was there in the previous call. */
TEST(AlarmFilter, ZeroParametersAlarmOnUnchangedCentres)
{
    std::mt19937 rng(3);
    auto r = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    tracker t;
    std::vector<cell_box> last_valid;
    for (int call = 0; call < 300; call++) {
        cell_box in[20] = {};
        int n = r(0, 20);
        for (int i = 0; i < n; i++) {
            int x = r(1, 6), y = r(1, 6);
            in[i] = {x, y, x + r(0, 2), y + r(0, 2), 1};
        }
        std::vector<cell_box> expect, valid;
        for (int i = 0; i < n; i++) {
            if (in[i].right <= in[i].left)
                continue;
            valid.push_back(in[i]);
            for (const cell_box &p : last_valid)
                if (p.left + p.right == in[i].left + in[i].right &&
                    p.top + p.bottom == in[i].top + in[i].bottom) {
                    expect.push_back(in[i]);
                    break;
                }
        }
        cell_box out[20];
        memcpy(out, in, sizeof in);
        int got = t.run(out, n);
        ASSERT_EQ(got, (int)expect.size()) << "call " << call;
        for (int i = 0; i < got; i++) {
            EXPECT_EQ(out[i].left, expect[i].left) << "call " << call;
            EXPECT_EQ(out[i].top, expect[i].top) << "call " << call;
        }
        for (int i = got; i < 20; i++)
            ASSERT_EQ(out[i].right, 0);
        ASSERT_EQ(t.history_count, 0) << "entries with life 0 go at the end of the call";
        ASSERT_EQ(t.prev_count, (int)valid.size());
        last_valid = valid;
    }
}

/* Twenty confirmed boxes per call with a long life overflow 160 entries:
 * new entries are dropped and the history stays consistent. */
TEST(AlarmFilter, HistoryCapacityIsNeverExceeded)
{
    tracker t;
    t.params = {1, 0, 40};
    t.speed = 1;
    for (int call = 0; call < 30; call++) {
        cell_box boxes[20];
        for (int i = 0; i < 20; i++)
            boxes[i] = {3 * i, 0, 3 * i + 1, 1, 1};
        int n = t.run(boxes, 20);
        EXPECT_EQ(n, call == 0 ? 0 : 20) << "call " << call;
        ASSERT_LE(t.history_count, 160);
        for (int k = 0; k < t.history_count; k++)
            ASSERT_GE(t.history[k].tag, 1);
    }
    EXPECT_EQ(t.history_count, 160);
}

/* Huge speeds and lives must not overflow the distance limits. */
TEST(AlarmFilter, ExtremeParametersStayDefined)
{
    tracker t;
    t.params = {INT32_MIN, INT32_MAX, INT32_MAX};
    t.speed = INT32_MAX;
    for (int call = 0; call < 3; call++) {
        cell_box boxes[20] = {{0, 0, 5, 5, 1}, {INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX, 1}};
        int n = t.run(boxes, 25); /* count beyond capacity is clamped */
        EXPECT_GE(n, 0);
        EXPECT_LE(n, 2);
    }
    t.prev_count = 99; /* corrupt counts are clamped, not trusted */
    t.history_count = -4;
    cell_box boxes[20] = {{0, 0, 5, 5, 1}};
    EXPECT_GE(t.run(boxes, 1), 0);
    EXPECT_EQ(t.prev_count, 1);
}

} // namespace
