/*
 * test_mrd.cpp - libozi_mrd: setters, detection steps, alarm filter, a
 * comparison with the slow reference on random grids, and a moving-object
 * scene.
 */
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <functional>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "mrd_internal.h"
#include "mrd_reference.h"
#include "support/log_capture.h"

namespace {

struct HandleDeleter {
    void operator()(mrd_handle_t *h) const { ozi_mrd_destroy(h); }
};
using Handle = std::unique_ptr<mrd_handle_t, HandleDeleter>;

Handle make_handle()
{
    tvrtest::LogCapture capture;
    Handle h(ozi_mrd_init());
    capture.take();
    return h;
}

/* A 32-column grid of `rows` rows, all cells `fill`. */
struct Grid {
    std::vector<uint16_t> v;
    explicit Grid(int rows = 32, uint16_t fill = 0) : v(size_t(rows) * 32, fill) {}
    uint16_t &at(int x, int y) { return v.at(size_t(y) * 32 + x); }
    void rect(int l, int t, int r, int b, uint16_t value)
    {
        for (int y = t; y <= b; y++)
            for (int x = l; x <= r; x++)
                at(x, y) = value;
    }
    const uint16_t *data() const { return v.data(); }
};

struct Result {
    int n;
    mrd_box boxes[MRD_MAX_BOXES];
};

Result run(mrd_handle_t *h, const Grid &g, int len)
{
    Result r;
    std::memset(r.boxes, 0x5a, sizeof r.boxes);
    r.n = ozi_mrd(h, g.data(), len, r.boxes);
    return r;
}

std::string str(const mrd_box &b)
{
    return "[" + std::to_string(b.left) + "," + std::to_string(b.top) + "," +
           std::to_string(b.right) + "," + std::to_string(b.bottom) + "," +
           std::to_string(b.tag) + "]";
}

std::string str_result(const Result &r)
{
    std::string s = std::to_string(r.n) + ":";
    for (int i = 0; i < r.n && i < MRD_MAX_BOXES; i++)
        s += str(r.boxes[i]);
    return s;
}

void expect_tail_zero(const Result &r)
{
    for (int i = r.n < 0 ? 0 : r.n; i < MRD_MAX_BOXES; i++)
        EXPECT_EQ(str(r.boxes[i]), "[0,0,0,0,0]") << "slot " << i;
}

// ---- handle and setters -------------------------------------------------

TEST(MrdHandle, InitPrintsBannerAndStoresDefaults)
{
    tvrtest::LogCapture capture;
    mrd_handle_t *h = ozi_mrd_init();
    EXPECT_EQ(capture.take(), "########MRD Lib V1.0.06########\n");
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->seed_threshold, 7000);
    EXPECT_EQ(h->grow_threshold, 4000);
    EXPECT_EQ(h->motion_region_min, 4);
    EXPECT_EQ(h->motion_region_max, 300);
    EXPECT_EQ(h->mode, 0);
    EXPECT_EQ(h->region_left, 0);
    EXPECT_EQ(h->region_top, 0);
    EXPECT_EQ(h->region_right, 31);
    EXPECT_EQ(h->region_bottom, 23);
    const int32_t fw[] = {h->fw_confirm_frames, h->fw_alarm_hits, h->fw_speed,
                          h->fw_min_width, h->fw_min_height, h->fw_history_frames,
                          h->prev_count, h->history_count};
    for (int32_t v : fw)
        EXPECT_EQ(v, 0);
    EXPECT_STREQ(ozi_mrd_get_version(), "MRD Lib V1.0.06");
    EXPECT_EQ(ozi_mrd_destroy(h), 0);
}

TEST(MrdHandle, RecordLayoutIsPlainAndInOrder)
{
    static_assert(sizeof(mrd_box) == 20, "five 32-bit fields");
    EXPECT_EQ(offsetof(mrd_handle, seed_threshold), 0u);
    EXPECT_EQ(offsetof(mrd_handle, grow_threshold), 2u);
    EXPECT_EQ(offsetof(mrd_handle, motion_region_min), 4u);
    EXPECT_EQ(offsetof(mrd_handle, mode), 12u);
    EXPECT_EQ(offsetof(mrd_handle, region_left), 16u);
    EXPECT_EQ(offsetof(mrd_handle, fw_confirm_frames), 32u);
    EXPECT_EQ(offsetof(mrd_handle, fw_history_frames), 52u);
    EXPECT_EQ(offsetof(mrd_handle, prev_boxes), 56u);
    EXPECT_EQ(offsetof(mrd_handle, prev_count), 456u);
    EXPECT_EQ(offsetof(mrd_handle, history), 460u);
    EXPECT_EQ(offsetof(mrd_handle, history_hits), 3660u);
    EXPECT_EQ(offsetof(mrd_handle, history_count), 4300u);
    EXPECT_EQ(sizeof(mrd_handle), 4304u);
}

TEST(MrdHandle, EveryOperationRejectsNullHandle)
{
    Grid g;
    mrd_box boxes[MRD_MAX_BOXES];
    const std::vector<std::pair<const char *, std::function<int()>>> ops = {
        {"destroy", [] { return ozi_mrd_destroy(nullptr); }},
        {"set_filters", [] { return ozi_mrd_set_filters(nullptr, 1, 2); }},
        {"set_motion_region_size", [] { return ozi_mrd_set_motion_region_size(nullptr, 1, 2); }},
        {"set_detection_region", [] { return ozi_mrd_set_detection_region(nullptr, 40, 1, 1, 1, 1); }},
        {"set_mode", [] { return ozi_mrd_set_mode(nullptr, 1); }},
        {"set_fw", [] { return ozi_mrd_set_floating_wadding_params(nullptr, 1, 1, 1, 1, 1, 1); }},
        {"ozi_mrd", [&] { return ozi_mrd(nullptr, g.data(), 24, boxes); }},
    };
    for (const auto &op : ops) {
        tvrtest::LogCapture capture;
        EXPECT_EQ(op.second(), -1) << op.first;
        EXPECT_EQ(capture.take(), "mrd_handle is NULL\n") << op.first;
    }
}

