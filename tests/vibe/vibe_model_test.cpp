/*
 * Main entry: frame reduction and size limits, model start, classification,
 * the isolated-cell filter, global changes and scaling to frame pixels.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "vibe_internal.h"
#include "vibe_scene.h"
#include "support/log_capture.h"

namespace {

struct detector {
    vibe_handle_t *h = ozi_vibe_init();
    vibe_box boxes[VIBE_MAX_BOXES];
    ~detector() { ozi_vibe_destroy(h); }
    int run(const std::vector<uint8_t> &f, int width, int height)
    {
        return ozi_vibe(h, f.data(), height, width, boxes);
    }
};

/* A 160x120 frame whose grid cell (x, y) is 2x2 pixels of value v(x, y), so
 * that the reduced grid holds exactly the cell values. */
std::vector<uint8_t> grid_frame(const uint8_t *cells)
{
    std::vector<uint8_t> f(160 * 120);
    for (int y = 0; y < 120; y++)
        for (int x = 0; x < 160; x++)
            f[y * 160 + x] = cells[(y / 2) * 80 + x / 2];
    return f;
}

TEST(VibeModel, ReductionSamplesTheUpperLeftQuarterOfEachCell)
{
    /* 1920x1080: cell (j, i) samples rows 18i, 18i+9 and columns 24j, 24j+12. */
    std::vector<uint8_t> f(1920 * 1080, 0);
    f[18 * 1920 + 24] = 40;      /* cell (1, 1): y0, x0 */
    f[27 * 1920 + 36] = 80;      /* cell (1, 1): y1, x1 */
    f[19 * 1920 + 25] = 200;     /* not sampled */
    f[(18 * 59 + 9) * 1920 + 24 * 79 + 12] = 255; /* cell (79, 59): y1, x1 */
    detector d;
    ASSERT_EQ(vibe_resize_frame(d.h, f.data(), 1080, 1920), 0);
    EXPECT_EQ(d.h->cur_frame[1 * 80 + 1], (40 + 80) >> 2);
    EXPECT_EQ(d.h->cur_frame[59 * 80 + 79], 255 >> 2);
    EXPECT_EQ(d.h->cur_frame[0], 0);
}

TEST(VibeModel, FrameSizeLimits)
{
    const struct { int w, h; int result; const char *msg; } rows[] = {
        {160, 120, 0, ""},
        {159, 120, -1, "The input frame resolution [120 159] is too small, min acceptable resolution is [120 160]\n"},
        {160, 119, -1, "The input frame resolution [119 160] is too small, min acceptable resolution is [120 160]\n"},
        {-5, 480, -1, "The input frame resolution [480 -5] is too small, min acceptable resolution is [120 160]\n"},
    };
    for (const auto &r : rows) {
        detector d;
        std::vector<uint8_t> f((size_t)(r.w > 0 ? r.w : 1) * r.h, 90);
        tvrtest::LogCapture capture;
        EXPECT_EQ(d.run(f, r.w, r.h), r.result) << r.w << "x" << r.h;
        EXPECT_EQ(capture.take(), r.msg);
        EXPECT_EQ(d.h->model_ready, r.result == 0 ? 1 : 0);
    }
}

TEST(VibeModel, FirstFrameBecomesTheBackground)
{
    vibe_test::scene sc(320, 240, 3);
    detector d;
    const std::vector<uint8_t> f = sc.render({{40, 40, 80, 60, 9}}, 2);
    ASSERT_EQ(d.run(f, 320, 240), 0);
    EXPECT_EQ(memcmp(d.h->background, d.h->cur_frame, VIBE_GRID_CELLS), 0);
    EXPECT_EQ(memcmp(d.h->prev_frame, d.h->cur_frame, VIBE_GRID_CELLS), 0);
    ASSERT_EQ(d.run(f, 320, 240), 0);
    for (int i = 0; i < VIBE_GRID_CELLS; i++)
        ASSERT_EQ(d.h->fg_mask[i], 0) << i;
}

