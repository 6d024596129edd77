/*
 * vibe_boxes.cpp - turns the foreground mask into a short box list.
 *
 * Labelling grows a rectangle from every strong cell not yet taken, as long
 * as a pair of non-zero cells straddles one of its sides; rectangles that
 * are large enough go into a 10-slot list sorted by area (largest first),
 * after absorbing every listed box they overlap or share an edge with.
 * Optional steps split a region into vertical strips of frame difference and
 * pull a box's sides in to the first line carrying enough frame difference.
 *
 * All coordinates are grid cells, bounds inclusive.  The list functions work
 * on the caller's VIBE_MAX_BOXES-slot array; an occupied slot has tag 1.
 */
#include <string.h>

#include "vibe_internal.h"

namespace {

inline int64_t box_area(const vibe_box &b)
{
    return ((int64_t)b.right - b.left + 1) * ((int64_t)b.bottom - b.top + 1);
}

inline int32_t clamp_i(int32_t v, int32_t lo, int32_t hi)
{
    return v < lo ? lo : (v > hi ? hi : v);
}

/* Sets label_mask to 0 over the part of b that lies on the grid. */
void mark_taken(vibe_handle_t *h, const vibe_box &b)
{
    if (b.left > b.right || b.top > b.bottom || b.right < 0 || b.bottom < 0 ||
        b.left >= VIBE_GRID_W || b.top >= VIBE_GRID_H)
        return;
    int32_t l = clamp_i(b.left, 0, VIBE_GRID_W - 1), r = clamp_i(b.right, 0, VIBE_GRID_W - 1);
    int32_t t = clamp_i(b.top, 0, VIBE_GRID_H - 1), bo = clamp_i(b.bottom, 0, VIBE_GRID_H - 1);
    for (int32_t y = t; y <= bo; y++)
        memset(&h->label_mask[y * VIBE_GRID_W + l], 0, (size_t)(r - l + 1));
}

/* fd_mask value of a cell, 0 off the grid. */
inline uint8_t fd_at(const vibe_handle_t *h, int32_t x, int32_t y)
{
    if (x < 0 || y < 0 || x >= VIBE_GRID_W || y >= VIBE_GRID_H)
        return 0;
    return h->fd_mask[y * VIBE_GRID_W + x];
}

/* Weight of an fd_mask cell for side shrinking. */
inline int32_t shrink_weight(const vibe_handle_t *h, int32_t x, int32_t y)
{
    uint8_t v = fd_at(h, x, y);
    return v == VIBE_MASK_STRONG ? 4 : (v == VIBE_MASK_WEAK ? 1 : 0);
}

inline int64_t column_score(const vibe_handle_t *h, int32_t x, int32_t top, int32_t bottom)
{
    int64_t s = 0;
    for (int64_t y = top; y <= bottom; y++)
        s += shrink_weight(h, x, (int32_t)y);
    return s;
}

inline int64_t row_score(const vibe_handle_t *h, int32_t y, int32_t left, int32_t right)
{
    int64_t s = 0;
    for (int64_t x = left; x <= right; x++)
        s += shrink_weight(h, (int32_t)x, y);
    return s;
}

inline bool fg_pair_in_column(const uint8_t *fg, int32_t x0, int32_t x1, int32_t top,
                              int32_t bottom)
{
    for (int32_t y = top; y <= bottom; y++)
        if (fg[y * VIBE_GRID_W + x0] && fg[y * VIBE_GRID_W + x1])
            return true;
    return false;
}

inline bool fg_pair_in_row(const uint8_t *fg, int32_t y0, int32_t y1, int32_t left,
                           int32_t right)
{
    const uint8_t *a = fg + y0 * VIBE_GRID_W, *b = fg + y1 * VIBE_GRID_W;
    for (int32_t x = left; x <= right; x++)
        if (a[x] && b[x])
            return true;
    return false;
}

/* Grows a rectangle from the seed cell (x, y); stays in columns 1..78 and
 * rows 1..58.  Every growing side moves out at once per iteration. */
vibe_box grow_region(const uint8_t *fg, int32_t x, int32_t y)
{
    vibe_box r = {x, y, x, y, 0};
    bool go_right = true, go_left = true, go_down = true, go_up = true;
    while (go_right || go_left || go_down || go_up) {
        if (r.right > VIBE_GRID_W - 3)
            go_right = false;
        if (r.left < 2)
            go_left = false;
        if (r.bottom > VIBE_GRID_H - 3)
            go_down = false;
        if (r.top < 2)
            go_up = false;
        bool gr = go_right && fg_pair_in_column(fg, r.right, r.right + 1, r.top, r.bottom);
        bool gl = go_left && fg_pair_in_column(fg, r.left, r.left - 1, r.top, r.bottom);
        bool gd = go_down && fg_pair_in_row(fg, r.bottom, r.bottom + 1, r.left, r.right);
        bool gu = go_up && fg_pair_in_row(fg, r.top, r.top - 1, r.left, r.right);
        if (!(gr || gl || gd || gu))
            break;
        r.right += gr;
        r.left -= gl;
        r.bottom += gd;
        r.top -= gu;
    }
    return r;
}

} // namespace