TEST(MrdSetters, FiltersPutLargerToSeedAndKeepLow16Bits)
{
    struct Row { uint32_t a, b; uint16_t seed, grow; };
    const Row rows[] = {
        {4000, 7000, 7000, 4000},
        {7000, 4000, 7000, 4000},
        {0x12345, 3, 0x2345, 3},
        {70000, 65535, 70000 & 0xffff, 65535},   // the larger keeps only its low bits
        {0xffffffffu, 0, 0xffff, 0},
        {5, 5, 5, 5},
    };
    Handle h = make_handle();
    for (const Row &r : rows) {
        EXPECT_EQ(ozi_mrd_set_filters(h.get(), r.a, r.b), 0);
        EXPECT_EQ(h->seed_threshold, r.seed) << r.a << "," << r.b;
        EXPECT_EQ(h->grow_threshold, r.grow) << r.a << "," << r.b;
    }
}

TEST(MrdSetters, MotionRegionSizeTakesMagnitudesInOrder)
{
    struct Row { int32_t a, b, min, max; };
    const Row rows[] = {
        {-10, 3, 3, 10}, {3, -10, 3, 10}, {0, 0, 0, 0}, {0, -7, 0, 7},
        {50, 20, 20, 50}, {-5, -5, 5, 5}, {INT32_MIN, 1, 1, INT32_MAX},
    };
    Handle h = make_handle();
    for (const Row &r : rows) {
        EXPECT_EQ(ozi_mrd_set_motion_region_size(h.get(), r.a, r.b), 0);
        EXPECT_EQ(h->motion_region_min, r.min) << r.a << "," << r.b;
        EXPECT_EQ(h->motion_region_max, r.max) << r.a << "," << r.b;
    }
}

TEST(MrdSetters, DetectionRegionLimitsBoundsToTheGrid)
{
    struct Row { int32_t len, l, t, r, b; int ret; int32_t rl, rt, rr, rb; };
    const Row rows[] = {
        {24, 0, 0, 0, 0, 0, 1, 1, 32, 24},
        {24, 40, 30, 5, 2, 0, 5, 2, 32, 24},
        {24, 5, 3, 10, 7, 0, 5, 3, 10, 7},
        {24, 10, 7, 5, 3, 0, 5, 3, 10, 7},       // swapped bounds are put in order
        {24, 31, 23, 31, 23, 0, 31, 23, 31, 23}, // 31 and len-1 stay
        {24, 32, 24, 32, 24, 0, 32, 24, 32, 24},
        {24, -3, -3, -3, -3, 0, 1, 1, 32, 24},   // right/bottom below 1 mean "to the end"
        {1, 7, 9, 8, 9, 0, 7, 1, 8, 1},
        {32, 1, 40, 1, 40, 0, 1, 32, 1, 32},
    };
    Handle h = make_handle();
    for (const Row &r : rows) {
        EXPECT_EQ(ozi_mrd_set_detection_region(h.get(), r.len, r.l, r.t, r.r, r.b), r.ret);
        EXPECT_EQ((std::vector<int32_t>{h->region_left, h->region_top, h->region_right, h->region_bottom}),
                  (std::vector<int32_t>{r.rl, r.rt, r.rr, r.rb}))
            << "len " << r.len << " bounds " << r.l << "," << r.t << "," << r.r << "," << r.b;
    }
}

TEST(MrdSetters, DetectionRegionRejectsLenOutOfRangeAndKeepsRegion)
{
    Handle h = make_handle();
    ASSERT_EQ(ozi_mrd_set_detection_region(h.get(), 24, 5, 3, 10, 7), 0);
    for (int32_t len : {0, 33, -1, INT32_MIN, INT32_MAX}) {
        tvrtest::LogCapture capture;
        EXPECT_EQ(ozi_mrd_set_detection_region(h.get(), len, 1, 1, 2, 2), -1);
        EXPECT_EQ(capture.take(),
                  "Input is out of range ,the avaliable value of parameter len is 1 to 32\n");
        EXPECT_EQ(h->region_left, 5);
        EXPECT_EQ(h->region_top, 3);
        EXPECT_EQ(h->region_right, 10);
        EXPECT_EQ(h->region_bottom, 7);
    }
}

/* Puts some tracking state in the handle so mode changes can be seen. */
void fill_tracking(mrd_handle_t *h)
{
    h->prev_count = 2;
    h->prev_boxes[0] = {1, 1, 2, 2, 3};
    h->prev_boxes[1] = {4, 4, 5, 5, 1};
    h->history_count = 1;
    h->history[0] = {1, 1, 2, 2, 4};
    h->history_hits[0] = 7;
}

bool tracking_empty(const mrd_handle_t *h)
{
    static const mrd_handle zero = {};
    return h->prev_count == 0 && h->history_count == 0 &&
           std::memcmp(h->prev_boxes, zero.prev_boxes, sizeof zero.prev_boxes) == 0 &&
           std::memcmp(h->history, zero.history, sizeof zero.history) == 0 &&
           std::memcmp(h->history_hits, zero.history_hits, sizeof zero.history_hits) == 0;
}

