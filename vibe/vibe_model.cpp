/*
 * vibe_model.cpp - the main entry ozi_vibe(): frame reduction to the grid,
 * background model, foreground and frame-difference masks, isolated-cell
 * filter, box post-processing and scaling back to frame pixels.
 *
 * A cell is foreground when its second differences along the row and the
 * column (a discrete Laplacian) depart from those of the background, so a
 * brightness change that shifts a whole neighbourhood equally cancels out.
 * Everything is deterministic integer work on the handle's fixed planes;
 * nothing is allocated per frame.
 */
#include <stdio.h>
#include <string.h>

#include "vibe_internal.h"

namespace {

constexpr int W = VIBE_GRID_W;
constexpr int H = VIBE_GRID_H;

const vibe_box kWholeGrid = {0, 0, W - 1, H - 1, 0};

/* Both Laplacian differences of one row against a reference plane, turned
 * into a mask row: 255 when either reaches `high`, 128 when either reaches
 * `low`.  Written branch-free so that the compiler can vectorise it. */
inline void classify_row(const uint8_t *cur, const uint8_t *ref, int y, uint8_t high,
                         uint8_t low, uint8_t *mask)
{
    const uint8_t *cu = cur + (y - 1) * W, *cc = cur + y * W, *cd = cur + (y + 1) * W;
    const uint8_t *ru = ref + (y - 1) * W, *rc = ref + y * W, *rd = ref + (y + 1) * W;
    uint8_t *m = mask + y * W;
    for (int x = 1; x < W - 1; x++) {
        int hc = 2 * cc[x] - cc[x - 1] - cc[x + 1];
        int vc = 2 * cc[x] - cu[x] - cd[x];
        int hr = 2 * rc[x] - rc[x - 1] - rc[x + 1];
        int vr = 2 * rc[x] - ru[x] - rd[x];
        int dh = hc - hr, dv = vc - vr;
        dh = dh < 0 ? -dh : dh;
        dv = dv < 0 ? -dv : dv;
        int d = dh > dv ? dh : dv;
        m[x] = d >= high ? VIBE_MASK_STRONG : (d >= low ? VIBE_MASK_WEAK : 0);
    }
}

void classify(vibe_handle_t *h)
{
    const bool fd = h->filtering_flag & VIBE_FILTER_FRAME_DIFF;
    for (int y = 1; y < H - 1; y++) {
        classify_row(h->cur_frame, h->background, y, h->filter_high, h->filter_low, h->fg_mask);
        uint8_t *cnt = h->fg_count + y * W;
        const uint8_t *m = h->fg_mask + y * W;
        for (int x = 1; x < W - 1; x++)
            cnt[x] = (uint8_t)(cnt[x] + (m[x] != 0));
        if (fd)
            classify_row(h->cur_frame, h->prev_frame, y, h->filter_high, h->filter_low,
                         h->fd_mask);
    }
}

inline bool row_empty(const uint8_t *row)
{
    uint64_t acc = 0;
    for (int i = 0; i < W; i += 8) {
        uint64_t v;
        memcpy(&v, row + i, 8);
        acc |= v;
    }
    return acc == 0;
}

/* Clears, in place and in scan order, the plus-shaped group around every
 * cell whose four diagonal neighbours are 0; with `count` set, every
 * non-zero cell cleared takes one back off its fg_count.  A position whose
 * plus group is already all zero changes nothing and is skipped, and so is
 * a row whose neighbourhood of three rows is empty (clearing never creates
 * non-zero cells, so that test stays valid during the scan). */
void remove_isolated(uint8_t *mask, uint8_t *count)
{
    bool nonempty[H];
    for (int y = 0; y < H; y++)
        nonempty[y] = !row_empty(mask + y * W);
    for (int y = 1; y < H - 1; y++) {
        if (!nonempty[y - 1] && !nonempty[y] && !nonempty[y + 1])
            continue;
        uint8_t *u = mask + (y - 1) * W, *c = mask + y * W, *d = mask + (y + 1) * W;
        for (int x = 1; x < W - 1; x++) {
            if (!(u[x] | c[x - 1] | c[x] | c[x + 1] | d[x]))
                continue;
            if (u[x - 1] | u[x + 1] | d[x - 1] | d[x + 1])
                continue;
            if (count) {
                uint8_t *k = count + y * W;
                k[x - W] = (uint8_t)(k[x - W] - (u[x] != 0));
                k[x - 1] = (uint8_t)(k[x - 1] - (c[x - 1] != 0));
                k[x + 1] = (uint8_t)(k[x + 1] - (c[x + 1] != 0));
                k[x + W] = (uint8_t)(k[x + W] - (d[x] != 0));
                k[x] = (uint8_t)(k[x] - (c[x] != 0));
            }
            u[x] = c[x - 1] = c[x] = c[x + 1] = d[x] = 0;
        }
    }
}

/* Absorbs the cells outside every box of this frame into the background:
 * free cells when not foreground or after absorb_frames, released cells when
 * not foreground or after update_frames.  Branch-free for vectorisation. */
void update_free_cells(vibe_handle_t *h)
{
    const uint8_t absorb = h->absorb_frames, upd = h->update_frames;
    for (int i = 0; i < VIBE_GRID_CELLS; i++) {
        const uint8_t lab = h->label_mask[i], bs = h->box_state[i], fg = h->fg_mask[i];
        const uint8_t cnt = h->fg_count[i];
        const bool a = bs == VIBE_CELL_FREE && (fg == 0 || cnt >= absorb);
        const uint8_t bs1 = bs == VIBE_CELL_IN_BOX ? (uint8_t)VIBE_CELL_RELEASED : bs;
        const bool b = bs1 == VIBE_CELL_RELEASED && (fg == 0 || cnt >= upd);
        const bool take = lab != 0 && (a || b);
        h->background[i] = take ? h->cur_frame[i] : h->background[i];
        h->fg_count[i] = take ? 0 : cnt;
        h->box_state[i] = lab != 0 ? (b ? (uint8_t)VIBE_CELL_FREE : bs1) : bs;
    }
}

inline bool box_zero(const vibe_box &b)
{
    return b.left == 0 && b.top == 0 && b.right == 0 && b.bottom == 0;
}

/* Clamps a box to the grid; false when nothing of it lies on the grid. */
bool clip_to_grid(const vibe_box &b, int &l, int &t, int &r, int &bo)
{
    if (b.left > b.right || b.top > b.bottom || b.right < 0 || b.bottom < 0 || b.left >= W ||
        b.top >= H)
        return false;
    l = b.left < 0 ? 0 : b.left;
    t = b.top < 0 ? 0 : b.top;
    r = b.right >= W ? W - 1 : b.right;
    bo = b.bottom >= H ? H - 1 : b.bottom;
    return true;
}

/* True when the share of still cells reaches false_detection_factor. */
bool mostly_still(const vibe_handle_t *h, const vibe_box &b)
{
    int l, t, r, bo;
    int64_t still = 0;
    if (clip_to_grid(b, l, t, r, bo)) {
        for (int y = t; y <= bo; y++)
            for (int x = l; x <= r; x++) {
                int d = h->cur_frame[y * W + x] - h->prev_frame[y * W + x];
                still += (d < 0 ? -d : d) < h->frame_difference_filter;
            }
    }
    int64_t cells = ((int64_t)b.bottom - b.top + 1) * ((int64_t)b.right - b.left + 1);
    return 100 * still >= (int64_t)h->false_detection_factor * cells;
}

void mark_box(vibe_handle_t *h, const vibe_box &b)
{
    int l, t, r, bo;
    if (!clip_to_grid(b, l, t, r, bo))
        return;
    for (int y = t; y <= bo; y++) {
        memset(&h->label_mask[y * W + l], 0, (size_t)(r - l + 1));
        memset(&h->fg_count[y * W + l], 0, (size_t)(r - l + 1));
        memset(&h->box_state[y * W + l], VIBE_CELL_IN_BOX, (size_t)(r - l + 1));
    }
}

void init_model(vibe_handle_t *h)
{
    vibe_background_update(h, &kWholeGrid);
    h->model_ready = 1;
}

/* Post-processing of the n labelled boxes; returns the number reported. */
int32_t finish_boxes(vibe_handle_t *h, vibe_box *boxes, int32_t n)
{
    if (h->filtering_flag & VIBE_FILTER_SHRINK)
        for (int i = 0; i < n; i++)
            vibe_box_optimizing_gradient_difference(h, &boxes[i]);
    for (int i = 0; i < n; i++) {
        vibe_box &b = boxes[i];
        if (b.right <= b.left || b.bottom <= b.top)
            b.left = b.top = b.right = b.bottom = 0;
    }
    for (int i = 0; i < n; i++)
        if (mostly_still(h, boxes[i]))
            boxes[i].left = boxes[i].top = boxes[i].right = boxes[i].bottom = 0;

    memset(h->label_mask, 1, sizeof(h->label_mask));
    for (int i = 0; i < n; i++)
        mark_box(h, boxes[i]);
    update_free_cells(h);
    memcpy(h->prev_frame, h->cur_frame, sizeof(h->prev_frame));

    int32_t m = 0;
    for (int i = 0; i < n; i++) {
        vibe_box b = boxes[i];
        if (box_zero(b))
            continue;
        uint32_t area = (uint32_t)(b.right - b.left) * (uint32_t)(b.bottom - b.top);
        if (area < h->motion_region_min)
            continue;
        b.tag = 0;
        boxes[m++] = b;
    }
    memset(boxes + m, 0, sizeof(vibe_box) * (size_t)(VIBE_MAX_BOXES - m));
    if (h->mode == 0)
        m = vibe_alarm(h, boxes, m);
    return m;
}

void scale_boxes(vibe_box *boxes, int32_t m, int32_t height, int32_t width)
{
    for (int i = 0; i < m; i++) {
        vibe_box &b = boxes[i];
        b.left = (int32_t)((int64_t)b.left * width / W);
        b.right = (int32_t)(((int64_t)b.right + 1) * width / W - 1);
        b.top = (int32_t)((int64_t)b.top * height / H);
        b.bottom = (int32_t)(((int64_t)b.bottom + 1) * height / H - 1);
    }
}

} // namespace

