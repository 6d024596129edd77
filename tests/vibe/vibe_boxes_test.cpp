/*
 * Box building: labelling by rectangle growing, the sorted 10-slot list with
 * merging, adjacency, the strip split and side shrinking.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <vector>

#include "vibe_internal.h"

namespace {

struct rect { int l, t, r, b; };

struct fixture {
    std::unique_ptr<vibe_handle_t> h{new vibe_handle_t()};
    vibe_box boxes[VIBE_MAX_BOXES] = {};
    fixture()
    {
        h->self = h.get();
        h->motion_region_min = 1;
        h->filtering_flag = 11;
    }
    void fill(uint8_t *plane, rect r, uint8_t v)
    {
        for (int y = r.t; y <= r.b; y++)
            for (int x = r.l; x <= r.r; x++)
                plane[y * 80 + x] = v;
    }
    void fg(rect r, uint8_t v = 255) { fill(h->fg_mask, r, v); }
    void fd(rect r, uint8_t v = 255) { fill(h->fd_mask, r, v); }
    int label() { return vibe_mrd(h.get(), boxes); }
};

void expect_box(const vibe_box &b, rect r, int tag, const char *what)
{
    EXPECT_EQ(b.left, r.l) << what;
    EXPECT_EQ(b.top, r.t) << what;
    EXPECT_EQ(b.right, r.r) << what;
    EXPECT_EQ(b.bottom, r.b) << what;
    EXPECT_EQ(b.tag, tag) << what;
}

TEST(VibeLabel, RegionsFromMasks)
{
    const struct {
        const char *what;
        std::vector<std::pair<rect, uint8_t>> cells;
        std::vector<rect> expect;
    } rows[] = {
        {"weak-only region gives no box", {{{10, 10, 20, 20}, 128}}, {}},
        {"weak cells joined to a strong seed are taken in",
         {{{10, 10, 12, 12}, 255}, {{13, 10, 20, 12}, 128}}, {{10, 10, 20, 12}}},
        {"blobs sharing an edge merge", {{{10, 10, 14, 14}, 255}, {{15, 10, 18, 12}, 255}},
         {{10, 10, 18, 14}}},
        {"corner-touching blobs stay apart", {{{10, 10, 14, 14}, 255}, {{15, 15, 19, 19}, 255}},
         {{10, 10, 14, 14}, {15, 15, 19, 19}}},
        {"growth stops at columns 1..78 and rows 1..58", {{{0, 0, 79, 59}, 255}},
         {{1, 1, 78, 58}}},
        {"rectangles of separate blobs overlap and merge",
         {{{10, 10, 20, 11}, 255}, {{10, 12, 11, 20}, 255}, {{13, 14, 30, 16}, 255}},
         {{10, 10, 30, 20}}},
        {"larger first, equal areas in order found",
         {{{5, 5, 6, 6}, 255}, {{30, 5, 31, 6}, 255}, {{50, 30, 60, 40}, 255}},
         {{50, 30, 60, 40}, {5, 5, 6, 6}, {30, 5, 31, 6}}},
    };
    for (const auto &row : rows) {
        fixture f;
        for (const auto &c : row.cells)
            f.fg(c.first, c.second);
        ASSERT_EQ(f.label(), (int)row.expect.size()) << row.what;
        for (size_t i = 0; i < row.expect.size(); i++)
            expect_box(f.boxes[i], row.expect[i], 1, row.what);
        for (size_t i = row.expect.size(); i < VIBE_MAX_BOXES; i++)
            expect_box(f.boxes[i], {0, 0, 0, 0}, 0, row.what);
    }
}

TEST(VibeLabel, SmallRegionIsDroppedButItsCellsNoLongerSeed)
{
    fixture f;
    f.h->motion_region_min = 10;
    f.fg({10, 10, 11, 11});
    EXPECT_EQ(f.label(), 0);
    EXPECT_EQ(f.h->label_mask[10 * 80 + 10], 0);
    EXPECT_EQ(f.h->label_mask[11 * 80 + 11], 0);
    EXPECT_EQ(f.h->label_mask[12 * 80 + 12], 1);
}

TEST(VibeLabel, ListOverflowKeepsTheTenLargest)
{
    /* Ten 2x2 blobs, then (in scan order) a smaller 1x2 one: dropped. */
    fixture f;
    for (int i = 0; i < 10; i++)
        f.fg({1 + 6 * i, 5, 2 + 6 * i, 6});
    f.fg({70, 20, 70, 21});
    EXPECT_EQ(f.label(), 10);
    for (int i = 0; i < 10; i++)
        expect_box(f.boxes[i], {1 + 6 * i, 5, 2 + 6 * i, 6}, 1, "full list");

    /* A larger eleventh box pushes the last (smallest, latest) one out. */
    fixture g;
    for (int i = 0; i < 10; i++)
        g.fg({1 + 6 * i, 5, 2 + 6 * i, 6});
    g.fg({70, 20, 72, 22});
    EXPECT_EQ(g.label(), 10);
    expect_box(g.boxes[0], {70, 20, 72, 22}, 1, "larger box first");
    for (int i = 0; i < 9; i++)
        expect_box(g.boxes[i + 1], {1 + 6 * i, 5, 2 + 6 * i, 6}, 1, "shifted");
}

