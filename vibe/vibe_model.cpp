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

/* 16 cells at a time; comparisons give 0 or 0xff per lane. */
typedef uint8_t cells16 __attribute__((vector_size(16)));

inline cells16 load16(const uint8_t *p)
{
    cells16 v;
    memcpy(&v, p, sizeof v);
    return v;
}

inline void store16(uint8_t *p, cells16 v)
{
    memcpy(p, &v, sizeof v);
}

/* The vector helpers below are internal and inlined; the note that passing
 * 32-byte vectors by value changes the ABI without AVX does not apply. */
#if defined(__clang__)
#pragma clang diagnostic ignored "-Wunknown-warning-option"
#endif
#if defined(__GNUC__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif

/* Sixteen cells at a time in 16-bit lanes: second differences lie within
 * -510..510 and their differences within -1020..1020. */
typedef int16_t lanes16 __attribute__((vector_size(32)));
typedef uint8_t bytes16 __attribute__((vector_size(16)));

inline lanes16 widen16(const uint8_t *p)
{
    bytes16 b;
    memcpy(&b, p, sizeof b);
    return __builtin_convertvector(b, lanes16);
}

inline lanes16 abs16(lanes16 v)
{
    const lanes16 sign = v >> 15;
    return (v ^ sign) - sign;
}

/* Mask of sixteen cells against a reference plane, given the second
 * differences hc, vc of the current frame: 255 when either second
 * difference of `ref` differs by `high` or more, else 128 when by `low` or
 * more, else 0. */
inline bytes16 mask16(lanes16 hc, lanes16 vc, const uint8_t *ref, int i, lanes16 high,
                      lanes16 low)
{
    const lanes16 r = widen16(ref + i);
    const lanes16 hr = r + r - widen16(ref + i - 1) - widen16(ref + i + 1);
    const lanes16 vr = r + r - widen16(ref + i - W) - widen16(ref + i + W);
    const lanes16 dh = abs16(hc - hr), dv = abs16(vc - vr);
    const lanes16 bigger = (lanes16)(dh > dv);
    const lanes16 d = (dh & bigger) | (dv & ~bigger);
    const lanes16 strong = (lanes16)(d >= high), weak = (lanes16)(d >= low);
    const lanes16 zero = {};
    const lanes16 m =
        (strong & (zero + VIBE_MASK_STRONG)) | (weak & ~strong & (zero + VIBE_MASK_WEAK));
    return __builtin_convertvector(m, bytes16);
}

/* Classifies rows 1..58, columns 1..78 into fg_mask (and fd_mask when the
 * frame-difference bit is set), then counts the foreground cells.  Each row
 * is done in sixteen-cell steps from column 1; the last step starts at
 * column 63 and overlaps the one before, which only rewrites the same
 * values. */
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
/* ifunc resolvers run before a sanitizer runtime is up, so clones are for
 * plain builds only. */
__attribute__((target_clones("avx2", "default")))
#endif
void classify(vibe_handle_t *h)
{
    const bool fd = h->filtering_flag & VIBE_FILTER_FRAME_DIFF;
    const lanes16 zero = {}, high = zero + h->filter_high, low = zero + h->filter_low;
    static const int starts[] = {1, 17, 33, 49, 63};
    const uint8_t *cur = h->cur_frame;
    for (int y = 1; y < H - 1; y++)
        for (int x : starts) {
            const int i = y * W + x;
            const lanes16 c = widen16(cur + i);
            const lanes16 hc = c + c - widen16(cur + i - 1) - widen16(cur + i + 1);
            const lanes16 vc = c + c - widen16(cur + i - W) - widen16(cur + i + W);
            const bytes16 fgm = mask16(hc, vc, h->background, i, high, low);
            bytes16 fdm = {};
            if (fd)
                fdm = mask16(hc, vc, h->prev_frame, i, high, low);
            memcpy(h->fg_mask + i, &fgm, sizeof fgm);
            memcpy(h->fd_mask + i, &fdm, sizeof fdm);
        }
    /* Border cells stay 0 in fg_mask, so counting over the whole grid adds
     * nothing there. */
    const cells16 none = {}, one = none + 1;
    for (int i = 0; i < VIBE_GRID_CELLS; i += 16)
        store16(h->fg_count + i,
                load16(h->fg_count + i) + ((cells16)(load16(h->fg_mask + i) != none) & one));
}

