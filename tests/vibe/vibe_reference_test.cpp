/*
 * The library against the literal reference model (vibe_reference.cpp):
 * after every call the result, the whole box array and every plane and
 * tracking field of the handle must be identical.  One run with a
 * deliberately faulty model proves that the comparison can fail.
 */
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <random>
#include <sstream>
#include <string>

#include "vibe_internal.h"
#include "vibe_reference.h"
#include "vibe_scene.h"

namespace {

std::string first_plane_diff(const char *name, const uint8_t *a, const uint8_t *b)
{
    for (int i = 0; i < VIBE_GRID_CELLS; i++)
        if (a[i] != b[i]) {
            std::ostringstream s;
            s << name << "[row " << i / 80 << " col " << i % 80 << "]: lib " << int(a[i])
              << " ref " << int(b[i]);
            return s.str();
        }
    return "";
}

std::string box_diff(const char *name, const vibe_box *a, const vibe_box *b, int n)
{
    for (int i = 0; i < n; i++)
        if (memcmp(&a[i], &b[i], sizeof(vibe_box)) != 0) {
            std::ostringstream s;
            s << name << "[" << i << "]: lib (" << a[i].left << "," << a[i].top << ","
              << a[i].right << "," << a[i].bottom << "," << a[i].tag << ") ref (" << b[i].left
              << "," << b[i].top << "," << b[i].right << "," << b[i].bottom << "," << b[i].tag
              << ")";
            return s.str();
        }
    return "";
}

/* First difference between two handle records, "" when they are equal. */
std::string state_diff(const vibe_handle_t &a, const vibe_handle_t &b)
{
    const struct {
        const char *name;
        const uint8_t *pa, *pb;
    } planes[] = {
        {"background", a.background, b.background}, {"fg_mask", a.fg_mask, b.fg_mask},
        {"label_mask", a.label_mask, b.label_mask}, {"fg_count", a.fg_count, b.fg_count},
        {"cur_frame", a.cur_frame, b.cur_frame},    {"prev_frame", a.prev_frame, b.prev_frame},
        {"box_state", a.box_state, b.box_state},    {"fd_mask", a.fd_mask, b.fd_mask},
    };
    for (const auto &p : planes) {
        std::string d = first_plane_diff(p.name, p.pa, p.pb);
        if (!d.empty())
            return d;
    }
    if (a.model_ready != b.model_ready)
        return "model_ready";
    if (a.prev_count != b.prev_count)
        return "prev_count";
    if (a.history_count != b.history_count)
        return "history_count";
    std::string d = box_diff("prev_boxes", a.prev_boxes, b.prev_boxes, VIBE_MAX_BOXES);
    if (d.empty())
        d = box_diff("history", a.history, b.history, a.history_count);
    for (int k = 0; d.empty() && k < a.history_count; k++)
        if (a.history_hits[k] != b.history_hits[k])
            d = "history_hits[" + std::to_string(k) + "]";
    return d;
}

/* A library handle and a reference copy that start identical. */
struct twin {
    vibe_handle_t *lib;
    std::unique_ptr<vibe_handle_t> ref;

