/*
 * mrd_reference.cpp - the slow model: each call rebuilds everything from
 * the grid with plain loops and containers.
 */
#include "mrd_reference.h"

#include <algorithm>

namespace mrdref {

void Model::set_filters(uint32_t a, uint32_t b)
{
    seed = uint16_t(std::max(a, b) % 65536);
    grow = uint16_t(std::min(a, b) % 65536);
}

void Model::set_motion_region_size(int32_t a, int32_t b)
{
    int64_t x = a < 0 ? -int64_t(a) : a, y = b < 0 ? -int64_t(b) : b;
    x = std::min<int64_t>(x, INT32_MAX);
    y = std::min<int64_t>(y, INT32_MAX);
    region_min = int32_t(std::min(x, y));
    region_max = int32_t(std::max(x, y));
}

int Model::set_detection_region(int32_t len, int32_t l, int32_t t, int32_t r, int32_t b)
{
    if (len < 1 || len > 32)
        return -1;
    l = l < 1 ? 1 : std::min(l, 32);
    r = r < 1 ? 32 : std::min(r, 32);
    t = t < 1 ? 1 : std::min(t, len);
    b = b < 1 ? len : std::min(b, len);
    rl = std::min(l, r);
    rr = std::max(l, r);
    rt = std::min(t, b);
    rb = std::max(t, b);
    return 0;
}

void Model::set_mode(int32_t m)
{
    if (uint32_t(mode) != uint32_t(m)) {
        prev.clear();
        history.clear();
        history_hits.clear();
    }
    mode = uint8_t(uint32_t(m) % 256);
}

void Model::set_fw(int32_t c, int32_t h, int32_t f, int32_t s, int32_t w, int32_t hh)
{
    confirm = c;
    hits = h;
    history_frames = f;
    speed = s;
    min_w = w;
    min_h = hh;
}

static int64_t area(const Box &b)
{
    return int64_t(b.right - b.left + 1) * (b.bottom - b.top + 1);
}

static int64_t dist2(const Box &p, const Box &q)
{
    int64_t dx = (p.left + p.right) - (q.left + q.right);
    int64_t dy = (p.top + p.bottom) - (q.top + q.bottom);
    return dx * dx + dy * dy;
}

std::vector<Box> Model::run(const uint16_t *grid, int32_t len)
{
    len = std::clamp(len, 1, 32);
    auto at = [&](int x, int y) { return grid[y * 32 + x]; };

    int wl, wt, wr, wb;
    if (rl != 0) {
        wl = rl - 1; wt = rt - 1; wr = rr - 1; wb = rb - 1;
    } else {
        rb = len - 1;
        wl = 0; wt = rt; wr = rr; wb = rb;
    }

    /* Every seed grows into a rectangle; seeds already covered are skipped. */
    std::vector<Box> found;
    std::vector<Box> grown;
    for (int y = wt; y <= wb; y++) {
        for (int x = wl; x <= wr; x++) {
            if (at(x, y) < seed)
                continue;
            bool covered = false;
            for (const Box &g : grown)
                covered |= x >= g.left && x <= g.right && y >= g.top && y <= g.bottom;
            if (covered)
                continue;
            Box b{x, y, x, y, 0};
            for (;;) {
                int L = std::max(b.left - 1, wl), R = std::min(b.right + 1, wr);
                int T = std::max(b.top - 1, wt), B = std::min(b.bottom + 1, wb);
                Box n = b;
                for (int i = L; i <= R; i++) {
                    if (at(i, T) >= grow) n.top = T;
                    if (at(i, B) >= grow) n.bottom = B;
                }
                for (int j = T; j <= B; j++) {
                    if (at(L, j) >= grow) n.left = L;
                    if (at(R, j) >= grow) n.right = R;
                }
                if (n.left == b.left && n.right == b.right && n.top == b.top &&
                    n.bottom == b.bottom)
                    break;
                b = n;
            }
            grown.push_back(b);
            Box c{b.left + 1, b.top + 1, b.right + 1, b.bottom + 1, 1};
            if (area(c) >= region_min && area(c) <= region_max)
                found.push_back(c);
        }
    }
    if (fault == Fault::equal_area_newest_first)
        std::reverse(found.begin(), found.end());
    std::stable_sort(found.begin(), found.end(),
                     [](const Box &a, const Box &b) { return area(a) > area(b); });
    if (found.size() > 20)
        found.resize(20);

    std::vector<Box> out = found;
    if (mode == 0) {
        std::vector<Box> v;
        for (const Box &b : found) {
            int64_t h = b.bottom - b.top + 1, w = b.right - b.left + 1;
            if (h < min_h || w < min_w)
                continue;
            int64_t n = 0;
            for (int y = b.top; y <= b.bottom; y++)
                for (int x = b.left; x <= b.right; x++)
                    n += at(x - 1, y - 1) >= grow;
            if (100 * n >= 36 * h * w)
                v.push_back(b);
        }
        for (Box &h : history)
            h.tag--;
        for (Box &q : v) {
            for (const Box &p : prev) {
                if (dist2(q, p) <= 4 * int64_t(speed)) {
                    q.tag = p.tag + 1;
                    if (q.tag >= confirm && history.size() < 160) {
                        Box e = q;
                        e.tag = history_frames;
                        history.push_back(e);
                        history_hits.push_back(0);
                    }
                    break;
                }
            }
        }
        prev = v;
        out.clear();
        for (size_t i = 0; i < v.size(); i++) {
            if (v[i].tag >= confirm)
                prev[i].tag--;
            bool taken = false;
            for (size_t k = 0; k < history.size(); k++) {
                if (dist2(v[i], history[k]) <= int64_t(history_frames - history[k].tag) * 4 * speed) {
                    history_hits[k]++;
                    if (history_hits[k] > hits && !taken) {
                        out.push_back(v[i]);
                        taken = true;
                    }
                }
            }
        }
        std::vector<Box> kept;
        std::vector<int32_t> kept_hits;
        for (size_t k = 0; k < history.size(); k++)
            if (history[k].tag > 0) {
                kept.push_back(history[k]);
                kept_hits.push_back(history_hits[k]);
            }
        history = kept;
        history_hits = kept_hits;
    }
    for (Box &b : out) {
        b.left--; b.top--; b.right--; b.bottom--;
        b.tag = 1;
    }
    return out;
}

} // namespace mrdref