/* Clears, in place and in scan order, the plus-shaped group around every
 * cell whose four diagonal neighbours are 0; with `count` set, every
 * non-zero cell cleared takes one back off its fg_count.  A position whose
 * plus group is all zero changes nothing and is skipped.  Clearing never
 * creates non-zero cells, so a plus group found all zero before a row is
 * scanned stays all zero while it is scanned. */
void remove_isolated(uint8_t *mask, uint8_t *count)
{
    for (int y = 1; y < H - 1; y++) {
        uint8_t *u = mask + (y - 1) * W, *c = mask + y * W, *d = mask + (y + 1) * W;
        uint8_t any[W + 8] = {};
        for (int x = 1; x < W - 1; x++)
            any[x] = (uint8_t)(u[x] | c[x - 1] | c[x] | c[x + 1] | d[x]);
        for (int x0 = 0; x0 < W; x0 += 8) {
            uint64_t word;
            memcpy(&word, any + x0, 8);
            if (!word)
                continue;
            for (int x = x0 > 1 ? x0 : 1; x < x0 + 8 && x < W - 1; x++) {
                if (!any[x] || (u[x - 1] | u[x + 1] | d[x - 1] | d[x + 1]))
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
}

/* Absorbs the cells outside every box of this frame into the background:
 * free cells when not foreground or after absorb_frames, released cells when
 * not foreground or after update_frames (a cell that left a box in this
 * frame moves from 2 to 3 first).  Lane-wise with byte masks. */
void update_free_cells(vibe_handle_t *h)
{
    static_assert(VIBE_GRID_CELLS % 16 == 0, "grid is a whole number of vectors");
    const cells16 zero = {}, one = zero + 1, in_box = zero + VIBE_CELL_IN_BOX;
    const cells16 released = zero + VIBE_CELL_RELEASED;
    const cells16 absorb = zero + h->absorb_frames, upd = zero + h->update_frames;
    for (int i = 0; i < VIBE_GRID_CELLS; i += 16) {
        const cells16 bs = load16(h->box_state + i), cnt = load16(h->fg_count + i);
        const cells16 lab = (cells16)(load16(h->label_mask + i) != zero);
        const cells16 quiet = (cells16)(load16(h->fg_mask + i) == zero);
        const cells16 a = (cells16)(bs == zero) & (quiet | (cells16)(cnt >= absorb));
        const cells16 bs1 = bs + ((cells16)(bs == in_box) & one);
        const cells16 b = (cells16)(bs1 == released) & (quiet | (cells16)(cnt >= upd));
        const cells16 take = lab & (a | b);
        store16(h->background + i,
                (load16(h->cur_frame + i) & take) | (load16(h->background + i) & ~take));
        store16(h->fg_count + i, cnt & ~take);
        store16(h->box_state + i, (bs1 & ~b & lab) | (bs & ~lab));
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
    /* The two sampled rows of a grid row are fetched two grid rows ahead:
     * the frame is usually not in cache, and the loads of a row are too
     * sparse for the hardware to see the stream early. */
    auto row0 = [&](int i) { return frame + (size_t)((int64_t)i * height / 60) * (size_t)width; };
    auto row1 = [&](int i) {
        return frame + (size_t)((int64_t)(2 * i + 1) * height / 120) * (size_t)width;
    };
    const size_t span = x1[W - 1] + 1;
    for (int i = 0; i < H; i++) {
        const uint8_t *r0 = row0(i), *r1 = row1(i);
        if (i + 2 < H) {
            const uint8_t *n0 = row0(i + 2), *n1 = row1(i + 2);
            for (size_t k = 0; k < span; k += 64) {
                __builtin_prefetch(n0 + k);
                __builtin_prefetch(n1 + k);
            }
        }
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