    twin() : lib(ozi_vibe_init()), ref(new vibe_handle_t()) { sync(); }
    ~twin() { ozi_vibe_destroy(lib); }
    void sync()
    {
        memcpy(ref.get(), lib, sizeof(vibe_handle_t));
        ref->self = ref.get();
    }
    template <typename F> void both(F f)
    {
        f(lib);
        f(ref.get());
    }
};

/* Applies one random setter to both handles. */
void random_setter(twin &t, std::mt19937 &rng)
{
    auto r = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    int a = r(5, 45), b = r(5, 45), c = r(0, 3), d = r(1, 5), e = r(1, 9), f = r(0, 500);
    int g = r(0, 8), k = r(0, 8), l = r(0, 12), fl = r(0, 15), mn = r(0, 60), mx = r(0, 3000);
    int fdf = r(40, 120), uf = r(0, 20), fdd = r(0, 20);
    switch (r(0, 10)) {
    case 0: t.both([&](vibe_handle_t *h) { ozi_vibe_set_filters(h, a, b); }); break;
    case 1: t.both([&](vibe_handle_t *h) { ozi_vibe_set_filtering_flag(h, fl); }); break;
    case 2: t.both([&](vibe_handle_t *h) { ozi_vibe_set_mode(h, c == 0); }); break;
    case 3:
        t.both([&](vibe_handle_t *h) { ozi_vibe_set_floating_wadding_params(h, c, d, e, f, g, k, l); });
        break;
    case 4: t.both([&](vibe_handle_t *h) { ozi_vibe_set_motion_region_size(h, mn, mx); }); break;
    case 5: t.both([&](vibe_handle_t *h) { ozi_vibe_set_false_detection_factor(h, fdf); }); break;
    case 6: t.both([&](vibe_handle_t *h) { ozi_vibe_set_update_frames(h, uf); }); break;
    case 7: t.both([&](vibe_handle_t *h) { ozi_vibe_set_frame_difference_filter(h, fdd); }); break;
    case 8: t.both([&](vibe_handle_t *h) { ozi_vibe_set_fast_updating_flag(h, c & 1); }); break;
    case 9: t.both([&](vibe_handle_t *h) { ozi_vibe_reconstruct_background_model(h); }); break;
    default: break;
    }
}

/* Runs a random scene through both; returns the first difference or "". */
struct coverage {
    int boxes = 0;      /* boxes returned */
    int tracked = 0;    /* boxes returned with a track count (alarms) */
    int global = 0;     /* calls that stopped at the largest-box test */
};

std::string compare_sequence(uint32_t seed, vibe_ref::fault fault, int frames,
                             coverage *cov = nullptr)
{
    std::mt19937 rng(seed);
    auto r = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    static const int sizes[][2] = {{160, 120}, {320, 240}, {203, 137}, {640, 360}};
    const int *sz = sizes[r(0, 3)];
    vibe_test::scene sc(sz[0], sz[1], seed);
    std::vector<vibe_test::object> objs;
    std::vector<int> vx, vy;
    for (int i = r(1, 3); i > 0; i--) {
        objs.push_back({r(0, sz[0] / 2), r(0, sz[1] / 2), r(sz[0] / 16, sz[0] / 3),
                        r(sz[1] / 12, sz[1] / 3), (uint32_t)r(0, 1 << 20)});
        vx.push_back(r(-6, 6));
        vy.push_back(r(-4, 4));
    }
    twin t;
    for (int f = 0; f < frames; f++) {
        if (r(0, 9) == 0)
            random_setter(t, rng);
        for (size_t i = 0; i < objs.size(); i++) {
            objs[i].x += vx[i];
            objs[i].y += vy[i];
        }
        int offset = r(0, 19) == 0 ? r(-20, 20) : 0;
        const std::vector<uint8_t> &frame = sc.render(objs, r(0, 4), offset);
        vibe_box bl[VIBE_MAX_BOXES], br[VIBE_MAX_BOXES];
        int nl = ozi_vibe(t.lib, frame.data(), sz[1], sz[0], bl);
        int nr = vibe_ref::vibe(t.ref.get(), frame.data(), sz[1], sz[0], br, fault);
        if (cov) {
            cov->boxes += nl > 0 ? nl : 0;
            cov->tracked += nl > 0 && bl[0].tag > 0;
            cov->global += nl == 0 && bl[0].tag == 1;
        }
        std::string d;
        if (nl != nr)
            d = "result lib " + std::to_string(nl) + " ref " + std::to_string(nr);
        if (d.empty())
            d = box_diff("boxes", bl, br, VIBE_MAX_BOXES);
        if (d.empty())
            d = state_diff(*t.lib, *t.ref);
        if (!d.empty())
            return "seed " + std::to_string(seed) + " frame " + std::to_string(f) + ": " + d;
    }
    return "";
}

TEST(VibeReference, RandomScenesMatchBitByBit)
{
    coverage cov;
    for (uint32_t seed = 1; seed <= 16; seed++)
        ASSERT_EQ(compare_sequence(seed, vibe_ref::fault::none, 50, &cov), "");
    /* The scenes must exercise boxes, alarms and global changes. */
    EXPECT_GT(cov.boxes, 200);
    EXPECT_GT(cov.tracked, 100);
    EXPECT_GT(cov.global, 3);
}

TEST(VibeReference, ComparisonCatchesAFaultyModel)
{
    int caught = 0;
    for (uint32_t seed = 1; seed <= 10; seed++)
        caught += !compare_sequence(seed, vibe_ref::fault::isolated_on_snapshot, 60).empty();
    EXPECT_GT(caught, 0);
}

/* Random masks straight into labelling, with and without the strip split. */
TEST(VibeReference, LabellingOnRandomMasks)
{
    std::mt19937 rng(7);
    auto r = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int iter = 0; iter < 400; iter++) {
        twin t;
        vibe_handle_t *h = t.lib;
        for (int k = r(0, 14); k > 0; k--) {
            int x = r(0, 79), y = r(0, 59), w = r(1, 20), hh = r(1, 15);
            uint8_t v = r(0, 3) ? 255 : 128;
            for (int yy = y; yy < y + hh && yy < 60; yy++)
                for (int xx = x; xx < x + w && xx < 80; xx++)
                    h->fg_mask[yy * 80 + xx] = v;
        }
        for (int k = r(0, 200); k > 0; k--)
            h->fg_mask[r(0, 4799)] = r(0, 1) ? 255 : 128;
        for (int i = 0; i < VIBE_GRID_CELLS; i++)
            h->fd_mask[i] = r(0, 2) == 0 ? 0 : (r(0, 1) ? 255 : 128);
        h->filtering_flag = (uint8_t)r(0, 15);
        h->motion_region_min = (uint32_t)r(1, 40);
        t.sync();
        vibe_box bl[VIBE_MAX_BOXES] = {}, br[VIBE_MAX_BOXES] = {};
        int nl = vibe_mrd(t.lib, bl), nr = vibe_ref::mrd(t.ref.get(), br);
        ASSERT_EQ(nl, nr) << "iteration " << iter;
        ASSERT_EQ(box_diff("boxes", bl, br, VIBE_MAX_BOXES), "") << "iteration " << iter;
        ASSERT_EQ(first_plane_diff("label_mask", t.lib->label_mask, t.ref->label_mask), "");
    }
}

