/*
 * ozi_mrd.cpp - motion-region detector: handle, setters, region growing,
 * the area-sorted box list and the floating-wadding alarm filter.
 *
 * Callers: any program that turns frames into activity grids (the
 * motion_detect tool does).  No threads, no locks; all state is in the
 * handle and nothing is allocated per call: the seed list lives on the
 * stack and the working boxes in the caller's array.
 */
#include "mrd_internal.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "alarm_filter.h"

extern "C" const char mrd_lib_version[] = "MRD Lib V1.0.06";

namespace {

/* Search window of one call, counted from 0, bounds inclusive. */
struct Window {
    int32_t left, top, right, bottom;
};

int32_t null_handle()
{
    std::printf("mrd_handle is NULL\n");
    return -1;
}

int32_t clamp(int32_t v, int32_t lo, int32_t hi)
{
    return v < lo ? lo : (v > hi ? hi : v);
}

/* The window the handle's region describes.  A set region is held counted
 * from 1; without one the whole width is searched down to region_bottom,
 * which the main entry sets to the rows of the call minus one. */
Window handle_window(const mrd_handle_t *h)
{
    Window w;
    if (h->region_left != 0) {
        w = {h->region_left - 1, h->region_top - 1, h->region_right - 1, h->region_bottom - 1};
    } else {
        w = {h->region_left, h->region_top, h->region_right, h->region_bottom};
    }
    /* The setters keep the region inside a 32 x 32 grid; clamping here
     * keeps every index of the scan inside it whatever the record holds. */
    w.left = clamp(w.left, 0, MRD_GRID_COLS - 1);
    w.right = clamp(w.right, 0, MRD_GRID_COLS - 1);
    w.top = clamp(w.top, 0, MRD_GRID_MAX_ROWS - 1);
    w.bottom = clamp(w.bottom, 0, MRD_GRID_MAX_ROWS - 1);
    return w;
}

inline uint16_t cell(const uint16_t *grid, int32_t x, int32_t y)
{
    return grid[y * MRD_GRID_COLS + x];
}

bool row_qualifies(const uint16_t *grid, int32_t y, int32_t x0, int32_t x1, uint16_t g)
{
    for (int32_t x = x0; x <= x1; x++)
        if (cell(grid, x, y) >= g)
            return true;
    return false;
}

bool column_qualifies(const uint16_t *grid, int32_t x, int32_t y0, int32_t y1, uint16_t g)
{
    for (int32_t y = y0; y <= y1; y++)
        if (cell(grid, x, y) >= g)
            return true;
    return false;
}

/* Rectangle growing: each pass looks at the ring around the box (limited
 * by the window) and moves every side whose ring line holds a qualifying
 * cell.  All four tests of a pass use that pass's candidate bounds, so
 * the ring's corners count for both sides that meet there.  A pass that
 * keeps a flag on has grown the box, so at most 64 passes run. */
void grow_in_window(const mrd_handle_t *h, const uint16_t *grid, mrd_box *b, const Window &w)
{
    const uint16_t g = h->grow_threshold;
    bool again = true;
    while (again) {
        bool fl = b->left > w.left, fr = b->right < w.right;
        bool ft = b->top > w.top, fb = b->bottom < w.bottom;
        const int32_t L = fl ? b->left - 1 : b->left;
        const int32_t R = fr ? b->right + 1 : b->right;
        const int32_t T = ft ? b->top - 1 : b->top;
        const int32_t B = fb ? b->bottom + 1 : b->bottom;
        /* A side already at the window edge has nothing to gain from its
         * test (its candidate is its own bound), so it is skipped. */
        if (ft) {
            if (row_qualifies(grid, T, L, R, g)) b->top = T; else ft = false;
        }
        if (fb) {
            if (row_qualifies(grid, B, L, R, g)) b->bottom = B; else fb = false;
        }
        if (fl) {
            if (column_qualifies(grid, L, T, B, g)) b->left = L; else fl = false;
        }
        if (fr) {
            if (column_qualifies(grid, R, T, B, g)) b->right = R; else fr = false;
        }
        again = fl || fr || ft || fb;
    }
}

int32_t area(const mrd_box &b)
{
    return (b.right - b.left + 1) * (b.bottom - b.top + 1);
}

/* Inserts b into the area-sorted list (largest first, occupied slots a
 * prefix, left 0 = empty).  A new box goes behind listed boxes of equal
 * area; with a full list the box pushed out of the last slot is dropped,
 * and a box no larger than all 20 listed ones is dropped itself. */
int32_t insert_sorted(mrd_box *boxes, int32_t count, const mrd_box &b)
{
    const int32_t a = area(b);
    int32_t pos = 0;
    while (pos < MRD_MAX_BOXES && boxes[pos].left != 0 && area(boxes[pos]) >= a)
        pos++;
    if (pos == MRD_MAX_BOXES)
        return count;
    int32_t last = count < MRD_MAX_BOXES ? count : MRD_MAX_BOXES - 1;
    for (int32_t i = last; i > pos; i--)
        mrd_member_copy(&boxes[i], &boxes[i - 1]);
    mrd_member_copy(&boxes[pos], &b);
    return count < MRD_MAX_BOXES ? count + 1 : count;
}

/* Speed allowance of every box: fw_speed, never doubled.  The filter
 * multiplies it by 4 and by an entry's age (up to about 2^32 in magnitude
 * when fw_history_frames is changed between calls); limiting it to
 * +-2^28 keeps that product inside 64 bits and changes no decision, since
 * squared centre distances on a 32 x 32 grid never exceed 2 x 128^2. */
int32_t alarm_speed(const mrd_handle_t *h)
{
    constexpr int32_t limit = int32_t(1) << 28;
    return clamp(h->fw_speed, -limit, limit);
}

} // namespace