TEST(VibeLabel, AddRecordCountsAndMerges)
{
    fixture f;
    uint8_t n = 0;
    n = vibe_add_box_record(f.h.get(), f.boxes, 10, 10, 12, 12, 0, n);
    n = vibe_add_box_record(f.h.get(), f.boxes, 30, 30, 31, 31, 0, n);
    ASSERT_EQ(n, 2);
    /* Touches the first along its right edge: both fuse into one box. */
    n = vibe_add_box_record(f.h.get(), f.boxes, 13, 11, 15, 11, 7, n);
    ASSERT_EQ(n, 2);
    expect_box(f.boxes[0], {10, 10, 15, 12}, 1, "fused");
    expect_box(f.boxes[1], {30, 30, 31, 31}, 1, "kept");
    EXPECT_EQ(f.h->label_mask[11 * 80 + 15], 0);
}

TEST(VibeLabel, Adjacency)
{
    const struct { vibe_box a, b; int adjacent; } rows[] = {
        {{10, 10, 20, 20, 0}, {15, 15, 25, 25, 0}, 1}, /* overlap */
        {{10, 10, 20, 20, 0}, {21, 10, 30, 20, 0}, 1}, /* shared vertical edge */
        {{10, 10, 20, 20, 0}, {10, 21, 20, 30, 0}, 1}, /* shared horizontal edge */
        {{10, 10, 20, 20, 0}, {21, 21, 30, 30, 0}, 0}, /* corner only */
        {{10, 10, 20, 20, 0}, {0, 0, 9, 9, 0}, 0},     /* corner only */
        {{10, 10, 20, 20, 0}, {22, 10, 30, 20, 0}, 0}, /* one-cell gap */
        {{10, 10, 20, 20, 0}, {12, 12, 14, 14, 0}, 1}, /* inside */
    };
    for (const auto &r : rows) {
        EXPECT_EQ(vibe_IsAdjacentBoxes(&r.a, &r.b), r.adjacent) << r.b.left << "," << r.b.top;
        EXPECT_EQ(vibe_IsAdjacentBoxes(&r.b, &r.a), r.adjacent) << r.b.left << "," << r.b.top;
    }
}

