/*
 * Whole detector on synthetic scenes: an object moving across a static,
 * noisy scene raises alarms that follow it; a still scene and a uniform
 * brightness change raise none.
 */
#include <gtest/gtest.h>

#include <vector>

#include "ozi_vibe.h"
#include "vibe_scene.h"

namespace {

struct run_stats {
    int frames_with_alarm = 0;
    int first_alarm = -1;
    int misplaced = 0; /* alarm boxes that do not overlap the object */
};

bool overlaps(const vibe_box &b, const vibe_test::object &o)
{
    return b.left < o.x + o.w && b.right >= o.x && b.top < o.y + o.h && b.bottom >= o.y;
}

run_stats run_scene(int w, int h, int frames, int vx, int vy, int noise,
                    int (*offset)(int frame))
{
    vibe_test::scene sc(w, h, 42);
    vibe_handle_t *d = ozi_vibe_init();
    vibe_box boxes[VIBE_MAX_BOXES];
    run_stats st;
    vibe_test::object obj = {w / 10, h / 3, w / 8, h / 4, 77};
    for (int f = 0; f < frames; f++) {
        std::vector<vibe_test::object> objs;
        if (vx || vy) {
            obj.x = w / 10 + vx * f;
            obj.y = h / 3 + vy * f;
            objs.push_back(obj);
        }
        int n = ozi_vibe(d, sc.render(objs, noise, offset ? offset(f) : 0).data(), h, w, boxes);
        EXPECT_GE(n, 0);
        if (n > 0) {
            st.frames_with_alarm++;
            if (st.first_alarm < 0)
                st.first_alarm = f;
        }
        for (int i = 0; i < n; i++) {
            EXPECT_TRUE(boxes[i].left >= 0 && boxes[i].right < w && boxes[i].left <= boxes[i].right);
            EXPECT_TRUE(boxes[i].top >= 0 && boxes[i].bottom < h && boxes[i].top <= boxes[i].bottom);
            EXPECT_GE(boxes[i].tag, 1);
            st.misplaced += objs.empty() || !overlaps(boxes[i], obj);
        }
    }
    ozi_vibe_destroy(d);
    return st;
}

TEST(VibeScene, MovingObjectIsAlarmedWhereItIs)
{
    const struct { int w, h, vx, vy; } rows[] = {
        {640, 360, 8, 0}, {640, 360, 6, 2}, {1920, 1080, 24, 0}, {320, 240, 0, 3},
    };
    for (const auto &r : rows) {
        run_stats st = run_scene(r.w, r.h, 40, r.vx, r.vy, 3, nullptr);
        EXPECT_GE(st.first_alarm, 6) << r.w << "x" << r.h << " needs five confirmed detections";
        EXPECT_LE(st.first_alarm, 10) << r.w << "x" << r.h;
        EXPECT_GE(st.frames_with_alarm, 25) << r.w << "x" << r.h;
        EXPECT_EQ(st.misplaced, 0) << r.w << "x" << r.h;
    }
}

TEST(VibeScene, StillNoisySceneRaisesNothing)
{
    run_stats st = run_scene(640, 360, 60, 0, 0, 4, nullptr);
    EXPECT_EQ(st.frames_with_alarm, 0);
}

TEST(VibeScene, UniformBrightnessChangesRaiseNothing)
{
    int (*const changes[])(int) = {
        [](int f) { return f < 20 ? 0 : 30; },          /* step */
        [](int f) { return f - 30; },                   /* slow ramp */
        [](int f) { return (f % 2) ? 25 : -25; },       /* flicker */
    };
    for (auto change : changes) {
        run_stats st = run_scene(640, 360, 60, 0, 0, 2, change);
        EXPECT_EQ(st.frames_with_alarm, 0);
    }
}

} // namespace
