/*
 * The shared alarm-filter template with the other detector's settings
 * (20 boxes, 160 history entries, incoming track count 1, one speed for
 * every box): properties that must hold whatever the box type.
 */
#include <gtest/gtest.h>

#include <cstdint>
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

/* The filter written out step by step in 64-bit arithmetic, on the same
 * arrays as the template, so that every slot of the tracking state can be
 * compared (also the stale ones beyond the counts). */
template <int MaxBoxes, int MaxHistory>
struct literal_filter {
    cell_box prev[MaxBoxes] = {};
    int32_t prev_count = 0;
    cell_box history[MaxHistory] = {};
    int32_t hits[MaxHistory] = {};
    int32_t history_count = 0;

    static int64_t d2(const cell_box &p, const cell_box &q)
    {
        int64_t dx = ((int64_t)p.left + p.right) - ((int64_t)q.left + q.right);
        int64_t dy = ((int64_t)p.top + p.bottom) - ((int64_t)q.top + q.bottom);
        return dx * dx + dy * dy;
    }
    static int32_t add(int32_t v, int32_t d) { return (int32_t)((uint32_t)v + (uint32_t)d); }
    static int clamp(int32_t v, int hi) { return v < 0 ? 0 : (v > hi ? hi : v); }

    template <typename Valid, typename Speed>
    int run(cell_box *boxes, int count, const ozi_alarm::alarm_params &p, Valid valid,
            Speed speed)
    {
        std::vector<cell_box> v;
        for (int i = 0; i < clamp(count, MaxBoxes); i++)
            if (valid(boxes[i]))
                v.push_back(boxes[i]);
        int hc = clamp(history_count, MaxHistory);
        for (int k = 0; k < hc; k++)
            history[k].tag = add(history[k].tag, -1);
        const int pc = clamp(prev_count, MaxBoxes);
        for (cell_box &q : v)
            for (int j = 0; j < pc; j++) {
                if (d2(q, prev[j]) > 4 * (int64_t)speed(q))
                    continue;
                q.tag = add(prev[j].tag, 1);
                if (q.tag >= p.confirm_frames && hc < MaxHistory) {
                    history[hc] = q;
                    history[hc].tag = p.history_frames;
                    hits[hc++] = 0;
                }
                break;
            }
        for (int i = 0; i < MaxBoxes; i++)
            prev[i] = i < (int)v.size() ? v[i] : cell_box{};
        prev_count = (int32_t)v.size();
        std::vector<cell_box> alarms;
        for (size_t i = 0; i < v.size(); i++) {
            if (v[i].tag >= p.confirm_frames)
                prev[i].tag = add(prev[i].tag, -1);
            bool taken = false;
            for (int k = 0; k < hc; k++) {
                const int64_t age = (int64_t)p.history_frames - history[k].tag;
                if (d2(v[i], history[k]) > age * 4 * (int64_t)speed(v[i]))
                    continue;
                if (hits[k] < INT32_MAX)
                    hits[k]++;
                if (hits[k] > p.alarm_hits && !taken) {
                    alarms.push_back(v[i]);
                    taken = true;
                }
            }
        }
        for (int i = 0; i < MaxBoxes; i++)
            boxes[i] = i < (int)alarms.size() ? alarms[i] : cell_box{};
        int kept = 0;
        for (int k = 0; k < hc; k++)
            if (history[k].tag > 0) {
                history[kept] = history[k];
                hits[kept++] = hits[k];
            }
        history_count = kept;
        return (int)alarms.size();
    }
};

/* Random sequences through the template and the literal filter: results
 * and the whole tracking state must be identical after every call.  Small
 * coordinates and parameters take the filter's 32-bit scan; coordinates,
 * lives and speeds of up to 2^16 or 2^28 in magnitude (around and far
 * beyond the limits of that scan) take its 64-bit one, and so do single far
 * boxes mixed into small scenes.  Boxes wider than three
 * cells get another speed, as large boxes do in the vibe detector. */