TEST(VibeLabel, StripSplitFollowsFrameDifference)
{
    /* Region 10..29 x 10..19; frame difference in columns 10..13 and 20..24
     * (strong) and column 27 (weak only: score 10 > 9/3, still active). */
    fixture f;
    f.h->filtering_flag = 12 | 3;
    f.fg({10, 10, 29, 19});
    f.fd({10, 10, 13, 19});
    f.fd({20, 10, 24, 19});
    f.fd({27, 10, 27, 19}, 128);
    ASSERT_EQ(f.label(), 3);
    expect_box(f.boxes[0], {20, 10, 24, 19}, 1, "widest strip");
    expect_box(f.boxes[1], {10, 10, 13, 19}, 1, "left strip");
    expect_box(f.boxes[2], {27, 10, 27, 19}, 1, "weak strip");

    fixture g;
    g.h->filtering_flag = 12;
    g.fg({10, 10, 29, 19});
    EXPECT_EQ(g.label(), 0) << "no frame difference: the region vanishes";

    fixture k; /* bit 2 alone does not split */
    k.h->filtering_flag = 4;
    k.fg({10, 10, 29, 19});
    EXPECT_EQ(k.label(), 1);
}

TEST(VibeLabel, SideShrinking)
{
    fixture f;
    vibe_box zero = {0, 0, 0, 0, 5};
    EXPECT_EQ(vibe_box_optimizing_gradient_difference(f.h.get(), &zero), -1);
    expect_box(zero, {0, 0, 0, 0}, 5, "zero box unchanged");

    vibe_box empty = {10, 10, 20, 20, 1};
    EXPECT_EQ(vibe_box_optimizing_gradient_difference(f.h.get(), &empty), 0);
    expect_box(empty, {0, 0, 0, 0}, 1, "no frame difference: zero box");

    /* Changed cells in 13..17 x 12..16: each side moves to the first line
     * whose weight beats half the box's extent. */
    f.fd({13, 12, 17, 16});
    vibe_box b = {10, 10, 20, 20, 1};
    EXPECT_EQ(vibe_box_optimizing_gradient_difference(f.h.get(), &b), 0);
    expect_box(b, {13, 12, 17, 16}, 1, "shrunk to the changed block");

    /* Weak cells weigh 1: a column of 5 weak cells in a box 11 rows high
     * (10 < 2 x 5 is false) does not hold the left side. */
    fixture g;
    g.fd({10, 10, 10, 14}, 128);
    g.fd({12, 10, 12, 20});
    vibe_box c = {10, 10, 20, 20, 1};
    vibe_box_optimizing_gradient_difference(g.h.get(), &c);
    EXPECT_EQ(c.left, 12);
    EXPECT_EQ(c.right, 12);
}

} // namespace

namespace {

/* The exported steps take boxes from any caller: cells off the grid are
 * neither read nor written (the sanitizer builds check the accesses). */
TEST(VibeLabel, StepsClipBoxesToTheGrid)
{
    fixture f;
    memset(f.h->fd_mask, VIBE_MASK_STRONG, sizeof f.h->fd_mask);
    memset(f.h->cur_frame, 9, sizeof f.h->cur_frame);
    memset(f.h->fg_count, 5, sizeof f.h->fg_count);
    const vibe_box wide = {-5, 55, 90, 70, 0};
    vibe_background_update(f.h.get(), &wide);
    EXPECT_EQ(f.h->background[59 * 80 + 79], 9);
    EXPECT_EQ(f.h->fg_count[59 * 80 + 0], 0);
    EXPECT_EQ(f.h->background[54 * 80 + 0], 0);
    /* 16 x 5 = 80 changed cells on the grid out of 96 x 16 = 1536. */
    EXPECT_EQ(vibe_Is_valid_rect(f.h.get(), -5, 55, 90, 70, 0), 0);
    EXPECT_EQ(vibe_Is_valid_rect(f.h.get(), 70, 50, 79, 59, 0), 1);
    vibe_box s = {-5, 55, 90, 70, 1};
    EXPECT_EQ(vibe_box_optimizing_gradient_difference(f.h.get(), &s), 0);
    vibe_box far = {1000, 1000, 1010, 1010, 0};
    uint8_t n = vibe_add_box_record(f.h.get(), f.boxes, far.left, far.top, far.right,
                                    far.bottom, 0, 0);
    EXPECT_EQ(n, 1);
    EXPECT_EQ(vibe_separate_boxes(f.h.get(), f.boxes, &far, n), 1);
}

} // namespace