TEST(VibeModel, UniformBrightnessChangeIsNotForeground)
{
    for (int offset : {-40, -10, 10, 40}) {
        vibe_test::scene sc(640, 360, 5);
        detector d;
        ASSERT_EQ(d.run(sc.render({}, 2), 640, 360), 0);
        ASSERT_EQ(d.run(sc.render({}, 2, offset), 640, 360), 0) << offset;
        int fg = 0;
        for (int i = 0; i < VIBE_GRID_CELLS; i++)
            fg += d.h->fg_mask[i] != 0;
        EXPECT_EQ(fg, 0) << offset;
    }
}

/* Isolated-cell filter.  The background is flat; the frame adds the given
 * cell differences.  Both thresholds are T, so a cell is foreground when
 * either second difference reaches T.  motion_region_max 1 with fast
 * updating off stops the call right after labelling, which leaves fg_mask
 * and fg_count as the filter left them. */
struct shape_case {
    const char *what;
    std::vector<std::pair<int, int>> plus, minus; /* cells changed by +D / -D */
    int t;                                       /* threshold */
    int fg_before;                               /* foreground cells before filtering */
    int fg_after;
};

TEST(VibeModel, IsolatedCellFilter)
{
    const int D = 40;
    std::vector<std::pair<int, int>> hline, vline;
    for (int x = 20; x < 30; x++)
        hline.push_back({x, 30});
    for (int y = 20; y < 30; y++)
        vline.push_back({40, y});
    const shape_case rows[] = {
        /* centre 2D, neighbours D: only the centre reaches T = 60 */
        {"single strong cell", {{30, 30}}, {}, 60, 1, 0},
        /* along the line the row difference cancels; column difference 2D */
        {"horizontal line", hline, {}, 60, 10, 0},
        {"vertical line", vline, {}, 60, 10, 0},
        /* T = D: the centre (2D) and its four neighbours (D) */
        {"plus shape", {{30, 30}}, {}, D, 5, 0},
        /* +-D checkerboard 2x2: block cells 3D, ring cells D */
        {"2x2 block", {{30, 30}, {31, 31}}, {{31, 30}, {30, 31}}, 2 * D, 4, 4},
    };
    for (const auto &r : rows) {
        detector d;
        uint8_t cells[VIBE_GRID_CELLS];
        memset(cells, 100, sizeof cells);
        ASSERT_EQ(d.run(grid_frame(cells), 160, 120), 0);
        for (auto c : r.plus)
            cells[c.second * 80 + c.first] += D;
        for (auto c : r.minus)
            cells[c.second * 80 + c.first] -= D;
        ozi_vibe_set_filters(d.h, r.t, r.t);
        ozi_vibe_set_motion_region_size(d.h, 1, 1);
        ozi_vibe_set_fast_updating_flag(d.h, 0);
        memset(d.h->fg_count, 7, sizeof d.h->fg_count);

        ozi_vibe_set_filtering_flag(d.h, 8); /* filter off: count the shape */
        ASSERT_EQ(d.run(grid_frame(cells), 160, 120), 0);
        int before = 0;
        for (int i = 0; i < VIBE_GRID_CELLS; i++)
            before += d.h->fg_mask[i] != 0;
        EXPECT_EQ(before, r.fg_before) << r.what;

        memset(d.h->fg_count, 7, sizeof d.h->fg_count);
        ozi_vibe_set_filtering_flag(d.h, 9);
        ASSERT_EQ(d.run(grid_frame(cells), 160, 120), 0);
        int after = 0;
        for (int i = 0; i < VIBE_GRID_CELLS; i++) {
            after += d.h->fg_mask[i] != 0;
            /* survivors counted one more frame; removed cells restored */
            ASSERT_EQ(d.h->fg_count[i], d.h->fg_mask[i] ? 8 : 7) << r.what << " cell " << i;
        }
        EXPECT_EQ(after, r.fg_after) << r.what;
    }
}