extern "C" {

mrd_handle_t *ozi_mrd_init(void)
{
    auto *h = static_cast<mrd_handle_t *>(std::malloc(sizeof(mrd_handle_t)));
    if (!h) {
        std::printf("memory allocation failed!\n");
        return nullptr;
    }
    std::printf("########%s########\n", mrd_lib_version);
    std::memset(h, 0, sizeof *h);
    h->seed_threshold = 7000;
    h->grow_threshold = 4000;
    h->motion_region_min = 4;
    h->motion_region_max = 300;
    h->mode = 0;
    h->region_left = 0;
    h->region_top = 0;
    h->region_right = 31;
    h->region_bottom = 23;
    return h;
}

int32_t ozi_mrd_destroy(mrd_handle_t *mrd_handle)
{
    if (!mrd_handle)
        return null_handle();
    std::free(mrd_handle);
    return 0;
}

const char *ozi_mrd_get_version(void)
{
    return mrd_lib_version;
}

int32_t ozi_mrd_set_filters(mrd_handle_t *mrd_handle, uint32_t a, uint32_t b)
{
    if (!mrd_handle)
        return null_handle();
    const uint32_t hi = a > b ? a : b, lo = a > b ? b : a;
    mrd_handle->seed_threshold = static_cast<uint16_t>(hi & 0xffffu);
    mrd_handle->grow_threshold = static_cast<uint16_t>(lo & 0xffffu);
    return 0;
}

int32_t ozi_mrd_set_motion_region_size(mrd_handle_t *mrd_handle, int32_t a, int32_t b)
{
    if (!mrd_handle)
        return null_handle();
    /* The magnitude of INT32_MIN does not fit; it saturates to INT32_MAX
     * instead of staying negative. */
    auto magnitude = [](int32_t v) -> int32_t {
        if (v >= 0)
            return v;
        return v == INT32_MIN ? INT32_MAX : -v;
    };
    a = magnitude(a);
    b = magnitude(b);
    mrd_handle->motion_region_min = a < b ? a : b;
    mrd_handle->motion_region_max = a < b ? b : a;
    return 0;
}

int32_t ozi_mrd_set_detection_region(mrd_handle_t *mrd_handle, int32_t len, int32_t left,
                                     int32_t top, int32_t right, int32_t bottom)
{
    if (!mrd_handle)
        return null_handle();
    if (len < 1 || len > MRD_GRID_MAX_ROWS) {
        std::printf("Input is out of range ,the avaliable value of parameter len is 1 to %d\n",
                    MRD_GRID_MAX_ROWS);
        return -1;
    }
    if (left < 1) left = 1;
    else if (left > 31) left = 32;
    if (right < 1) right = 32;
    else if (right > 31) right = 32;
    if (top < 1) top = 1;
    else if (top >= len) top = len;
    if (bottom < 1) bottom = len;
    else if (bottom >= len) bottom = len;
    mrd_handle->region_left = left < right ? left : right;
    mrd_handle->region_right = left < right ? right : left;
    mrd_handle->region_top = top < bottom ? top : bottom;
    mrd_handle->region_bottom = top < bottom ? bottom : top;
    return 0;
}

int32_t ozi_mrd_set_mode(mrd_handle_t *mrd_handle, int32_t mode)
{
    if (!mrd_handle)
        return null_handle();
    if (static_cast<uint32_t>(mrd_handle->mode) != static_cast<uint32_t>(mode)) {
        mrd_handle->prev_count = 0;
        mrd_handle->history_count = 0;
        std::memset(mrd_handle->prev_boxes, 0, sizeof mrd_handle->prev_boxes);
        std::memset(mrd_handle->history, 0, sizeof mrd_handle->history);
        std::memset(mrd_handle->history_hits, 0, sizeof mrd_handle->history_hits);
    }
    mrd_handle->mode = static_cast<uint8_t>(static_cast<uint32_t>(mode) & 0xffu);
    return 0;
}

int32_t ozi_mrd_set_floating_wadding_params(mrd_handle_t *mrd_handle, int32_t confirm_frames,
                                            int32_t alarm_hits, int32_t history_frames,
                                            int32_t speed, int32_t min_width, int32_t min_height)
{
    if (!mrd_handle)
        return null_handle();
    mrd_handle->fw_confirm_frames = confirm_frames;
    mrd_handle->fw_alarm_hits = alarm_hits;
    mrd_handle->fw_history_frames = history_frames;
    mrd_handle->fw_speed = speed;
    mrd_handle->fw_min_width = min_width;
    mrd_handle->fw_min_height = min_height;
    return 0;
}

void mrd_swap(uint16_t *a, uint16_t *b)
{
    const uint16_t t = *a;
    *a = *b;
    *b = t;
}

void mrd_member_copy(mrd_box *dst, const mrd_box *src)
{
    dst->left = src->left;
    dst->top = src->top;
    dst->right = src->right;
    dst->bottom = src->bottom;
    dst->tag = src->tag;
}

void mrd_expand(mrd_handle_t *mrd_handle, const uint16_t *grid, mrd_box *box)
{
    grow_in_window(mrd_handle, grid, box, handle_window(mrd_handle));
}

int32_t mrd_Is_valid_rect(mrd_handle_t *mrd_handle, const uint16_t *grid, int32_t len,
                          int32_t left, int32_t top, int32_t right, int32_t bottom, int32_t tag)
{
    (void)len;
    (void)tag;
    const int64_t height = int64_t(bottom) - top + 1, width = int64_t(right) - left + 1;
    if (height < mrd_handle->fw_min_height || width < mrd_handle->fw_min_width)
        return 0;
    const uint16_t g = mrd_handle->grow_threshold;
    int64_t n = 0;
    for (int32_t y = top; y <= bottom; y++)
        for (int32_t x = left; x <= right; x++)
            n += cell(grid, x - 1, y - 1) >= g;
    return 100 * n >= 36 * height * width ? 1 : 0;
}

int32_t mrd_alarm(mrd_handle_t *mrd_handle, const uint16_t *grid, int32_t len, mrd_box *boxes,
                  int32_t count)
{
    const ozi_alarm::alarm_track<mrd_box> track = {
        mrd_handle->prev_boxes, &mrd_handle->prev_count, mrd_handle->history,
        mrd_handle->history_hits, &mrd_handle->history_count};
    const ozi_alarm::alarm_params params = {mrd_handle->fw_confirm_frames,
                                            mrd_handle->fw_alarm_hits,
                                            mrd_handle->fw_history_frames};
    return ozi_alarm::alarm_filter<MRD_MAX_BOXES, MRD_HISTORY_MAX>(
        boxes, count, track, params,
        [=](const mrd_box &b) {
            return mrd_Is_valid_rect(mrd_handle, grid, len, b.left, b.top, b.right, b.bottom,
                                     b.tag) != 0;
        },
        [=](const mrd_box &) { return alarm_speed(mrd_handle); });
}

int32_t ozi_mrd(mrd_handle_t *mrd_handle, const uint16_t *grid, int32_t len, mrd_box *boxes)
{
    if (!mrd_handle)
        return null_handle();
    if (len < 1) len = 1;
    else if (len >= MRD_GRID_MAX_ROWS) len = MRD_GRID_MAX_ROWS;

    if (mrd_handle->region_left == 0)
        mrd_handle->region_bottom = len - 1;
    /* With a region set, the window is the region whatever `len` says: the
     * caller's grid must hold its rows (see ozi_mrd.h).  mrd_expand grows
     * boxes inside the same window. */
    const Window w = handle_window(mrd_handle);

    /* Seeds in scan order: row by row from the top, each row from the left. */
    int32_t seeds[MRD_MAX_SEEDS][2];   /* column, row */
    int32_t nseeds = 0;
    const uint16_t seed = mrd_handle->seed_threshold;
    for (int32_t y = w.top; y <= w.bottom; y++)
        for (int32_t x = w.left; x <= w.right; x++)
            if (cell(grid, x, y) >= seed) {
                seeds[nseeds][0] = x;
                seeds[nseeds][1] = y;
                nseeds++;
            }

    std::memset(boxes, 0, sizeof(mrd_box) * MRD_MAX_BOXES);
    int32_t count = 0;
    /* A seed is consumed when it lies inside a rectangle grown from an
     * earlier seed, whether or not that rectangle was kept.  Every later
     * seed comes after the current one in scan order, so marking the grown
     * rectangle's cells (one bit per column, one word per row) and testing
     * each seed's bit when its turn comes consumes exactly the later seeds
     * inside it, in O(rows) per rectangle instead of a pass over the list. */
    uint32_t covered[MRD_GRID_MAX_ROWS] = {};
    for (int32_t i = 0; i < nseeds; i++) {
        const int32_t sx = seeds[i][0], sy = seeds[i][1];
        if (covered[sy] >> sx & 1u)
            continue;
        mrd_box b = {sx, sy, sx, sy, 0};
        grow_in_window(mrd_handle, grid, &b, w);
        const uint32_t span = (b.right - b.left == 31)
                                  ? 0xffffffffu
                                  : ((1u << (b.right - b.left + 1)) - 1u) << b.left;
        for (int32_t y = b.top; y <= b.bottom; y++)
            covered[y] |= span;
        b.left += 1;
        b.top += 1;
        b.right += 1;
        b.bottom += 1;
        b.tag = 1;
        const int32_t a = area(b);
        if (a < mrd_handle->motion_region_min || a > mrd_handle->motion_region_max)
            continue;
        count = insert_sorted(boxes, count, b);
    }

    const int32_t n = mrd_handle->mode == 0 ? mrd_alarm(mrd_handle, grid, len, boxes, count)
                                            : count;
    for (int32_t i = 0; i < n; i++) {
        boxes[i].tag = 1;
        boxes[i].left -= 1;
        boxes[i].top -= 1;
        boxes[i].right -= 1;
        boxes[i].bottom -= 1;
    }
    return n;
}

} // extern "C"