TEST(MrdSetters, ModeChangeEmptiesTrackingSameModeKeepsIt)
{
    struct Row { uint8_t before; int32_t arg; uint8_t stored; bool emptied; };
    const Row rows[] = {
        {0, 0, 0, false}, {0, 1, 1, true}, {1, 1, 1, false}, {1, 0, 0, true},
        {0, 256, 0, true},  // differs as a 32-bit value though its low byte is the same
        {255, -1, 255, true}, {7, 7, 7, false},
    };
    Handle h = make_handle();
    for (const Row &r : rows) {
        h->mode = r.before;
        fill_tracking(h.get());
        EXPECT_EQ(ozi_mrd_set_mode(h.get(), r.arg), 0);
        EXPECT_EQ(h->mode, r.stored) << int(r.before) << "->" << r.arg;
        EXPECT_EQ(tracking_empty(h.get()), r.emptied) << int(r.before) << "->" << r.arg;
    }
}

TEST(MrdSetters, FloatingWaddingParamsStoredAsGivenTracksKept)
{
    Handle h = make_handle();
    fill_tracking(h.get());
    EXPECT_EQ(ozi_mrd_set_floating_wadding_params(h.get(), -1, 0, INT32_MAX, -200, -3, 9), 0);
    EXPECT_EQ(h->fw_confirm_frames, -1);
    EXPECT_EQ(h->fw_alarm_hits, 0);
    EXPECT_EQ(h->fw_history_frames, INT32_MAX);
    EXPECT_EQ(h->fw_speed, -200);
    EXPECT_EQ(h->fw_min_width, -3);
    EXPECT_EQ(h->fw_min_height, 9);
    EXPECT_EQ(h->prev_count, 2);
    EXPECT_EQ(h->history_count, 1);
    EXPECT_EQ(h->history_hits[0], 7);
}

TEST(MrdSetters, SwapExchangesValues)
{
    uint16_t a = 1, b = 65535;
    mrd_swap(&a, &b);
    EXPECT_EQ(a, 65535);
    EXPECT_EQ(b, 1);
}

// ---- detection ------------------------------------------------------------

TEST(MrdDetect, QuietGridGivesNothingButAgesHistory)
{
    Handle h = make_handle();
    h->history_count = 2;
    h->history[0] = {3, 3, 4, 4, 1};
    h->history[1] = {5, 5, 6, 6, 3};
    h->history_hits[1] = 5;
    Grid g(24, 6999);
    Result r = run(h.get(), g, 24);
    EXPECT_EQ(r.n, 0);
    expect_tail_zero(r);
    ASSERT_EQ(h->history_count, 1);  // the entry at life 1 ran out
    EXPECT_EQ(str(h->history[0]), "[5,5,6,6,2]");
    EXPECT_EQ(h->history_hits[0], 5);
}

TEST(MrdDetect, RegionSizeLimitsAreInclusive)
{
    struct Row { int w, h; int32_t min, max; int n; };
    const Row rows[] = {
        {1, 1, 4, 300, 0},   // lone seed, default minimum rejects it
        {1, 1, 1, 300, 1},
        {2, 2, 4, 300, 1},
        {3, 1, 4, 300, 0},
        {20, 15, 4, 300, 1},
        {20, 16, 4, 300, 0},
        {2, 2, 5, 300, 0},
        {2, 2, 0, 3, 0},
    };
    for (const Row &row : rows) {
        Handle h = make_handle();
        ozi_mrd_set_mode(h.get(), 1);
        ozi_mrd_set_motion_region_size(h.get(), row.min, row.max);
        Grid g(24, 100);
        g.rect(3, 2, 3 + row.w - 1, 2 + row.h - 1, 9000);
        Result r = run(h.get(), g, 24);
        EXPECT_EQ(r.n, row.n) << row.w << "x" << row.h << " " << str_result(r);
        if (r.n == 1) {
            EXPECT_EQ(str(r.boxes[0]), str(mrd_box{3, 2, 3 + row.w - 1, 2 + row.h - 1, 1}));
        }
        expect_tail_zero(r);
    }
}

TEST(MrdDetect, GrowingFollowsRingCellsAndCorners)
{
    struct Row {
        const char *name;
        std::vector<std::pair<int, int>> seeds, grows;
        mrd_box expect;
    };
    const Row rows[] = {
        {"seed alone with min 1", {{10, 10}}, {}, {10, 10, 10, 10, 1}},
        {"diagonal corner cell joins", {{10, 10}}, {{11, 11}}, {10, 10, 11, 11, 1}},
        {"chain of diagonals", {{10, 10}}, {{11, 11}, {12, 12}, {13, 13}}, {10, 10, 13, 13, 1}},
        {"gap of one stops", {{10, 10}}, {{12, 10}}, {10, 10, 10, 10, 1}},
        {"far cell of the rectangle's ring",
         {{10, 10}}, {{11, 10}, {12, 10}, {13, 10}, {13, 11}, {9, 12}},
         {9, 10, 13, 12, 1}},
        {"grid corner", {{0, 0}}, {{1, 1}}, {0, 0, 1, 1, 1}},
        {"grid far corner", {{31, 23}}, {{30, 22}}, {30, 22, 31, 23, 1}},
    };
    for (const Row &row : rows) {
        Handle h = make_handle();
        ozi_mrd_set_mode(h.get(), 1);
        ozi_mrd_set_motion_region_size(h.get(), 1, 1024);
        Grid g(24, 3999);
        for (auto c : row.seeds) g.at(c.first, c.second) = 7000;
        for (auto c : row.grows) g.at(c.first, c.second) = 4000;
        Result r = run(h.get(), g, 24);
        ASSERT_EQ(r.n, 1) << row.name << " " << str_result(r);
        EXPECT_EQ(str(r.boxes[0]), str(row.expect)) << row.name;
    }
}