TEST(VibeModel, GlobalChangeRestartsTheModel)
{
    vibe_test::scene sc(320, 240, 8);
    detector d;
    ASSERT_EQ(d.run(sc.render({}, 1), 320, 240), 0);
    uint8_t prev[VIBE_GRID_CELLS];
    memcpy(prev, d.h->prev_frame, sizeof prev);
    /* An object covering most of the frame: largest box >= 2400 cells. */
    const std::vector<uint8_t> big = sc.render({{4, 4, 312, 232, 1}}, 1);
    ASSERT_EQ(d.run(big, 320, 240), 0);
    EXPECT_GE((d.boxes[0].right - d.boxes[0].left + 1) * (d.boxes[0].bottom - d.boxes[0].top + 1),
              2400);
    EXPECT_EQ(memcmp(d.h->background, d.h->cur_frame, VIBE_GRID_CELLS), 0) << "model restarted";
    EXPECT_EQ(memcmp(d.h->prev_frame, prev, VIBE_GRID_CELLS), 0) << "prev_frame not advanced";

    detector k; /* without fast updating the background stays */
    ozi_vibe_set_fast_updating_flag(k.h, 0);
    ASSERT_EQ(k.run(sc.render({}, 0), 320, 240), 0);
    uint8_t bg[VIBE_GRID_CELLS];
    memcpy(bg, k.h->background, sizeof bg);
    ASSERT_EQ(k.run(big, 320, 240), 0);
    EXPECT_EQ(memcmp(k.h->background, bg, VIBE_GRID_CELLS), 0);
}

/* 640x480: cells are 8x8 pixels.  An object over cells 11..18 x 6..8
 * changes the second differences of its four-neighbour ring too, so the
 * box is cells 10..19 x 5..9, reported as pixels 80..159 x 40..79. */
TEST(VibeModel, BoxesScaleToFramePixels)
{
    detector d;
    ozi_vibe_set_mode(d.h, 1);
    std::vector<uint8_t> f(640 * 480, 100);
    ASSERT_EQ(d.run(f, 640, 480), 0);
    for (int y = 48; y < 72; y++)
        for (int x = 88; x < 152; x++)
            f[y * 640 + x] = ((x / 8 + y / 8) & 1) ? 220 : 30;
    ASSERT_EQ(d.run(f, 640, 480), 1);
    EXPECT_EQ(d.boxes[0].left, 80);
    EXPECT_EQ(d.boxes[0].right, 159);
    EXPECT_EQ(d.boxes[0].top, 40);
    EXPECT_EQ(d.boxes[0].bottom, 79);
    EXPECT_EQ(d.boxes[0].tag, 0) << "mode 1 returns raw boxes with tag 0";
    for (int i = 1; i < VIBE_MAX_BOXES; i++)
        EXPECT_EQ(d.boxes[i].right, 0);
}

TEST(VibeModel, CellsLeaveBoxesAndAreAbsorbed)
{
    detector d;
    ozi_vibe_set_mode(d.h, 1);
    std::vector<uint8_t> f(640 * 480, 100);
    ASSERT_EQ(d.run(f, 640, 480), 0);
    std::vector<uint8_t> g = f;
    for (int y = 48; y < 72; y++)
        for (int x = 88; x < 152; x++)
            g[y * 640 + x] = ((x / 8 + y / 8) & 1) ? 220 : 30;
    ASSERT_EQ(d.run(g, 640, 480), 1);
    EXPECT_EQ(d.h->box_state[7 * 80 + 12], VIBE_CELL_IN_BOX);
    EXPECT_EQ(d.h->label_mask[7 * 80 + 12], 0);
    /* The object stays: no frame difference, so side shrinking drops the
     * box; its cells are released, still foreground, and wait. */
    ASSERT_EQ(d.run(g, 640, 480), 0);
    EXPECT_EQ(d.h->box_state[7 * 80 + 12], VIBE_CELL_RELEASED);
    /* After update_frames foreground frames they join the background. */
    for (int i = 0; i < 12 && d.h->box_state[7 * 80 + 12] != VIBE_CELL_FREE; i++)
        d.run(g, 640, 480);
    EXPECT_EQ(d.h->box_state[7 * 80 + 12], VIBE_CELL_FREE);
    EXPECT_EQ(d.h->background[7 * 80 + 12], d.h->cur_frame[7 * 80 + 12]);
}

} // namespace
