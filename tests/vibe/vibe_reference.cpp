/*
 * vibe_reference.cpp - literal model of the detector (see vibe_reference.h).
 * Kept deliberately simple: one loop per rule, cell by cell, in the order in
 * which the detector defines its steps.
 */
#include "vibe_reference.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vibe_ref {
namespace {

const int W = 80;

uint8_t &at(uint8_t *plane, int x, int y) { return plane[y * W + x]; }

int area(const vibe_box &b) { return (b.right - b.left + 1) * (b.bottom - b.top + 1); }

void label_clear(vibe_handle_t *h, const vibe_box &b)
{
    for (int y = b.top; y <= b.bottom; y++)
        for (int x = b.left; x <= b.right; x++)
            at(h->label_mask, x, y) = 0;
}

bool adjacent(const vibe_box &a, const vibe_box &b)
{
    if (b.bottom + 1 < a.top || b.right + 1 < a.left || b.left - 1 > a.right ||
        b.top - 1 > a.bottom)
        return false;
    if (b.top - 1 == a.bottom || b.bottom + 1 == a.top)
        return b.left <= a.right && b.right >= a.left;
    if (b.left - 1 == a.right || b.right + 1 == a.left)
        return b.top <= a.bottom && b.bottom >= a.top;
    return true;
}

int reorder(vibe_box &n, vibe_box *list, int count)
{
    for (;;) {
        vibe_box kept[10] = {}, noted[10] = {};
        int nk = 0, nn = 0;
        for (int i = 0; i < count; i++) {
            if (adjacent(n, list[i]))
                noted[nn++] = list[i];
            else
                kept[nk++] = list[i];
        }
        for (int i = 0; i < nn; i++) {
            n.left = std::min(n.left, noted[i].left);
            n.top = std::min(n.top, noted[i].top);
            n.right = std::max(n.right, noted[i].right);
            n.bottom = std::max(n.bottom, noted[i].bottom);
        }
        for (int i = 0; i < 10; i++)
            list[i] = i < nk ? kept[i] : vibe_box{};
        count = nk;
        if (nn == 0)
            return count;
    }
}

int add(vibe_handle_t *h, vibe_box *list, int l, int t, int r, int b, int count)
{
    vibe_box n = {l, t, r, b, 0};
    count = reorder(n, list, count);
    label_clear(h, n);
    n.tag = 1;
    int a = area(n);
    for (int i = 0; i < 10; i++) {
        if (list[i].tag == 0) {
            list[i] = n;
            return count + 1;
        }
        if (area(list[i]) < a) {
            vibe_box carry = n;
            for (int k = i; k < 10; k++) {
                vibe_box out = list[k];
                list[k] = carry;
                if (out.tag == 0)
                    return count + 1;
                carry = out;
            }
            return count;
        }
    }
    return count;
}

int separate(vibe_handle_t *h, vibe_box *list, const vibe_box &r, int count)
{
    int start = -1;
    for (int x = r.left; x <= r.right; x++) {
        int score = 0;
        for (int y = r.top; y <= r.bottom; y++) {
            int v = at(h->fd_mask, x, y);
            score += v == 255 ? 8 : v == 128 ? 1 : 0;
        }
        bool active = (r.bottom - r.top) < 3 * score;
        if (active && start < 0)
            start = x;
        if (!active && start >= 0) {
            count = add(h, list, start, r.top, x - 1, r.bottom, count);
            start = -1;
        }
    }
    if (start >= 0)
        count = add(h, list, start, r.top, r.right, r.bottom, count);
    return count;
}

int weight(vibe_handle_t *h, int x, int y)
{
    int v = at(h->fd_mask, x, y);
    return v == 255 ? 4 : v == 128 ? 1 : 0;
}

void shrink(vibe_handle_t *h, vibe_box &b)
{
    if (b.left == 0 && b.top == 0 && b.right == 0 && b.bottom == 0)
        return;
    for (int pass = 0; pass < 4; pass++) {
        bool found = false;
        if (pass == 0 || pass == 1) {
            int from = pass == 0 ? b.left : b.right, to = pass == 0 ? b.right : b.left;
            int step = pass == 0 ? 1 : -1;
            for (int x = from; !found && (step > 0 ? x <= to : x >= to); x += step) {
                int s = 0;
                for (int y = b.top; y <= b.bottom; y++)
                    s += weight(h, x, y);
                if (b.bottom - b.top < 2 * s) {
                    (pass == 0 ? b.left : b.right) = x;
                    found = true;
                }
            }
        } else {
            int from = pass == 2 ? b.top : b.bottom, to = pass == 2 ? b.bottom : b.top;
            int step = pass == 2 ? 1 : -1;
            for (int y = from; !found && (step > 0 ? y <= to : y >= to); y += step) {
                int s = 0;
                for (int x = b.left; x <= b.right; x++)
                    s += weight(h, x, y);
                if (b.right - b.left < 2 * s) {
                    (pass == 2 ? b.top : b.bottom) = y;
                    found = true;
                }
            }
        }
        if (!found)
            b.left = b.top = b.right = b.bottom = 0;
    }
}

bool valid(vibe_handle_t *h, const vibe_box &b)
{
    int height = b.bottom - b.top + 1, width = b.right - b.left + 1;
    if (height < h->fw_min_height || width < h->fw_min_width)
        return false;
    int n = 0;
    for (int y = b.top; y <= b.bottom; y++)
        for (int x = b.left; x <= b.right; x++)
            n += at(h->fd_mask, x, y) == 255 || at(h->fd_mask, x, y) == 128;
    return 100 * n >= 40 * height * width;
}

int speed(vibe_handle_t *h, const vibe_box &b)
{
    if (h->fw_large_box_factor && area(b) >= 8 * h->fw_large_box_factor)
        return 2 * h->fw_speed;
    return h->fw_speed;
}

int d2(const vibe_box &p, const vibe_box &q)
{
    int dx = (p.left + p.right) - (q.left + q.right);
    int dy = (p.top + p.bottom) - (q.top + q.bottom);
    return dx * dx + dy * dy;
}

void background_update(vibe_handle_t *h, int l, int t, int r, int b)
{
    for (int y = t; y <= b; y++)
        for (int x = l; x <= r; x++) {
            at(h->background, x, y) = at(h->cur_frame, x, y);
            at(h->fg_count, x, y) = 0;
        }
}

int lap_h(uint8_t *p, int x, int y) { return 2 * at(p, x, y) - at(p, x - 1, y) - at(p, x + 1, y); }
int lap_v(uint8_t *p, int x, int y) { return 2 * at(p, x, y) - at(p, x, y - 1) - at(p, x, y + 1); }

} // namespace