template <int MaxBoxes, int MaxHistory>
void compare_with_literal_filter(uint32_t seed, bool large)
{
    std::mt19937 rng(seed);
    auto r = [&rng](int64_t lo, int64_t hi) {
        return (int32_t)std::uniform_int_distribution<int64_t>(lo, hi)(rng);
    };
    const int32_t big = int32_t(1) << 28, medium = int32_t(1) << 16;
    auto far = [&]() { return r(0, 1) ? r(-big, big) : r(-medium, medium); };
    auto value = [&](int32_t small_hi) { return large && r(0, 1) ? far() : r(-1, small_hi); };
    literal_filter<MaxBoxes, MaxHistory> want;
    literal_filter<MaxBoxes, MaxHistory> got; /* its arrays hold the template's state */
    ozi_alarm::alarm_params p = {value(4), value(3), value(9)};
    int32_t speed = value(300), large_speed = value(600);
    const int spread = r(2, 40);
    if (large) { /* a history left by earlier calls, some counters saturated */
        want.history_count = got.history_count = r(0, MaxHistory);
        for (int k = 0; k < MaxHistory; k++) {
            const int32_t x = r(0, spread), y = r(0, spread);
            want.history[k] = got.history[k] = {x, y, x + r(0, 4), y + r(0, 4), r(1, 9)};
            want.hits[k] = got.hits[k] = r(0, 1) ? INT32_MAX - r(0, 1) : r(0, 5);
        }
    }
    for (int call = 0; call < 50; call++) {
        if (r(0, 12) == 0) {
            p = {value(4), value(3), value(9)};
            speed = value(300);
        }
        if (call == 25 && large) { /* corrupt counts are clamped */
            want.prev_count = got.prev_count = r(-5, MaxBoxes + 5);
            want.history_count = got.history_count = r(-5, MaxHistory + 5);
        }
        cell_box in[MaxBoxes] = {};
        const int n = r(0, MaxBoxes + 2);
        for (cell_box &b : in) {
            const int32_t x = r(0, spread), y = r(0, spread);
            b = {x, y, x + r(0, 4), y + r(0, 4), r(0, 1)};
            if (r(0, 40) == 0) /* a far box */
                b = {far(), far(), far(), far(), 1};
        }
        auto valid = [](const cell_box &b) { return b.right >= b.left && (b.left & 7) != 5; };
        auto speed_of = [&](const cell_box &b) {
            return (int64_t)b.right - b.left > 3 ? large_speed : speed;
        };
        cell_box out_want[MaxBoxes], out_got[MaxBoxes];
        memcpy(out_want, in, sizeof in);
        memcpy(out_got, in, sizeof in);
        const int nw = want.run(out_want, n, p, valid, speed_of);
        ozi_alarm::alarm_track<cell_box> t = {got.prev, &got.prev_count, got.history, got.hits,
                                              &got.history_count};
        const int ng = ozi_alarm::alarm_filter<MaxBoxes, MaxHistory>(out_got, n, t, p, valid,
                                                                     speed_of);
        ASSERT_EQ(ng, nw) << "seed " << seed << " call " << call;
        ASSERT_EQ(memcmp(out_got, out_want, sizeof out_got), 0) << "seed " << seed << " call " << call;
        ASSERT_EQ(got.prev_count, want.prev_count) << "seed " << seed << " call " << call;
        ASSERT_EQ(got.history_count, want.history_count) << "seed " << seed << " call " << call;
        ASSERT_EQ(memcmp(got.prev, want.prev, sizeof got.prev), 0) << "seed " << seed << " call " << call;
        ASSERT_EQ(memcmp(got.history, want.history, sizeof got.history), 0)
            << "seed " << seed << " call " << call;
        ASSERT_EQ(memcmp(got.hits, want.hits, sizeof got.hits), 0) << "seed " << seed << " call " << call;
    }
}

TEST(AlarmFilter, MatchesTheLiteralFilterOnRandomSequences)
{
    for (uint32_t seed = 1; seed <= 150; seed++) {
        compare_with_literal_filter<20, 160>(seed, false);
        compare_with_literal_filter<10, 80>(seed, false);
        compare_with_literal_filter<20, 160>(seed, true);
        compare_with_literal_filter<10, 80>(seed, true);
        if (HasFatalFailure())
            return;
    }
}

} // namespace