TEST(MrdDetect, SeedsInsideOneGrownBoxGiveOneBox)
{
    Handle h = make_handle();
    ozi_mrd_set_mode(h.get(), 1);
    Grid g(24, 0);
    g.rect(4, 4, 9, 7, 5000);
    g.at(4, 4) = 8000;
    g.at(9, 7) = 8000;
    g.at(6, 5) = 65535;
    Result r = run(h.get(), g, 24);
    ASSERT_EQ(r.n, 1) << str_result(r);
    EXPECT_EQ(str(r.boxes[0]), "[4,4,9,7,1]");
}

TEST(MrdDetect, SeedsInsideARejectedBoxAreConsumedToo)
{
    Handle h = make_handle();
    ozi_mrd_set_mode(h.get(), 1);
    ozi_mrd_set_motion_region_size(h.get(), 1, 10);
    Grid g(24, 0);
    g.rect(0, 0, 5, 5, 8000);  // 36 cells: too large, and every seed in it is spent
    Result r = run(h.get(), g, 24);
    EXPECT_EQ(r.n, 0) << str_result(r);
}

TEST(MrdDetect, WithoutRegionOnlyRowsBelowLenAreRead)
{
    Handle h = make_handle();
    ozi_mrd_set_mode(h.get(), 1);
    // Exactly 18 rows on the heap: a read of row 18 is caught by ASan.
    auto grid = std::make_unique<uint16_t[]>(18 * 32);
    std::fill(grid.get(), grid.get() + 18 * 32, uint16_t(0));
    for (int y = 15; y < 18; y++)
        for (int x = 2; x < 5; x++)
            grid[y * 32 + x] = 9000;
    mrd_box boxes[MRD_MAX_BOXES];
    EXPECT_EQ(ozi_mrd(h.get(), grid.get(), 18, boxes), 1);
    EXPECT_EQ(str(boxes[0]), "[2,15,4,17,1]");
    EXPECT_EQ(h->region_bottom, 17);

    // A larger grid: what lies at row 18 and below is never seen.
    Grid g(32, 0);
    g.rect(2, 15, 4, 20, 9000);
    g.rect(10, 20, 14, 25, 9000);
    Result r = run(h.get(), g, 18);
    ASSERT_EQ(r.n, 1) << str_result(r);
    EXPECT_EQ(str(r.boxes[0]), "[2,15,4,17,1]");
}

TEST(MrdDetect, LenIsLimitedToOneToThirtyTwo)
{
    struct Row { int32_t len; int32_t region_bottom; int n; };
    const Row rows[] = {{0, 0, 1}, {-5, 0, 1}, {1, 0, 1}, {32, 31, 2}, {33, 31, 2}, {INT32_MAX, 31, 2}};
    for (const Row &row : rows) {
        Handle h = make_handle();
        ozi_mrd_set_mode(h.get(), 1);
        Grid g(32, 0);
        g.rect(0, 0, 3, 0, 9000);
        g.rect(0, 30, 3, 31, 9000);
        Result r = run(h.get(), g, row.len);
        EXPECT_EQ(r.n, row.n) << row.len << " " << str_result(r);
        EXPECT_EQ(h->region_bottom, row.region_bottom) << row.len;
    }
}

TEST(MrdDetect, RegionWindowIsTheSameOnEveryCall)
{
    Handle h = make_handle();
    ozi_mrd_set_mode(h.get(), 1);
    ASSERT_EQ(ozi_mrd_set_detection_region(h.get(), 24, 5, 3, 10, 20), 0);
    Grid g(24, 0);
    g.rect(1, 5, 15, 8, 9000);   // spans beyond both side limits of the window
    g.rect(6, 0, 7, 1, 9000);    // above the window
    g.rect(20, 10, 25, 12, 9000); // right of the window
    for (int call = 0; call < 5; call++) {
        Result r = run(h.get(), g, call % 2 ? 24 : 22);
        ASSERT_EQ(r.n, 1) << "call " << call << " " << str_result(r);
        EXPECT_EQ(str(r.boxes[0]), "[4,5,9,8,1]") << "call " << call;
        EXPECT_EQ(h->region_left, 5);
        EXPECT_EQ(h->region_right, 10);
        EXPECT_EQ(h->region_bottom, 20);
    }
}

/* With a region set, the window is the region's rows whatever `len` the call
 * passes: objects in region rows at or beyond `len` are found whole, and
 * rows outside the region are never seen.  Grids hold all 32 rows. */
TEST(MrdDetect, RegionWindowDoesNotDependOnTheCallsLen)
{
    struct Row {
        const char *name;
        int top, bottom;          /* region rows, counted from 1 (all columns) */
        int call_len;
        int obj_top, obj_bottom;  /* object rows (columns 10-12), counted from 0 */
        int box_top, box_bottom;  /* rows of the one box found; -1: none */
    };
    const Row rows[] = {
        {"len 0 is limited to 1", 3, 19, 0, 5, 9, 5, 9},
        {"negative len", 3, 19, -7, 14, 18, 14, 18},
        {"len 5, region rows 3-19", 3, 19, 5, 6, 17, 6, 17},
        {"len 24, region rows 4-31", 4, 31, 24, 20, 30, 20, 30},
        {"len 18, region rows 18-19", 18, 19, 18, 17, 18, 17, 18},
        {"object straddles the region's bottom", 4, 22, 8, 18, 27, 18, 21},
        {"object below the region", 4, 10, 32, 20, 30, -1, -1},
    };
    for (const Row &row : rows) {
        Handle h = make_handle();
        ozi_mrd_set_mode(h.get(), 1);
        ozi_mrd_set_motion_region_size(h.get(), 1, 1024);
        ASSERT_EQ(ozi_mrd_set_detection_region(h.get(), 32, 1, row.top, 32, row.bottom), 0);
        Grid g(32, 0);
        g.rect(10, row.obj_top, 12, row.obj_bottom, 9000);
        const std::string want = row.box_top < 0 ? "0:"
            : "1:" + str(mrd_box{10, row.box_top, 12, row.box_bottom, 1});
        for (int call = 0; call < 3; call++) {
            EXPECT_EQ(str_result(run(h.get(), g, row.call_len)), want) << row.name << ", call " << call;
            EXPECT_EQ(h->region_bottom, row.bottom) << row.name;
        }
        if (row.box_top < 0)
            continue;
        // mrd_expand grows inside the same window as the main entry.
        mrd_box b{11, row.box_top, 11, row.box_top, 0};
        mrd_expand(h.get(), g.data(), &b);
        EXPECT_EQ(str(b), str(mrd_box{10, row.box_top, 12, row.box_bottom, 0})) << row.name;
    }
}

