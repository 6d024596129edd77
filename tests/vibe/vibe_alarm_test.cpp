/*
 * Floating-wadding alarm filter: confirmation, history hits, speed rules,
 * validity, forgetting tracks, and the history capacity.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "vibe_internal.h"

namespace {

struct filter {
    vibe_handle_t *h = ozi_vibe_init();
    vibe_box boxes[VIBE_MAX_BOXES];
    filter() { memset(h->fd_mask, VIBE_MASK_STRONG, sizeof h->fd_mask); }
    ~filter() { ozi_vibe_destroy(h); }
    /* One call with the given boxes (tag 0, as the main entry passes them). */
    int call(const std::vector<vibe_box> &in)
    {
        memset(boxes, 0, sizeof boxes);
        for (size_t i = 0; i < in.size(); i++)
            boxes[i] = in[i];
        return vibe_alarm(h, boxes, (int)in.size());
    }
};

vibe_box at(int x, int y, int w = 6, int hgt = 8) { return {x, y, x + w - 1, y + hgt - 1, 0}; }

TEST(VibeAlarm, DefaultsAlarmOnTheSixthConsecutiveCall)
{
    filter f;
    for (int call = 1; call <= 8; call++) {
        int n = f.call({at(10 + call, 10)}); /* moves one cell per call */
        if (call < 6) {
            EXPECT_EQ(n, 0) << "call " << call;
        } else {
            ASSERT_EQ(n, 1) << "call " << call;
            EXPECT_EQ(f.boxes[0].left, 10 + call);
            EXPECT_EQ(f.boxes[0].tag, 3) << "track count stops at fw_confirm_frames";
        }
        EXPECT_EQ(f.h->prev_count, 1);
        EXPECT_EQ(f.h->prev_boxes[0].tag, call == 1 ? 0 : (call == 2 ? 1 : 2));
    }
    /* Entries made on calls 4..8 are live; call 4's has reached life 0. */
    EXPECT_EQ(f.h->history_count, 4);
}

TEST(VibeAlarm, SetterForgetsTracks)
{
    filter f;
    for (int call = 1; call <= 6; call++)
        f.call({at(10, 10)});
    ASSERT_EQ(f.call({at(10, 10)}), 1);
    ASSERT_EQ(ozi_vibe_set_floating_wadding_params(f.h, 3, 2, 4, 200, 4, 6, 0), 0);
    for (int call = 1; call <= 5; call++)
        EXPECT_EQ(f.call({at(10, 10)}), 0) << "call " << call << " after the setter";
    EXPECT_EQ(f.call({at(10, 10)}), 1);
}

TEST(VibeAlarm, AlternateCallsNeverConfirm)
{
    filter f;
    for (int call = 1; call <= 20; call++) {
        EXPECT_EQ(f.call(call % 2 ? std::vector<vibe_box>{at(10, 10)} : std::vector<vibe_box>{}), 0);
        EXPECT_EQ(f.h->history_count, 0);
    }
}

TEST(VibeAlarm, SpeedDecidesMatching)
{
    const struct { int speed; int step; bool alarms; } rows[] = {
        {0, 0, true},    /* unchanged centre always matches */
        {0, 1, false},   /* any movement breaks the track */
        {1, 1, true},    /* d^2 = 4 <= 4 x 1 */
        {200, 14, true}, /* d^2 = 784 <= 800 ... */
        {200, 15, false} /* ... 900 > 800 */,
    };
    for (const auto &r : rows) {
        filter f;
        ozi_vibe_set_floating_wadding_params(f.h, 3, 2, 4, r.speed, 4, 6, 0);
        int alarms = 0;
        for (int call = 0; call < 8; call++)
            alarms += f.call({at(2 + r.step * (call % 4), 10)});
        EXPECT_EQ(alarms > 0, r.alarms) << "speed " << r.speed << " step " << r.step;
    }
}

TEST(VibeAlarm, LargeBoxesGetTwiceTheSpeed)
{
    filter f;
    ozi_vibe_set_floating_wadding_params(f.h, 3, 2, 4, 200, 4, 6, 10);
    EXPECT_EQ(vibe_get_floating_wadding_speed(f.h, 0, 0, 9, 7, 0), 400);  /* 80 cells */
    EXPECT_EQ(vibe_get_floating_wadding_speed(f.h, 0, 0, 78, 0, 0), 200); /* 79 cells */
    ozi_vibe_set_floating_wadding_params(f.h, 3, 2, 4, 200, 4, 6, 0);
    EXPECT_EQ(vibe_get_floating_wadding_speed(f.h, 0, 0, 79, 59, 0), 200);
}