void isolated(vibe_handle_t *h, fault f)
{
    uint8_t snap[4800];
    memcpy(snap, h->fg_mask, sizeof snap);
    uint8_t *diag = f == fault::isolated_on_snapshot ? snap : h->fg_mask;
    for (int y = 1; y <= 58; y++)
        for (int x = 1; x <= 78; x++) {
            const int px[5] = {x, x - 1, x + 1, x, x}, py[5] = {y - 1, y, y, y + 1, y};
            if (!at(diag, x - 1, y - 1) && !at(diag, x + 1, y - 1) && !at(diag, x - 1, y + 1) &&
                !at(diag, x + 1, y + 1)) {
                for (int k = 0; k < 5; k++) {
                    if (at(h->fg_mask, px[k], py[k]))
                        at(h->fg_count, px[k], py[k])--;
                    at(h->fg_mask, px[k], py[k]) = 0;
                }
            }
            if ((h->filtering_flag & 8) && !at(h->fd_mask, x - 1, y - 1) &&
                !at(h->fd_mask, x + 1, y - 1) && !at(h->fd_mask, x - 1, y + 1) &&
                !at(h->fd_mask, x + 1, y + 1))
                for (int k = 0; k < 5; k++)
                    at(h->fd_mask, px[k], py[k]) = 0;
        }
}