TEST(MrdDetect, BoxesAreSortedLargestFirstEqualAreasInArrivalOrder)
{
    Handle h = make_handle();
    ozi_mrd_set_mode(h.get(), 1);
    Grid g(24, 0);
    g.rect(0, 0, 1, 1, 9000);     // 4, found first
    g.rect(10, 0, 12, 2, 9000);   // 9
    g.rect(20, 0, 21, 1, 9000);   // 4, found second
    g.rect(0, 10, 4, 13, 9000);   // 20
    g.rect(10, 10, 12, 12, 9000); // 9, found after the first 9
    Result r = run(h.get(), g, 24);
    ASSERT_EQ(r.n, 5);
    EXPECT_EQ(str_result(r),
              "5:[0,10,4,13,1][10,0,12,2,1][10,10,12,12,1][0,0,1,1,1][20,0,21,1,1]");
    expect_tail_zero(r);
}

TEST(MrdDetect, ListKeepsTheTwentyLargest)
{
    Handle h = make_handle();
    ozi_mrd_set_mode(h.get(), 1);
    Grid g(24, 0);
    // 24 boxes: 2x2 blocks in rows 0-1, 3-4, 6-7 (24 of area 4), and one
    // 3x2 block of area 6 at the bottom found last.
    for (int band = 0; band < 3; band++)
        for (int i = 0; i < 8; i++)
            g.rect(i * 4, band * 3, i * 4 + 1, band * 3 + 1, 9000);
    g.rect(0, 20, 2, 21, 9000);
    Result r = run(h.get(), g, 24);
    ASSERT_EQ(r.n, 20);
    EXPECT_EQ(str(r.boxes[0]), "[0,20,2,21,1]");
    EXPECT_EQ(str(r.boxes[1]), "[0,0,1,1,1]");
    // The last kept box of area 4 is the 19th found; later ones are dropped.
    EXPECT_EQ(str(r.boxes[19]), "[8,6,9,7,1]");
}

// ---- alarm filter ----------------------------------------------------------

TEST(MrdAlarm, ValidityNeedsSizeAnd36PercentActive)
{
    struct Row { int active; int32_t min_w, min_h; int valid; };
    const Row rows[] = {
        {9, 0, 0, 1}, {8, 0, 0, 0},   // 5x5 box: 9 of 25 is 36 %
        {25, 5, 5, 1}, {25, 6, 0, 0}, {25, 0, 6, 0}, {0, -1, -1, 0},
    };
    for (const Row &row : rows) {
        Handle h = make_handle();
        ozi_mrd_set_floating_wadding_params(h.get(), 0, 0, 0, 0, row.min_w, row.min_h);
        Grid g(24, 3999);
        for (int i = 0; i < row.active; i++)
            g.at(2 + i % 5, 3 + i / 5) = 4000;
        // bounds counted from 1: columns 3..7, rows 4..8
        EXPECT_EQ(mrd_Is_valid_rect(h.get(), g.data(), 24, 3, 4, 7, 8, 0), row.valid)
            << row.active << " active, min " << row.min_w << "x" << row.min_h;
    }
}

TEST(MrdAlarm, AllZeroParametersAlarmOnASecondSightingOfTheSameCentre)
{
    struct Row {
        const char *name;
        mrd_box first, second;   /* 0-based; left < 0 = no box */
        bool dense;
        int alarms;
    };
    const Row rows[] = {
        {"same box twice", {4, 4, 7, 6, 0}, {4, 4, 7, 6, 0}, true, 1},
        {"same centre, other shape", {4, 4, 7, 7, 0}, {5, 5, 6, 6, 0}, true, 1},
        {"moved one cell", {4, 4, 7, 6, 0}, {5, 4, 8, 6, 0}, true, 0},
        {"first sighting", {-1, 0, 0, 0, 0}, {4, 4, 7, 6, 0}, true, 0},
        {"sparse box", {4, 4, 7, 6, 0}, {4, 4, 7, 6, 0}, false, 0},
    };
    for (const Row &row : rows) {
        Handle h = make_handle();
        auto grid_of = [&](const mrd_box &b) {
            Grid g(24, 0);
            if (b.left < 0)
                return g;
            if (row.dense) {
                g.rect(b.left, b.top, b.right, b.bottom, 9000);
            } else {
                // Two diagonal seeds joined through a corner: 2 of 4 active,
                // then padded so that less than 36 % is active.
                g.at(b.left, b.top) = 9000;
                g.at(b.right, b.bottom) = 9000;
                for (int k = b.left; k < b.right; k++)
                    g.at(k + 1, b.top + (k - b.left + 1) * (b.bottom - b.top) / (b.right - b.left)) = 4000;
            }
            return g;
        };
        // Without the filter the second grid gives exactly the box in question.
        Handle raw = make_handle();
        ozi_mrd_set_mode(raw.get(), 1);
        Result r0 = run(raw.get(), grid_of(row.second), 24);
        ASSERT_EQ(r0.n, 1) << row.name;
        EXPECT_EQ(str(r0.boxes[0]), str(mrd_box{row.second.left, row.second.top,
                                                row.second.right, row.second.bottom, 1}))
            << row.name;
        Result r1 = run(h.get(), grid_of(row.first), 24);
        EXPECT_EQ(r1.n, 0) << row.name;
        Result r2 = run(h.get(), grid_of(row.second), 24);
        EXPECT_EQ(r2.n, row.alarms) << row.name << " " << str_result(r2);
        if (r2.n == 1) {
            EXPECT_EQ(str(r2.boxes[0]), str(mrd_box{row.second.left, row.second.top,
                                                    row.second.right, row.second.bottom, 1}));
        }
        expect_tail_zero(r2);
    }
}