/* Random box lists through the alarm filter, including history overflow. */
TEST(VibeReference, AlarmFilterOnRandomBoxes)
{
    std::mt19937 rng(11);
    auto r = [&rng](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    for (int seq = 0; seq < 60; seq++) {
        twin t;
        t.both([&](vibe_handle_t *h) {
            ozi_vibe_set_floating_wadding_params(h, 2, 1, 12, 400, 0, 0, 3);
        });
        uint32_t p[7] = {(uint32_t)r(0, 4), (uint32_t)r(0, 3), (uint32_t)r(0, 14),
                         (uint32_t)r(0, 300), (uint32_t)r(0, 3), (uint32_t)r(0, 3),
                         (uint32_t)r(0, 20)};
        if (seq % 2)
            t.both([&](vibe_handle_t *h) {
                ozi_vibe_set_floating_wadding_params(h, p[0], p[1], p[2], p[3], p[4], p[5], p[6]);
            });
        for (int call = 0; call < 30; call++) {
            for (int i = 0; i < VIBE_GRID_CELLS; i++)
                t.lib->fd_mask[i] = r(0, 3) ? (r(0, 1) ? 255 : 128) : 0;
            memcpy(t.ref->fd_mask, t.lib->fd_mask, sizeof t.lib->fd_mask);
            vibe_box in[VIBE_MAX_BOXES] = {};
            int n = r(0, 10);
            for (int i = 0; i < n; i++) {
                int x = r(1, 60), y = r(1, 45);
                in[i] = {x, y, x + r(1, 12), y + r(1, 12), 0};
            }
            vibe_box bl[VIBE_MAX_BOXES], br[VIBE_MAX_BOXES];
            memcpy(bl, in, sizeof in);
            memcpy(br, in, sizeof in);
            int nl = vibe_alarm(t.lib, bl, n), nr = vibe_ref::alarm(t.ref.get(), br, n);
            ASSERT_EQ(nl, nr) << "sequence " << seq << " call " << call;
            ASSERT_EQ(box_diff("boxes", bl, br, VIBE_MAX_BOXES), "");
            ASSERT_EQ(state_diff(*t.lib, *t.ref), "") << "sequence " << seq << " call " << call;
            ASSERT_LE(t.lib->history_count, VIBE_MAX_HISTORY);
        }
    }
}

} // namespace