int32_t mrd(vibe_handle_t *h, vibe_box *boxes)
{
    memset(h->label_mask, 1, sizeof h->label_mask);
    int count = 0;
    for (int y = 1; y <= 58; y++)
        for (int x = 1; x <= 78; x++) {
            if (!at(h->label_mask, x, y) || at(h->fg_mask, x, y) != 255)
                continue;
            vibe_box r = {x, y, x, y, 0};
            bool fr = true, fl = true, fd = true, fu = true;
            while (fr || fl || fd || fu) {
                if (r.right > 77) fr = false;
                if (r.left < 2) fl = false;
                if (r.bottom > 57) fd = false;
                if (r.top < 2) fu = false;
                bool gr = false, gl = false, gd = false, gu = false;
                for (int yy = r.top; yy <= r.bottom; yy++) {
                    if (fr && at(h->fg_mask, r.right, yy) && at(h->fg_mask, r.right + 1, yy)) gr = true;
                    if (fl && at(h->fg_mask, r.left, yy) && at(h->fg_mask, r.left - 1, yy)) gl = true;
                }
                for (int xx = r.left; xx <= r.right; xx++) {
                    if (fd && at(h->fg_mask, xx, r.bottom) && at(h->fg_mask, xx, r.bottom + 1)) gd = true;
                    if (fu && at(h->fg_mask, xx, r.top) && at(h->fg_mask, xx, r.top - 1)) gu = true;
                }
                if (!gr && !gl && !gd && !gu)
                    break;
                if (gr) r.right++;
                if (gl) r.left--;
                if (gd) r.bottom++;
                if (gu) r.top--;
            }
            label_clear(h, r);
            if ((unsigned)area(r) >= h->motion_region_min) {
                if ((h->filtering_flag & 12) == 12)
                    count = separate(h, boxes, r, count);
                else
                    count = add(h, boxes, r.left, r.top, r.right, r.bottom, count);
            }
        }
    return count;
}

int32_t alarm(vibe_handle_t *h, vibe_box *boxes, int32_t count)
{
    vibe_box v[10] = {};
    int nv = 0;
    for (int i = 0; i < count; i++)
        if (valid(h, boxes[i]))
            v[nv++] = boxes[i];
    for (int k = 0; k < h->history_count; k++)
        h->history[k].tag--;
    for (int i = 0; i < nv; i++) {
        int s = speed(h, v[i]);
        for (int j = 0; j < h->prev_count; j++) {
            if (d2(v[i], h->prev_boxes[j]) <= 4 * s) {
                v[i].tag = h->prev_boxes[j].tag + 1;
                if (v[i].tag >= h->fw_confirm_frames && h->history_count < 80) {
                    h->history[h->history_count] = v[i];
                    h->history[h->history_count].tag = h->fw_history_frames;
                    h->history_hits[h->history_count] = 0;
                    h->history_count++;
                }
                break;
            }
        }
    }
    memcpy(h->prev_boxes, v, sizeof v);
    h->prev_count = nv;
    vibe_box out[10] = {};
    int n = 0;
    for (int i = 0; i < nv; i++) {
        if (v[i].tag >= h->fw_confirm_frames)
            h->prev_boxes[i].tag--;
        int s = speed(h, v[i]);
        bool taken = false;
        for (int k = 0; k < h->history_count; k++) {
            if (d2(v[i], h->history[k]) <= (h->fw_history_frames - h->history[k].tag) * 4 * s) {
                h->history_hits[k]++;
                if (h->history_hits[k] > h->fw_alarm_hits && !taken) {
                    out[n++] = v[i];
                    taken = true;
                }
            }
        }
    }
    memcpy(boxes, out, sizeof out);
    int kept = 0;
    for (int k = 0; k < h->history_count; k++)
        if (h->history[k].tag > 0) {
            h->history[kept] = h->history[k];
            h->history_hits[kept] = h->history_hits[k];
            kept++;
        }
    h->history_count = kept;
    return n;
}