TEST(MrdAlarm, SteadilyMovingObjectAlarmsFromTheFifthCall)
{
    // A box seen for the first time has track count 1, so with confirm 3
    // it enters the history on the third call and, hit on the third,
    // fourth and fifth calls, alarms on the fifth.
    Handle h = make_handle();
    ozi_mrd_set_floating_wadding_params(h.get(), 3, 2, 4, 200, 1, 1);
    std::vector<int> counts;
    for (int call = 0; call < 8; call++) {
        Grid g(24, 0);
        g.rect(2 + call, 5, 4 + call, 7, 9000);
        Result r = run(h.get(), g, 24);
        counts.push_back(r.n);
        if (r.n == 1) {
            EXPECT_EQ(str(r.boxes[0]), str(mrd_box{2 + call, 5, 4 + call, 7, 1}));
        }
    }
    EXPECT_EQ(counts, (std::vector<int>{0, 0, 0, 0, 1, 1, 1, 1}));
}

TEST(MrdAlarm, ModeChangeRestartsConfirmationFloatingWaddingSetterDoesNot)
{
    auto calls_to_first_alarm = [](mrd_handle_t *h) {
        for (int call = 1; call <= 10; call++) {
            Grid g(24, 0);
            g.rect(3, 3, 6, 6, 9000);
            if (run(h, g, 24).n > 0)
                return call;
        }
        return 0;
    };
    Handle h = make_handle();
    ozi_mrd_set_floating_wadding_params(h.get(), 3, 2, 4, 200, 1, 1);
    EXPECT_EQ(calls_to_first_alarm(h.get()), 5);
    EXPECT_EQ(calls_to_first_alarm(h.get()), 1);
    ozi_mrd_set_floating_wadding_params(h.get(), 3, 2, 4, 200, 1, 1);
    EXPECT_EQ(calls_to_first_alarm(h.get()), 1);
    ozi_mrd_set_mode(h.get(), 0);
    EXPECT_EQ(calls_to_first_alarm(h.get()), 1);
    ozi_mrd_set_mode(h.get(), 2);
    ozi_mrd_set_mode(h.get(), 0);
    EXPECT_EQ(calls_to_first_alarm(h.get()), 5);
}

TEST(MrdAlarm, FullHistoryDropsNewEntriesAndKeepsItsInvariant)
{
    Handle h = make_handle();
    // Every box is confirmed on every call and lives 100 calls.
    ozi_mrd_set_floating_wadding_params(h.get(), 0, 0, 100, 0, 1, 1);
    Grid g(24, 0);
    for (int band = 0; band < 2; band++)
        for (int i = 0; i < 10; i++)
            g.rect(i * 3, band * 3, i * 3 + 1, band * 3 + 1, 9000);
    for (int call = 1; call <= 12; call++) {
        Result r = run(h.get(), g, 24);
        EXPECT_EQ(r.n, call == 1 ? 0 : 20) << "call " << call;
        const int expect = std::min(160, 20 * (call - 1));
        ASSERT_EQ(h->history_count, expect) << "call " << call;
        for (int k = 0; k < h->history_count; k++) {
            // Entries in insertion order, 20 per call, life counting down.
            EXPECT_GE(h->history[k].tag, 1);
            EXPECT_EQ(h->history[k].tag, 100 - (call - 2 - k / 20)) << "entry " << k;
        }
    }
}

TEST(MrdAlarm, ExtremeParametersNeitherOverflowNorBreakTheHistory)
{
    // Parameters are stored unchecked and may change between calls; the
    // filter's arithmetic must stay defined (UBSan build) and the history
    // consistent whatever they are.
    struct Row { int32_t confirm, hits, history, speed, min_w, min_h; };
    const Row rows[] = {
        {0, 0, INT32_MAX, INT32_MAX, 1, 1},
        {INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN, INT32_MIN},
        {0, -1, INT32_MAX, INT32_MIN, 0, 0},
        {INT32_MAX, INT32_MAX, 1, INT32_MAX, INT32_MAX, INT32_MAX},
        {-5, 0, INT32_MIN, INT32_MAX, -1, -1},
    };
    Handle h = make_handle();
    int call = 0, alarms = 0;
    for (int round = 0; round < 3; round++) {
        for (const Row &r : rows) {
            ozi_mrd_set_floating_wadding_params(h.get(), r.confirm, r.hits, r.history, r.speed,
                                                r.min_w, r.min_h);
            for (int k = 0; k < 3; k++, call++) {
                Grid g(24, 0);
                g.rect(call % 28, 4, call % 28 + 2, 6, 9000);
                g.rect(27 - call % 28, 14, 27 - call % 28 + 3, 16, 9000);
                Result res = run(h.get(), g, 24);
                ASSERT_GE(res.n, 0);
                ASSERT_LE(res.n, 2);
                alarms += res.n;
                expect_tail_zero(res);
                ASSERT_GE(h->history_count, 0);
                ASSERT_LE(h->history_count, 160);
                for (int e = 0; e < h->history_count; e++)
                    ASSERT_GE(h->history[e].tag, 1) << "call " << call << " entry " << e;
            }
        }
    }
    EXPECT_GT(alarms, 0);  // the permissive rows do raise alarms
}