extern "C" {

int32_t vibe_resize_frame(vibe_handle_t *vibe_handle, const uint8_t *frame, int32_t height,
                          int32_t width)
{
    if (height < VIBE_MIN_HEIGHT || width < VIBE_MIN_WIDTH) {
        printf("The input frame resolution [%d %d] is too small, min acceptable resolution "
               "is [%d %d]\n",
               height, width, VIBE_MIN_HEIGHT, VIBE_MIN_WIDTH);
        return -1;
    }
    /* Sample offsets are computed in 64 bits: any accepted size indexes
     * safely as long as the caller's plane holds height x width bytes. */
    size_t x0[W], x1[W];
    for (int j = 0; j < W; j++) {
        x0[j] = (size_t)((int64_t)j * width / 80);
        x1[j] = (size_t)((int64_t)(2 * j + 1) * width / 160);
    }
    for (int i = 0; i < H; i++) {
        const uint8_t *r0 = frame + (size_t)((int64_t)i * height / 60) * (size_t)width;
        const uint8_t *r1 = frame + (size_t)((int64_t)(2 * i + 1) * height / 120) * (size_t)width;
        uint8_t *out = vibe_handle->cur_frame + i * W;
        for (int j = 0; j < W; j++)
            out[j] = (uint8_t)((r0[x0[j]] + r1[x0[j]] + r0[x1[j]] + r1[x1[j]]) >> 2);
    }
    return 0;
}

void vibe_background_update(vibe_handle_t *vibe_handle, const vibe_box *box)
{
    int l, t, r, bo;
    if (!clip_to_grid(*box, l, t, r, bo))
        return;
    for (int y = t; y <= bo; y++) {
        memcpy(&vibe_handle->background[y * W + l], &vibe_handle->cur_frame[y * W + l],
               (size_t)(r - l + 1));
        memset(&vibe_handle->fg_count[y * W + l], 0, (size_t)(r - l + 1));
    }
}

int32_t ozi_vibe(vibe_handle_t *vibe_handle, const uint8_t *frame, int32_t height,
                 int32_t width, vibe_box *boxes)
{
    vibe_handle_t *h = vibe_handle;
    if (!h) {
        puts("input parameter vibe_handle is error");
        return -1;
    }
    if (!frame) {
        puts("input parameter frame is error");
        return -1;
    }
    if (!boxes) {
        puts("input parameter boxes is error");
        return -1;
    }
    if (h->self != h) {
        puts("ozi_vibe: input vibe_handle is error");
        return -1;
    }
    if (vibe_resize_frame(h, frame, height, width) != 0)
        return -1;

    memset(h->fg_mask, 0, sizeof(h->fg_mask));
    memset(h->fd_mask, 0, sizeof(h->fd_mask));
    memset(boxes, 0, sizeof(vibe_box) * VIBE_MAX_BOXES);

    int32_t n = 0;
    if (h->model_ready == 0) {
        init_model(h);
    } else {
        classify(h);
        if (h->filtering_flag & VIBE_FILTER_ISOLATED) {
            remove_isolated(h->fg_mask, h->fg_count);
            if (h->filtering_flag & VIBE_FILTER_FRAME_DIFF)
                remove_isolated(h->fd_mask, nullptr);
        }
        n = vibe_mrd(h, boxes);
    }

    /* A largest box of motion_region_max cells or more is a global change. */
    const vibe_box &first = boxes[0];
    uint32_t largest = (uint32_t)(first.right - first.left + 1) *
                       (uint32_t)(first.bottom - first.top + 1);
    if (largest >= h->motion_region_max) {
        if (h->fast_updating_flag)
            init_model(h);
        return 0;
    }

    int32_t m = finish_boxes(h, boxes, n);
    scale_boxes(boxes, m, height, width);
    return m;
}

} // extern "C"