int32_t vibe(vibe_handle_t *h, const uint8_t *frame, int32_t height, int32_t width,
             vibe_box *boxes, fault f)
{
    if (!h || !frame || !boxes || h->self != h || height < 120 || width < 160)
        return -1;
    for (int i = 0; i < 60; i++)
        for (int j = 0; j < 80; j++) {
            long long y0 = (long long)i * height / 60, y1 = (2LL * i + 1) * height / 120;
            long long x0 = (long long)j * width / 80, x1 = (2LL * j + 1) * width / 160;
            at(h->cur_frame, j, i) = (frame[y0 * width + x0] + frame[y1 * width + x0] +
                                      frame[y0 * width + x1] + frame[y1 * width + x1]) >> 2;
        }
    memset(h->fg_mask, 0, sizeof h->fg_mask);
    memset(h->fd_mask, 0, sizeof h->fd_mask);
    memset(boxes, 0, 10 * sizeof(vibe_box));
    int n = 0;
    if (h->model_ready == 0) {
        background_update(h, 0, 0, 79, 59);
        h->model_ready = 1;
    } else {
        for (int y = 1; y <= 58; y++)
            for (int x = 1; x <= 78; x++) {
                int hc = lap_h(h->cur_frame, x, y), vc = lap_v(h->cur_frame, x, y);
                int dh = std::abs(hc - lap_h(h->background, x, y));
                int dv = std::abs(vc - lap_v(h->background, x, y));
                if (dv >= h->filter_high || dh >= h->filter_high) {
                    at(h->fg_mask, x, y) = 255;
                    at(h->fg_count, x, y)++;
                } else if (dv >= h->filter_low || dh >= h->filter_low) {
                    at(h->fg_mask, x, y) = 128;
                    at(h->fg_count, x, y)++;
                }
                if (h->filtering_flag & 8) {
                    int dh2 = std::abs(hc - lap_h(h->prev_frame, x, y));
                    int dv2 = std::abs(vc - lap_v(h->prev_frame, x, y));
                    if (dv2 >= h->filter_high || dh2 >= h->filter_high)
                        at(h->fd_mask, x, y) = 255;
                    else if (dv2 >= h->filter_low || dh2 >= h->filter_low)
                        at(h->fd_mask, x, y) = 128;
                }
            }
        if (h->filtering_flag & 1)
            isolated(h, f);
        n = mrd(h, boxes);
    }
    unsigned a = (unsigned)area(boxes[0]);
    if (a >= h->motion_region_max) {
        if (h->fast_updating_flag) {
            background_update(h, 0, 0, 79, 59);
            h->model_ready = 1;
        }
        return 0;
    }
    for (int i = 0; i < n; i++) {
        vibe_box &b = boxes[i];
        if (h->filtering_flag & 2)
            shrink(h, b);
    }
    for (int i = 0; i < n; i++) {
        vibe_box &b = boxes[i];
        if (b.right <= b.left || b.bottom <= b.top)
            b.left = b.top = b.right = b.bottom = 0;
    }
    for (int i = 0; i < n; i++) {
        vibe_box &b = boxes[i];
        int still = 0;
        for (int y = b.top; y <= b.bottom; y++)
            for (int x = b.left; x <= b.right; x++)
                still += std::abs(at(h->cur_frame, x, y) - at(h->prev_frame, x, y)) <
                         h->frame_difference_filter;
        if (100 * still >= h->false_detection_factor * (b.bottom - b.top + 1) * (b.right - b.left + 1))
            b.left = b.top = b.right = b.bottom = 0;
    }
    memset(h->label_mask, 1, sizeof h->label_mask);
    for (int i = 0; i < n; i++)
        for (int y = boxes[i].top; y <= boxes[i].bottom; y++)
            for (int x = boxes[i].left; x <= boxes[i].right; x++) {
                at(h->label_mask, x, y) = 0;
                at(h->fg_count, x, y) = 0;
                at(h->box_state, x, y) = 2;
            }
    for (int i = 0; i < 4800; i++) {
        if (!h->label_mask[i])
            continue;
        if (h->box_state[i] == 0) {
            if (h->fg_mask[i] == 0 || h->fg_count[i] >= h->absorb_frames) {
                h->background[i] = h->cur_frame[i];
                h->fg_count[i] = 0;
            }
        } else if (h->box_state[i] == 2) {
            h->box_state[i] = 3;
        }
        if (h->box_state[i] == 3 && (h->fg_mask[i] == 0 || h->fg_count[i] >= h->update_frames)) {
            h->background[i] = h->cur_frame[i];
            h->fg_count[i] = 0;
            h->box_state[i] = 0;
        }
    }
    memcpy(h->prev_frame, h->cur_frame, sizeof h->prev_frame);
    vibe_box kept[10] = {};
    int m = 0;
    for (int i = 0; i < n; i++) {
        const vibe_box &b = boxes[i];
        if (b.left == 0 && b.top == 0 && b.right == 0 && b.bottom == 0)
            continue;
        if ((unsigned)((b.right - b.left) * (b.bottom - b.top)) < h->motion_region_min)
            continue;
        kept[m] = b;
        kept[m++].tag = 0;
    }
    memcpy(boxes, kept, sizeof kept);
    if (h->mode == 0)
        m = alarm(h, boxes, m);
    for (int i = 0; i < m; i++) {
        vibe_box &b = boxes[i];
        b.left = b.left * width / 80;
        b.right = (b.right + 1) * width / 80 - 1;
        b.top = b.top * height / 60;
        b.bottom = (b.bottom + 1) * height / 60 - 1;
    }
    return m;
}

} // namespace vibe_ref