// ---- comparison with the slow reference --------------------------------

struct Scenario {
    struct Block {
        int x, y, w, h, dx, dy;
    };
    std::mt19937 rng;
    std::vector<Block> blocks;
    explicit Scenario(uint32_t seed) : rng(seed)
    {
        for (int i = pick(0, 8); i > 0; i--)
            blocks.push_back({pick(0, 31), pick(0, 31), pick(1, 6), pick(1, 5), pick(-1, 1),
                              pick(-1, 1)});
    }
    int pick(int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); }

    /* Noise below the grow threshold, drifting blocks of activity (some of
     * them sparse) and a few lone strong cells. */
    std::vector<uint16_t> grid()
    {
        std::vector<uint16_t> g(32 * 32);
        for (auto &c : g)
            c = uint16_t(pick(0, 4500));
        for (Block &b : blocks) {
            b.x = (b.x + b.dx + 32) % 32;
            b.y = (b.y + b.dy + 32) % 32;
            if (pick(0, 9) == 0)
                continue;  // missed in this call
            for (int y = b.y; y < std::min(32, b.y + b.h); y++)
                for (int x = b.x; x < std::min(32, b.x + b.w); x++)
                    g[y * 32 + x] = uint16_t(pick(0, 3) ? pick(7000, 65535) : pick(0, 5000));
        }
        for (int i = pick(0, 6); i > 0; i--)
            g[pick(0, 1023)] = uint16_t(pick(6000, 65535));
        return g;
    }
};

struct Coverage {
    int raw_calls_with_boxes = 0;   /* mode 1 calls that returned boxes */
    int alarm_calls = 0;            /* mode 0 calls that returned alarms */
};

/* A run with fixed mode, detection region and row count: the random steps
 * then change only the filters, sizes and filter parameters. */
struct Fixed {
    int mode;
    int region_len, left, top, right, bottom;  /* region_len 0: no region */
    int len;
};

int compare_with_reference(uint32_t seed, mrdref::Fault fault, std::string *first_diff,
                           Coverage *cov = nullptr, const Fixed *fixed = nullptr)
{
    Scenario sc(seed);
    Handle h = make_handle();
    mrdref::Model ref;
    ref.fault = fault;
    int diffs = 0;
    const int first_mode = fixed ? fixed->mode : sc.pick(0, 1);
    if (fixed && fixed->region_len) {
        const Fixed &f = *fixed;
        if (ozi_mrd_set_detection_region(h.get(), f.region_len, f.left, f.top, f.right, f.bottom) !=
            ref.set_detection_region(f.region_len, f.left, f.top, f.right, f.bottom))
            diffs++;
    }
    ozi_mrd_set_mode(h.get(), first_mode);
    ref.set_mode(first_mode);
    const int c0 = sc.pick(0, 4), a0 = sc.pick(0, 3), f0 = sc.pick(0, 9), s0 = sc.pick(0, 50);
    ozi_mrd_set_floating_wadding_params(h.get(), c0, a0, f0, s0, 1, 1);
    ref.set_fw(c0, a0, f0, s0, 1, 1);
    for (int call = 0; call < 40; call++) {
        int step = sc.pick(0, 40);
        if (fixed && (step == 2 || step == 3))
            step = -1;
        switch (step) {
        case 0: {
            uint32_t a = uint32_t(sc.pick(0, 20000)), b = uint32_t(sc.pick(0, 20000));
            ozi_mrd_set_filters(h.get(), a, b);
            ref.set_filters(a, b);
            break;
        }
        case 1: {
            int a = sc.pick(-40, 40), b = sc.pick(-400, 400);
            ozi_mrd_set_motion_region_size(h.get(), a, b);
            ref.set_motion_region_size(a, b);
            break;
        }
        case 2: {
            int len = sc.pick(0, 33), l = sc.pick(-2, 34), t = sc.pick(-2, 34),
                r = sc.pick(-2, 34), b = sc.pick(-2, 34);
            tvrtest::LogCapture capture;
            int rc = ozi_mrd_set_detection_region(h.get(), len, l, t, r, b);
            capture.take();
            if (rc != ref.set_detection_region(len, l, t, r, b))
                diffs++;
            break;
        }
        case 3: {
            int m = sc.pick(0, 1);
            ozi_mrd_set_mode(h.get(), m);
            ref.set_mode(m);
            break;
        }
        case 4: {
            int c = sc.pick(-1, 4), a = sc.pick(-1, 3), f = sc.pick(-1, 9), s = sc.pick(-5, 300),
                w = sc.pick(-1, 3), hh = sc.pick(-1, 3);
            ozi_mrd_set_floating_wadding_params(h.get(), c, a, f, s, w, hh);
            ref.set_fw(c, a, f, s, w, hh);
            break;
        }
        default:
            break;
        }
        const std::vector<uint16_t> g = sc.grid();
        int len = sc.pick(0, 4) == 0 ? sc.pick(-2, 34) : 24;
        if (fixed)
            len = fixed->len;
        mrd_box boxes[MRD_MAX_BOXES];
        const int n = ozi_mrd(h.get(), g.data(), len, boxes);
        const std::vector<mrdref::Box> want = ref.run(g.data(), len);
        if (cov && n > 0)
            (h->mode == 0 ? cov->alarm_calls : cov->raw_calls_with_boxes)++;
        std::string got_s, want_s = std::to_string(want.size()) + ":";
        got_s = std::to_string(n) + ":";
        for (int i = 0; i < n; i++)
            got_s += str(boxes[i]);
        for (const auto &b : want)
            want_s += str(mrd_box{b.left, b.top, b.right, b.bottom, b.tag});
        bool state_same = h->prev_count == int(ref.prev.size()) &&
                          h->history_count == int(ref.history.size());
        for (int k = 0; state_same && k < h->history_count; k++) {
            const mrdref::Box &e = ref.history[k];
            state_same = str(h->history[k]) == str(mrd_box{e.left, e.top, e.right, e.bottom, e.tag}) &&
                         h->history_hits[k] == ref.history_hits[k];
        }
        if (got_s != want_s || !state_same) {
            if (diffs++ == 0 && first_diff)
                *first_diff = "seed " + std::to_string(seed) + " call " + std::to_string(call) +
                              ": got " + got_s + " want " + want_s;
        }
    }
    return diffs;
}

