/*
 * libFuzzer target: random frame sizes, frames and parameter sequences.
 * The library must never crash or misbehave (sanitizers), its results must
 * stay in range, and while the parameters stay in the range where the
 * literal reference model cannot overflow, both must agree exactly.
 */
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "vibe_internal.h"
#include "vibe_reference.h"

namespace {

struct reader {
    const uint8_t *p;
    size_t n;
    uint8_t byte() { return n ? (n--, *p++) : 0; }
    uint32_t word()
    {
        uint32_t v = 0;
        for (int i = 0; i < 4; i++)
            v = v << 8 | byte();
        return v;
    }
};

#define CHECK(c) \
    do { if (!(c)) abort(); } while (0)

bool reference_safe(const vibe_handle_t *h)
{
    return h->fw_speed <= 100000 && h->fw_history_frames <= 1000 && h->fw_confirm_frames <= 1000 &&
           h->fw_alarm_hits <= 1000000;
}

} // namespace

/* Every handle prints its banner; keep the fuzzer's output readable. */
extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    if (!freopen("/dev/null", "w", stdout))
        return 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    reader in = {data, size};
    const int w = 150 + in.byte() % 120, hgt = 110 + in.byte() % 100;
    std::vector<uint8_t> frame((size_t)w * hgt);
    vibe_handle_t *lib = ozi_vibe_init();
    std::unique_ptr<vibe_handle_t> ref(new vibe_handle_t());
    memcpy(ref.get(), lib, sizeof *lib);
    ref->self = ref.get();
    bool same = true;

    for (int step = 0; step < 48 && in.n; step++) {
        uint8_t op = in.byte();
        uint32_t a = in.word(), b = in.word();
        vibe_handle_t *both[2] = {lib, ref.get()};
        for (vibe_handle_t *h : both) {
            switch (op % 16) {
            case 0: ozi_vibe_set_filters(h, a, b); break;
            case 1: ozi_vibe_set_frame_difference_filter(h, (int32_t)a); break;
            case 2: ozi_vibe_set_update_frames(h, (int32_t)a); break;
            case 3: ozi_vibe_set_motion_region_size(h, a, b); break;
            case 4: ozi_vibe_set_mode(h, (int32_t)a); break;
            case 5: ozi_vibe_set_filtering_flag(h, (int32_t)a); break;
            case 6: ozi_vibe_set_fast_updating_flag(h, (int32_t)a); break;
            case 7:
                ozi_vibe_set_floating_wadding_params(h, (int32_t)a, (int32_t)b, (int32_t)(a >> 7),
                                                     (int32_t)(b >> 3), (int32_t)(a % 9),
                                                     (int32_t)(b % 9), (int32_t)(a >> 24));
                break;
            case 8: ozi_vibe_reconstruct_background_model(h); break;
            case 9: ozi_vibe_set_false_detection_factor(h, a); break;
            default: break;
            }
        }
        if (op % 16 < 10)
            continue;
        /* A frame: flat background 100 with rectangles of fuzzed values. */
        memset(frame.data(), 100, frame.size());
        for (int r = 0; r < 3; r++) {
            int x = (int)(a >> (r * 8) & 0xff) % w, y = (int)(b >> (r * 8) & 0xff) % hgt;
            int rw = 4 + in.byte() % 60, rh = 4 + in.byte() % 60;
            uint8_t v = in.byte();
            for (int yy = y; yy < y + rh && yy < hgt; yy++)
                memset(&frame[(size_t)yy * w + x], v, (size_t)std::min(rw, w - x));
        }
        if (op & 0x80) /* sprinkle single-pixel noise */
            for (int k = 0; k < 64; k++)
                frame[(a * 2654435761u + k * 40503u) % frame.size()] ^= in.byte();
        vibe_box bl[VIBE_MAX_BOXES], br[VIBE_MAX_BOXES];
        int n = ozi_vibe(lib, frame.data(), hgt, w, bl);
        if (w < 160 || hgt < 120) { /* too small: rejected, nothing changed */
            CHECK(n == -1);
            continue;
        }
        CHECK(n >= 0 && n <= VIBE_MAX_BOXES);
        for (int i = 0; i < n; i++) {
            CHECK(bl[i].left >= 0 && bl[i].left <= bl[i].right && bl[i].right < w);
            CHECK(bl[i].top >= 0 && bl[i].top <= bl[i].bottom && bl[i].bottom < hgt);
        }
        CHECK(lib->history_count >= 0 && lib->history_count <= VIBE_MAX_HISTORY);
        CHECK(lib->prev_count >= 0 && lib->prev_count <= VIBE_MAX_BOXES);
        same = same && reference_safe(lib);
        if (same) {
            int m = vibe_ref::vibe(ref.get(), frame.data(), hgt, w, br);
            CHECK(m == n);
            CHECK(memcmp(bl, br, sizeof bl) == 0);
            CHECK(memcmp(lib->background, ref->background, VIBE_GRID_CELLS) == 0);
            CHECK(memcmp(lib->fg_count, ref->fg_count, VIBE_GRID_CELLS) == 0);
            CHECK(memcmp(lib->box_state, ref->box_state, VIBE_GRID_CELLS) == 0);
            CHECK(lib->history_count == ref->history_count);
        }
    }
    ozi_vibe_destroy(lib);
    return 0;
}
