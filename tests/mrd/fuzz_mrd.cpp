/*
 * fuzz_mrd.cpp - libFuzzer target: random grids, lengths and setter
 * sequences on one handle.  Every call must finish, return a count in
 * 0..20 with zeros behind it and boxes inside the searched rows, and keep
 * the tracking state within its capacities.  The grid handed to ozi_mrd is
 * exactly `len` rows long on the heap, so any read past it trips ASan.
 */
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cstdio>
#include <memory>

#include "mrd_internal.h"

namespace {

struct Reader {
    const uint8_t *p;
    size_t n;
    uint32_t u32()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++) {
            v = (v << 8) | (n ? *p : 0);
            if (n) { p++; n--; }
        }
        return v;
    }
    uint8_t u8()
    {
        if (!n)
            return 0;
        n--;
        return *p++;
    }
};

void check(bool ok, const char *what)
{
    if (!ok) {
        std::fprintf(stderr, "fuzz_mrd: %s\n", what);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static mrd_handle_t *h = [] {
        std::freopen("/dev/null", "w", stdout);  // banner and range messages
        return ozi_mrd_init();
    }();
    static mrd_handle_t fresh = *h;
    *h = fresh;

    Reader in{data, size};
    while (in.n > 0) {
        const uint8_t op = in.u8();
        switch (op % 8) {
        case 0: ozi_mrd_set_filters(h, in.u32(), in.u32()); break;
        case 1: ozi_mrd_set_motion_region_size(h, int32_t(in.u32()), int32_t(in.u32())); break;
        case 2: {
            int32_t v[5];
            for (auto &x : v) x = int32_t(in.u32()) % 40;
            ozi_mrd_set_detection_region(h, v[0], v[1], v[2], v[3], v[4]);
            break;
        }
        case 3: ozi_mrd_set_mode(h, in.u8() % 3 == 0 ? 1 : 0); break;
        case 4: {
            int32_t v[6];
            for (auto &x : v) x = int32_t(in.u32());
            if (op & 0x80)  // mostly small values, so that tracks form
                for (auto &x : v) x %= 12;
            ozi_mrd_set_floating_wadding_params(h, v[0], v[1], v[2], v[3], v[4], v[5]);
            break;
        }
        default: {
            const int32_t len = int32_t(in.u8() % 36) - 2;
            const int rows = len < 1 ? 1 : (len > 32 ? 32 : len);
            /* With a detection region set the library reads the region's
             * rows whatever len is, so the grid always has all 32 rows;
             * rows past `rows` keep the base level. */
            std::unique_ptr<uint16_t[]> grid(new uint16_t[size_t(MRD_GRID_MAX_ROWS) * 32]);
            /* Sparse description: a base level, then blocks. */
            const uint16_t base = uint16_t(in.u8() * 32);
            for (int i = 0; i < MRD_GRID_MAX_ROWS * 32; i++)
                grid[i] = base;
            for (int blocks = in.u8() % 12; blocks > 0; blocks--) {
                const int x = in.u8() % 32, y = in.u8() % rows, w = in.u8() % 8 + 1,
                          hh = in.u8() % 8 + 1;
                const uint16_t v = uint16_t(in.u8() << 8 | in.u8());
                for (int yy = y; yy < y + hh && yy < rows; yy++)
                    for (int xx = x; xx < x + w && xx < 32; xx++)
                        grid[yy * 32 + xx] = v;
            }
            mrd_box boxes[MRD_MAX_BOXES];
            const int32_t n = ozi_mrd(h, grid.get(), len, boxes);
            /* Boxes lie in the rows passed, or in a detection region's. */
            const int row_limit = h->region_left ? MRD_GRID_MAX_ROWS : rows;
            check(n >= 0 && n <= MRD_MAX_BOXES, "count out of range");
            for (int i = 0; i < n; i++) {
                const mrd_box &b = boxes[i];
                check(b.tag == 1, "tag");
                check(b.left >= 0 && b.left <= b.right && b.right < 32, "columns");
                check(b.top >= 0 && b.top <= b.bottom && b.bottom < row_limit, "rows");
            }
            for (int i = n; i < MRD_MAX_BOXES; i++)
                check(boxes[i].left == 0 && boxes[i].top == 0 && boxes[i].right == 0 &&
                          boxes[i].bottom == 0 && boxes[i].tag == 0,
                      "tail not zero");
            check(h->prev_count >= 0 && h->prev_count <= MRD_MAX_BOXES, "prev_count");
            check(h->history_count >= 0 && h->history_count <= MRD_HISTORY_MAX, "history_count");
            for (int k = 0; k < h->history_count; k++)
                check(h->history[k].tag >= 1, "dead history entry kept");
            break;
        }
        }
    }
    return 0;
}
