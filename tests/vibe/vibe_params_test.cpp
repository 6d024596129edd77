/*
 * Detector handle: defaults, setter normalisation tables, the handle checks
 * and their messages.
 */
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <string>

#include "vibe_internal.h"
#include "support/log_capture.h"

namespace {

struct handle {
    vibe_handle_t *h = ozi_vibe_init();
    ~handle()
    {
        h->self = h;
        ozi_vibe_destroy(h);
    }
};

TEST(VibeParams, InitStoresDefaultsAndVersion)
{
    tvrtest::LogCapture capture;
    handle t;
    EXPECT_EQ(capture.take(), "########VIBE Lib V1.0.02########\n");
    const vibe_handle_t &h = *t.h;
    EXPECT_EQ(h.self, t.h);
    EXPECT_EQ(h.filter_high, 20);
    EXPECT_EQ(h.filter_low, 15);
    EXPECT_EQ(h.frame_difference_filter, 8);
    EXPECT_EQ(h.update_frames, 10);
    EXPECT_EQ(h.absorb_frames, 2);
    EXPECT_EQ(h.motion_region_min, 30u);
    EXPECT_EQ(h.motion_region_max, 2400u);
    EXPECT_EQ(h.model_ready, 0);
    EXPECT_EQ(h.false_detection_factor, 92);
    EXPECT_EQ(h.mode, 0);
    EXPECT_EQ(h.filtering_flag, 11);
    EXPECT_EQ(h.fast_updating_flag, 1);
    EXPECT_EQ(h.fw_confirm_frames, 3);
    EXPECT_EQ(h.fw_alarm_hits, 2);
    EXPECT_EQ(h.fw_speed, 200);
    EXPECT_EQ(h.fw_min_width, 4);
    EXPECT_EQ(h.fw_min_height, 6);
    EXPECT_EQ(h.fw_history_frames, 4);
    EXPECT_EQ(h.fw_large_box_factor, 0);
    EXPECT_EQ(h.history_count, 0);
    EXPECT_STREQ(ozi_vibe_get_version(), "VIBE Lib V1.0.02");
}

TEST(VibeParams, FiltersKeepLargerAsHighAndLow8Bits)
{
    const struct { uint32_t a, b; uint8_t high, low; } rows[] = {
        {5, 30, 30, 5}, {30, 5, 30, 5}, {300, 10, 44, 10}, {7, 7, 7, 7}, {0xffffffffu, 1, 255, 1},
    };
    for (const auto &r : rows) {
        handle t;
        ASSERT_EQ(ozi_vibe_set_filters(t.h, r.a, r.b), 0);
        EXPECT_EQ(t.h->filter_high, r.high) << r.a << "," << r.b;
        EXPECT_EQ(t.h->filter_low, r.low) << r.a << "," << r.b;
    }
}

TEST(VibeParams, ByteSettersTruncateAndLimit)
{
    const struct {
        const char *what;
        std::function<int(vibe_handle_t *)> set;
        size_t offset;
        uint8_t expect;
    } rows[] = {
        {"update 0", [](vibe_handle_t *h) { return ozi_vibe_set_update_frames(h, 0); },
         offsetof(vibe_handle_t, update_frames), 1},
        {"update 300", [](vibe_handle_t *h) { return ozi_vibe_set_update_frames(h, 300); },
         offsetof(vibe_handle_t, update_frames), 44},
        {"frame diff 260", [](vibe_handle_t *h) { return ozi_vibe_set_frame_difference_filter(h, 260); },
         offsetof(vibe_handle_t, frame_difference_filter), 4},
        {"mode 256", [](vibe_handle_t *h) { return ozi_vibe_set_mode(h, 256); },
         offsetof(vibe_handle_t, mode), 0},
        {"flag 0x10c", [](vibe_handle_t *h) { return ozi_vibe_set_filtering_flag(h, 0x10c); },
         offsetof(vibe_handle_t, filtering_flag), 12},
        {"fast 2", [](vibe_handle_t *h) { return ozi_vibe_set_fast_updating_flag(h, 2); },
         offsetof(vibe_handle_t, fast_updating_flag), 2},
        {"false 150", [](vibe_handle_t *h) { return ozi_vibe_set_false_detection_factor(h, 150); },
         offsetof(vibe_handle_t, false_detection_factor), 100},
        {"false 100", [](vibe_handle_t *h) { return ozi_vibe_set_false_detection_factor(h, 100); },
         offsetof(vibe_handle_t, false_detection_factor), 100},
        {"false 99", [](vibe_handle_t *h) { return ozi_vibe_set_false_detection_factor(h, 99); },
         offsetof(vibe_handle_t, false_detection_factor), 99},
        {"false -1", [](vibe_handle_t *h) { return ozi_vibe_set_false_detection_factor(h, (uint32_t)-1); },
         offsetof(vibe_handle_t, false_detection_factor), 100},
    };
    for (const auto &r : rows) {
        handle t;
        ASSERT_EQ(r.set(t.h), 0) << r.what;
        EXPECT_EQ(reinterpret_cast<const uint8_t *>(t.h)[r.offset], r.expect) << r.what;
    }
}

TEST(VibeParams, MotionRegionSizeNormalisation)
{
    const struct { uint32_t a, b, min, max; } rows[] = {
        {0, 0, 1, 1},
        {0, 50, 1, 50},
        {50, 0, 1, 50},
        {70000, 40, 40, 70000 & 0xffff}, /* larger first area keeps its low 16 bits */
        {40, 70000, 40, 70000},          /* larger second area is stored whole */
        {30, 30, 30, 30},
    };
    for (const auto &r : rows) {
        handle t;
        ASSERT_EQ(ozi_vibe_set_motion_region_size(t.h, r.a, r.b), 0);
        EXPECT_EQ(t.h->motion_region_min, r.min) << r.a << "," << r.b;
        EXPECT_EQ(t.h->motion_region_max, r.max) << r.a << "," << r.b;
    }
}

TEST(VibeParams, FloatingWaddingNormalisesAndForgetsTracks)
{
    const struct { int32_t in[7]; int32_t confirm, hits, history, speed, w, h; uint8_t large; } rows[] = {
        {{0, 0, 0, -5, -1, 0, 3}, 2, 1, 2, 0, 1, 0, 3},
        {{5, 3, 3, 10, 2, 2, 260}, 5, 3, 4, 10, 2, 2, 4},
        {{3, 2, 9, 200, 4, 6, 0}, 3, 2, 9, 200, 4, 6, 0},
        {{INT_MIN, INT_MIN, INT_MIN, INT_MIN, INT_MIN, -1, 0}, 2, 1, 2, 0, 1, 1, 0},
        /* the largest alarm_hits leaves no larger life: it stays at INT_MAX */
        {{3, INT_MAX, 0, 200, 4, 6, 0}, 3, INT_MAX, INT_MAX, 200, 4, 6, 0},
    };
    for (const auto &r : rows) {
        handle t;
        t.h->prev_count = 3;
        t.h->history_count = 5;
        t.h->history_hits[0] = 9;
        t.h->history[1].left = 4;
        t.h->prev_boxes[2].tag = 2;
        ASSERT_EQ(ozi_vibe_set_floating_wadding_params(t.h, r.in[0], r.in[1], r.in[2], r.in[3],
                                                       r.in[4], r.in[5], r.in[6]), 0);
        const vibe_handle_t &h = *t.h;
        EXPECT_EQ(h.fw_confirm_frames, r.confirm);
        EXPECT_EQ(h.fw_alarm_hits, r.hits);
        EXPECT_EQ(h.fw_history_frames, r.history);
        EXPECT_EQ(h.fw_speed, r.speed);
        EXPECT_EQ(h.fw_min_width, r.w);
        EXPECT_EQ(h.fw_min_height, r.h);
        EXPECT_EQ(h.fw_large_box_factor, r.large);
        EXPECT_EQ(h.prev_count, 0);
        EXPECT_EQ(h.history_count, 0);
        EXPECT_EQ(h.history_hits[0], 0);
        EXPECT_EQ(h.history[1].left, 0);
        EXPECT_EQ(h.prev_boxes[2].tag, 0);
    }
}

TEST(VibeParams, ReconstructClearsOnlyTheModelPlanes)
{
    handle t;
    vibe_handle_t &h = *t.h;
    memset(h.fg_count, 3, sizeof h.fg_count);
    memset(h.cur_frame, 3, sizeof h.cur_frame);
    memset(h.prev_frame, 3, sizeof h.prev_frame);
    memset(h.box_state, 3, sizeof h.box_state);
    memset(h.fd_mask, 3, sizeof h.fd_mask);
    memset(h.background, 7, sizeof h.background);
    memset(h.fg_mask, 7, sizeof h.fg_mask);
    h.model_ready = 1;
    h.history_count = 2;
    ASSERT_EQ(ozi_vibe_reconstruct_background_model(&h), 0);
    EXPECT_EQ(h.model_ready, 0);
    for (const uint8_t *p : {h.fg_count, h.cur_frame, h.prev_frame, h.box_state, h.fd_mask})
        for (int i = 0; i < VIBE_GRID_CELLS; i++)
            ASSERT_EQ(p[i], 0);
    EXPECT_EQ(h.background[4799], 7);
    EXPECT_EQ(h.fg_mask[0], 7);
    EXPECT_EQ(h.history_count, 2);
}

/* Every checked operation on a null handle and on one with a wrong self
 * field: its message, -1, and the record left unchanged. */
TEST(VibeParams, HandleChecksPrintTheirMessages)
{
    using op = std::function<int(vibe_handle_t *)>;
    vibe_box boxes[VIBE_MAX_BOXES];
    static uint8_t frame[160 * 120];
    const struct { const char *name; op call; const char *null_msg; } rows[] = {
        {"ozi_vibe_destroy", [](vibe_handle_t *h) { return ozi_vibe_destroy(h); }, "vibe_handle is NULL"},
        {"ozi_vibe_set_filters", [](vibe_handle_t *h) { return ozi_vibe_set_filters(h, 1, 2); }, "vibe_handle is NULL"},
        {"ozi_vibe_set_frame_difference_filter", [](vibe_handle_t *h) { return ozi_vibe_set_frame_difference_filter(h, 1); }, "vibe_handle is NULL"},
        {"ozi_vibe_set_update_frames", [](vibe_handle_t *h) { return ozi_vibe_set_update_frames(h, 1); }, "vibe_handle is NULL"},
        {"ozi_vibe_set_motion_region_size", [](vibe_handle_t *h) { return ozi_vibe_set_motion_region_size(h, 1, 2); }, "vibe_handle is NULL"},
        {"ozi_vibe_set_mode", [](vibe_handle_t *h) { return ozi_vibe_set_mode(h, 1); }, "vibe_handle is NULL"},
        {"ozi_vibe_set_floating_wadding_params", [](vibe_handle_t *h) { return ozi_vibe_set_floating_wadding_params(h, 1, 1, 1, 1, 1, 1, 1); }, "vibe_handle is NULL"},
        {"ozi_vibe_reconstruct_background_model", [](vibe_handle_t *h) { return ozi_vibe_reconstruct_background_model(h); }, "vibe_handle is NULL"},
        {"ozi_vibe_set_false_detection_factor", [](vibe_handle_t *h) { return ozi_vibe_set_false_detection_factor(h, 1); }, "vibe_handle is NULL"},
        {"ozi_vibe", [&](vibe_handle_t *h) { return ozi_vibe(h, frame, 120, 160, boxes); }, "input parameter vibe_handle is error"},
    };
    for (const auto &r : rows) {
        tvrtest::LogCapture capture;
        EXPECT_EQ(r.call(nullptr), -1) << r.name;
        EXPECT_EQ(capture.take(), std::string(r.null_msg) + "\n") << r.name;

        handle t;
        vibe_handle_t *fake = reinterpret_cast<vibe_handle_t *>(0x10);
        t.h->self = fake;
        auto before = std::make_unique<vibe_handle_t>(*t.h);
        tvrtest::LogCapture capture2;
        EXPECT_EQ(r.call(t.h), -1) << r.name;
        EXPECT_EQ(capture2.take(), std::string(r.name) + ": input vibe_handle is error\n");
        EXPECT_EQ(memcmp(before.get(), t.h, sizeof(vibe_handle_t)), 0) << r.name;
    }
}

TEST(VibeParams, NullOnlyCheckedSettersIgnoreTheSelfField)
{
    handle t;
    t.h->self = nullptr;
    EXPECT_EQ(ozi_vibe_set_filtering_flag(t.h, 5), 0);
    EXPECT_EQ(t.h->filtering_flag, 5);
    EXPECT_EQ(ozi_vibe_set_fast_updating_flag(t.h, 0), 0);
    EXPECT_EQ(t.h->fast_updating_flag, 0);
    tvrtest::LogCapture capture;
    EXPECT_EQ(ozi_vibe_set_filtering_flag(nullptr, 5), -1);
    EXPECT_EQ(ozi_vibe_set_fast_updating_flag(nullptr, 5), -1);
    EXPECT_EQ(capture.take(), "vibe_handle is NULL\nvibe_handle is NULL\n");
}

TEST(VibeParams, MainEntryRejectsNullFrameAndBoxes)
{
    handle t;
    static uint8_t frame[160 * 120];
    vibe_box boxes[VIBE_MAX_BOXES];
    tvrtest::LogCapture capture;
    EXPECT_EQ(ozi_vibe(t.h, nullptr, 120, 160, boxes), -1);
    EXPECT_EQ(ozi_vibe(t.h, frame, 120, 160, nullptr), -1);
    EXPECT_EQ(capture.take(), "input parameter frame is error\ninput parameter boxes is error\n");
    EXPECT_EQ(t.h->model_ready, 0);
}

} // namespace