TEST(MrdReference, RandomGridsAndSettersMatchTheSlowModel)
{
    Coverage cov;
    for (uint32_t seed = 1; seed <= 150; seed++) {
        std::string diff;
        EXPECT_EQ(compare_with_reference(seed, mrdref::Fault::none, &diff, &cov), 0) << diff;
    }
    // The random scenes must exercise both paths, or the comparison says little.
    EXPECT_GT(cov.raw_calls_with_boxes, 300);
    EXPECT_GT(cov.alarm_calls, 300);
    std::printf("compared: %d raw calls with boxes, %d calls with alarms\n",
                cov.raw_calls_with_boxes, cov.alarm_calls);
}

/* Row counts at and beyond the limits, with and without a region, and
 * regions reaching below the call's rows, in the alarm mode and a raw one. */
TEST(MrdReference, FixedRegionsAndRowCountsMatchTheSlowModel)
{
    const Fixed rows[] = {
        {0, 0, 0, 0, 0, 0, 0},          {0, 0, 0, 0, 0, 0, -5},
        {0, 0, 0, 0, 0, 0, 1},          {0, 0, 0, 0, 0, 0, 32},
        {0, 32, 1, 1, 32, 32, 0},       {0, 32, 1, 1, 32, 32, -3},
        {0, 32, 1, 1, 32, 32, 1},       {0, 32, 1, 1, 32, 32, 32},
        {0, 32, 1, 3, 32, 19, 5},       {0, 32, 3, 4, 28, 31, 24},
        {0, 32, 1, 18, 32, 19, 18},     {0, 32, 5, 20, 30, 32, 1},
        {0, 24, 2, 2, 30, 24, 12},
    };
    for (int mode : {0, 255}) {
        for (Fixed f : rows) {
            f.mode = mode;
            for (uint32_t seed = 1; seed <= 30; seed++) {
                std::string diff;
                EXPECT_EQ(compare_with_reference(seed, mrdref::Fault::none, &diff, nullptr, &f), 0)
                    << "mode " << mode << " region_len " << f.region_len << " rows " << f.top
                    << "-" << f.bottom << " len " << f.len << ": " << diff;
            }
        }
    }
}

TEST(MrdReference, TheComparisonCatchesADeliberateFault)
{
    int caught = 0;
    for (uint32_t seed = 1; seed <= 150; seed++)
        caught += compare_with_reference(seed, mrdref::Fault::equal_area_newest_first, nullptr) > 0;
    EXPECT_GT(caught, 10);
    std::printf("the fault shows in %d of 150 sequences\n", caught);
}

// ---- scene ------------------------------------------------------------------

/* A static noisy scene (activity well below the grow threshold) with an
 * optional 3 x 3 object moving one cell per call along row 10. */
std::vector<int> scene_alarms(bool moving, bool uniform_change, std::vector<std::string> *miss)
{
    Handle h = make_handle();
    ozi_mrd_set_floating_wadding_params(h.get(), 3, 2, 4, 200, 1, 1);
    std::mt19937 rng(7);
    std::vector<int> counts;
    for (int call = 0; call < 24; call++) {
        Grid g(24, 0);
        for (auto &c : g.v)
            c = uint16_t(std::uniform_int_distribution<int>(0, 3000)(rng));
        if (uniform_change && call % 3 == 0)
            for (auto &c : g.v)
                c = uint16_t(c + 20000);
        const int x = 2 + call;
        if (moving)
            g.rect(x, 10, x + 2, 12, uint16_t(12000 + call * 100));
        Result r = run(h.get(), g, 24);
        counts.push_back(r.n);
        for (int i = 0; i < r.n; i++) {
            const mrd_box &b = r.boxes[i];
            if (!(b.left <= x && b.right >= x + 2 && b.top <= 10 && b.bottom >= 12) && miss)
                miss->push_back("call " + std::to_string(call) + " " + str(b));
        }
    }
    return counts;
}

TEST(MrdScene, MovingObjectRaisesAlarmsThatFollowIt)
{
    std::vector<std::string> miss;
    const std::vector<int> counts = scene_alarms(true, false, &miss);
    EXPECT_TRUE(miss.empty()) << miss.front();
    for (size_t call = 0; call < counts.size(); call++)
        EXPECT_EQ(counts[call], call < 4 ? 0 : 1) << "call " << call;
}

TEST(MrdScene, StillOrUniformlyChangingGridRaisesNone)
{
    for (bool uniform : {false, true}) {
        const std::vector<int> counts = scene_alarms(false, uniform, nullptr);
        for (size_t call = 0; call < counts.size(); call++)
            EXPECT_EQ(counts[call], 0) << (uniform ? "uniform change" : "still") << " call " << call;
    }
}

} // namespace