extern "C" {

int32_t vibe_IsAdjacentBoxes(const vibe_box *a, const vibe_box *b)
{
    /* 64-bit so that the +-1 never overflows for any input. */
    int64_t al = a->left, at = a->top, ar = a->right, ab = a->bottom;
    int64_t bl = b->left, bt = b->top, br = b->right, bb = b->bottom;
    if (bb + 1 < at || br + 1 < al || bl - 1 > ar || bt - 1 > ab)
        return 0;
    if (bt - 1 == ab || bb + 1 == at)
        return bl <= ar && br >= al;
    if (bl - 1 == ar || br + 1 == al)
        return bt <= ab && bb >= at;
    return 1;
}

void vibe_boxes_fuse(vibe_box *a, const vibe_box *b)
{
    if (b->left < a->left)
        a->left = b->left;
    if (b->top < a->top)
        a->top = b->top;
    if (b->right > a->right)
        a->right = b->right;
    if (b->bottom > a->bottom)
        a->bottom = b->bottom;
}

void vibe_box_member_copy(vibe_box *dst, const vibe_box *src)
{
    dst->left = src->left;
    dst->top = src->top;
    dst->right = src->right;
    dst->bottom = src->bottom;
    dst->tag = src->tag;
}

void vibe_member_copy(vibe_box *dst, const vibe_box *src)
{
    vibe_box_member_copy(dst, src);
}

int32_t vibe_reorder_boxes(vibe_box *box, vibe_box *boxes, int32_t count)
{
    count = clamp_i(count, 0, VIBE_MAX_BOXES);
    for (;;) {
        /* Adjacency is tested against the box as it was before this walk;
         * the noted boxes are fused after it. */
        vibe_box kept[VIBE_MAX_BOXES], noted[VIBE_MAX_BOXES];
        int32_t nkept = 0, nnoted = 0;
        for (int32_t i = 0; i < count; i++) {
            if (vibe_IsAdjacentBoxes(box, &boxes[i]))
                noted[nnoted++] = boxes[i];
            else
                kept[nkept++] = boxes[i];
        }
        for (int32_t i = 0; i < nnoted; i++)
            vibe_boxes_fuse(box, &noted[i]);
        memset(boxes, 0, sizeof(vibe_box) * VIBE_MAX_BOXES);
        memcpy(boxes, kept, sizeof(vibe_box) * (size_t)nkept);
        count = nkept;
        if (nnoted == 0)
            return count;
    }
}

uint8_t vibe_add_box_record(vibe_handle_t *vibe_handle, vibe_box *boxes, int32_t left,
                            int32_t top, int32_t right, int32_t bottom, int32_t tag,
                            uint8_t count)
{
    (void)tag; /* the stored box is always marked occupied */
    vibe_box n = {left, top, right, bottom, 0};
    count = (uint8_t)vibe_reorder_boxes(&n, boxes, count);
    mark_taken(vibe_handle, n);
    n.tag = 1;
    int64_t a = box_area(n);
    for (int i = 0; i < VIBE_MAX_BOXES; i++) {
        if (boxes[i].tag == 0) {
            boxes[i] = n;
            return (uint8_t)(count + 1);
        }
        if (box_area(boxes[i]) < a) {
            /* Insert here; every later box moves down one slot. */
            int last = i;
            while (last < VIBE_MAX_BOXES && boxes[last].tag != 0)
                last++;
            int end = last < VIBE_MAX_BOXES ? last : VIBE_MAX_BOXES - 1;
            for (int k = end; k > i; k--)
                boxes[k] = boxes[k - 1];
            boxes[i] = n;
            return last < VIBE_MAX_BOXES ? (uint8_t)(count + 1) : count;
        }
    }
    return count;
}

int32_t vibe_separate_boxes(vibe_handle_t *vibe_handle, vibe_box *boxes,
                            const vibe_box *region, int32_t count)
{
    const vibe_box r = *region;
    int64_t span = (int64_t)r.bottom - r.top;
    int64_t run_start = -1;
    for (int64_t x = r.left; x <= r.right; x++) {
        int64_t score = 0;
        for (int64_t y = r.top; y <= r.bottom; y++) {
            uint8_t v = fd_at(vibe_handle, (int32_t)x, (int32_t)y);
            score += v == VIBE_MASK_STRONG ? 8 : (v == VIBE_MASK_WEAK ? 1 : 0);
        }
        bool active = span < 3 * score;
        if (active && run_start < 0)
            run_start = x;
        if (!active && run_start >= 0) {
            count = vibe_add_box_record(vibe_handle, boxes, (int32_t)run_start, r.top,
                                        (int32_t)(x - 1), r.bottom, 1, (uint8_t)count);
            run_start = -1;
        }
    }
    if (run_start >= 0)
        count = vibe_add_box_record(vibe_handle, boxes, (int32_t)run_start, r.top, r.right,
                                    r.bottom, 1, (uint8_t)count);
    return count;
}

int32_t vibe_box_optimizing_gradient_difference(vibe_handle_t *vibe_handle, vibe_box *box)
{
    vibe_box &b = *box;
    if (b.left == 0 && b.top == 0 && b.right == 0 && b.bottom == 0)
        return -1;
    const vibe_handle_t *h = vibe_handle;
    auto clear = [&b]() { b.left = b.top = b.right = b.bottom = 0; };
    bool found = false;
    for (int64_t x = b.left; x <= b.right && !found; x++)
        if ((int64_t)b.bottom - b.top < 2 * column_score(h, (int32_t)x, b.top, b.bottom)) {
            b.left = (int32_t)x;
            found = true;
        }
    if (!found)
        clear();
    found = false;
    for (int64_t x = b.right; x >= b.left && !found; x--)
        if ((int64_t)b.bottom - b.top < 2 * column_score(h, (int32_t)x, b.top, b.bottom)) {
            b.right = (int32_t)x;
            found = true;
        }
    if (!found)
        clear();
    found = false;
    for (int64_t y = b.top; y <= b.bottom && !found; y++)
        if ((int64_t)b.right - b.left < 2 * row_score(h, (int32_t)y, b.left, b.right)) {
            b.top = (int32_t)y;
            found = true;
        }
    if (!found)
        clear();
    found = false;
    for (int64_t y = b.bottom; y >= b.top && !found; y--)
        if ((int64_t)b.right - b.left < 2 * row_score(h, (int32_t)y, b.left, b.right)) {
            b.bottom = (int32_t)y;
            found = true;
        }
    if (!found)
        clear();
    return 0;
}

int32_t vibe_mrd(vibe_handle_t *vibe_handle, vibe_box *boxes)
{
    vibe_handle_t *h = vibe_handle;
    const uint8_t *fg = h->fg_mask;
    memset(h->label_mask, 1, sizeof(h->label_mask));
    int32_t count = 0;
    const bool split = (h->filtering_flag & (VIBE_FILTER_SPLIT | VIBE_FILTER_FRAME_DIFF)) ==
                       (VIBE_FILTER_SPLIT | VIBE_FILTER_FRAME_DIFF);
    for (int32_t y = 1; y <= VIBE_GRID_H - 2; y++) {
        const uint8_t *row = fg + y * VIBE_GRID_W;
        if (!memchr(row + 1, VIBE_MASK_STRONG, VIBE_GRID_W - 2))
            continue; /* no seed in this row */
        for (int32_t x = 1; x <= VIBE_GRID_W - 2; x++) {
            if (row[x] != VIBE_MASK_STRONG || !h->label_mask[y * VIBE_GRID_W + x])
                continue;
            vibe_box r = grow_region(fg, x, y);
            mark_taken(h, r);
            uint32_t area = (uint32_t)(r.right - r.left + 1) * (uint32_t)(r.bottom - r.top + 1);
            if (area < h->motion_region_min)
                continue;
            if (split)
                count = vibe_separate_boxes(h, boxes, &r, count);
            else
                count = vibe_add_box_record(h, boxes, r.left, r.top, r.right, r.bottom, 0,
                                            (uint8_t)count);
        }
    }
    return count;
}

} // extern "C"