TEST(VibeAlarm, ValidityNeedsSizeAndFortyPercentChange)
{
    filter f;
    memset(f.h->fd_mask, 0, sizeof f.h->fd_mask);
    /* Box 10..19 x 10..19: 100 cells, 40 of them changed (weak counts). */
    for (int y = 10; y < 14; y++)
        memset(&f.h->fd_mask[y * 80 + 10], VIBE_MASK_WEAK, 10);
    EXPECT_EQ(vibe_Is_valid_rect(f.h, 10, 10, 19, 19, 0), 1);
    f.h->fd_mask[13 * 80 + 19] = 0; /* 39 % */
    EXPECT_EQ(vibe_Is_valid_rect(f.h, 10, 10, 19, 19, 0), 0);
    memset(f.h->fd_mask, VIBE_MASK_STRONG, sizeof f.h->fd_mask);
    EXPECT_EQ(vibe_Is_valid_rect(f.h, 10, 10, 13, 15, 0), 1); /* 4 x 6 */
    EXPECT_EQ(vibe_Is_valid_rect(f.h, 10, 10, 12, 15, 0), 0); /* 3 wide */
    EXPECT_EQ(vibe_Is_valid_rect(f.h, 10, 10, 13, 14, 0), 0); /* 5 high */

    /* An invalid box never reaches prev_boxes or raises an alarm. */
    for (int call = 0; call < 8; call++)
        EXPECT_EQ(f.call({at(10, 10, 3, 8)}), 0);
    EXPECT_EQ(f.h->prev_count, 0);
}

TEST(VibeAlarm, EveryCallAgesTheHistoryEvenWithoutBoxes)
{
    filter f;
    for (int call = 0; call < 4; call++)
        f.call({at(10, 10)});
    ASSERT_EQ(f.h->history_count, 1); /* confirmed on the fourth call, life 4 */
    for (int call = 1; call <= 4; call++) {
        EXPECT_EQ(f.call({}), 0);
        EXPECT_EQ(f.h->history_count, call < 4 ? 1 : 0) << "empty call " << call;
    }
    EXPECT_EQ(f.h->prev_count, 0);
}

TEST(VibeAlarm, FullHistoryDropsNewEntriesAndStaysConsistent)
{
    /* Ten still boxes confirmed on every call with a 30-call life would
     * need 310 entries; the history holds 80. */
    filter f;
    ozi_vibe_set_floating_wadding_params(f.h, 2, 1, 30, 10, 1, 1, 0);
    std::vector<vibe_box> ten;
    for (int i = 0; i < 10; i++)
        ten.push_back(at(1 + 7 * i, 10, 3, 3));
    int last = 0, fullest = 0;
    for (int call = 0; call < 40; call++) {
        last = f.call(ten);
        ASSERT_LE(f.h->history_count, VIBE_MAX_HISTORY);
        fullest = std::max(fullest, (int)f.h->history_count);
        for (int k = 0; k < f.h->history_count; k++)
            ASSERT_GE(f.h->history[k].tag, 1) << "call " << call << " entry " << k;
    }
    EXPECT_EQ(last, 10);
    EXPECT_EQ(fullest, VIBE_MAX_HISTORY);
    EXPECT_EQ(f.h->prev_count, 10);
}

TEST(VibeAlarm, MainEntryReturnsTrackCountsInModeZero)
{
    /* A textured block stepping one cell per frame at 160x120. */
    vibe_handle_t *h = ozi_vibe_init();
    std::vector<uint8_t> f(160 * 120);
    vibe_box boxes[VIBE_MAX_BOXES];
    int first_alarm = -1;
    for (int frame = 0; frame < 12; frame++) {
        for (int y = 0; y < 120; y++)
            for (int x = 0; x < 160; x++) {
                int ox = x - (20 + 2 * frame), oy = y - 40;
                bool in = ox >= 0 && ox < 24 && oy >= 0 && oy < 30;
                f[y * 160 + x] = in ? (((ox / 2) * 7 + (oy / 2) * 13) % 5 < 2 ? 230 : 20) : 100;
            }
        int n = ozi_vibe(h, f.data(), 120, 160, boxes);
        if (n > 0 && first_alarm < 0) {
            first_alarm = frame;
            EXPECT_EQ(boxes[0].tag, 3);
        }
    }
    /* Frame 0 builds the model; the block is detected from frame 1 on, so
     * the sixth detection is frame 6. */
    EXPECT_EQ(first_alarm, 6);
    ozi_vibe_destroy(h);
}

} // namespace
