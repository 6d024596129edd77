/*
 * bench_mrd.cpp - time of one ozi_mrd call on a 32 x 24 grid (goal: well
 * under 5 microseconds).  Each case cycles through 64 prepared grids so
 * that the alarm filter's tracks evolve as they would on video.
 */
#include <benchmark/benchmark.h>

#include <cstdio>
#include <random>
#include <vector>

#include "ozi_mrd.h"

namespace {

constexpr int kCols = 32, kRows = 24, kGrids = 64;

enum class Scene { quiet, moving_objects, many_small, whole_grid_active };

std::vector<std::vector<uint16_t>> make_grids(Scene scene)
{
    std::mt19937 rng(42);
    auto pick = [&](int lo, int hi) { return std::uniform_int_distribution<int>(lo, hi)(rng); };
    std::vector<std::vector<uint16_t>> grids;
    for (int f = 0; f < kGrids; f++) {
        std::vector<uint16_t> g(kCols * kRows);
        for (auto &c : g)
            c = uint16_t(pick(0, 3000));  // sensor noise, below the grow threshold
        auto rect = [&](int x, int y, int w, int h) {
            for (int yy = y; yy < y + h && yy < kRows; yy++)
                for (int xx = x; xx < x + w && xx < kCols; xx++)
                    g[yy * kCols + xx] = uint16_t(pick(8000, 30000));
        };
        switch (scene) {
        case Scene::quiet: break;
        case Scene::moving_objects:
            rect((2 + f) % 28, 4, 3, 4);
            rect((25 - f % 20), 14, 4, 3);
            rect(10, (f / 2) % 20, 2, 2);
            break;
        case Scene::many_small:  // 40 separate 2 x 2 blocks: list full, sorting busy
            for (int i = 0; i < 40; i++)
                rect((i % 10) * 3 + f % 2, (i / 10) * 5 + 1, 2, 2);
            break;
        case Scene::whole_grid_active:  // one seed per cell, a single huge region
            for (auto &c : g)
                c = uint16_t(pick(7000, 65535));
            break;
        }
        grids.push_back(g);
    }
    return grids;
}

void BM_ozi_mrd(benchmark::State &state)
{
    const Scene scene = Scene(state.range(0));
    const int mode = int(state.range(1));
    const auto grids = make_grids(scene);
    std::FILE *saved = stdout;  // the banner
    stdout = std::fopen("/dev/null", "w");
    mrd_handle_t *h = ozi_mrd_init();
    std::fclose(stdout);
    stdout = saved;
    ozi_mrd_set_mode(h, mode);
    ozi_mrd_set_floating_wadding_params(h, 3, 2, 4, 200, 1, 1);
    mrd_box boxes[MRD_MAX_BOXES];
    size_t i = 0, found = 0;
    for (auto _ : state) {
        const int n = ozi_mrd(h, grids[i].data(), kRows, boxes);
        benchmark::DoNotOptimize(boxes);
        found += size_t(n);
        i = (i + 1) % grids.size();
    }
    state.counters["boxes_per_call"] =
        benchmark::Counter(double(found) / double(state.iterations()));
    ozi_mrd_destroy(h);
}

const char *const kSceneNames[] = {"quiet", "moving_objects", "many_small", "whole_grid_active"};

void register_all()
{
    for (int s = 0; s < 4; s++)
        for (int mode : {0, 1})
            benchmark::RegisterBenchmark(
                (std::string("ozi_mrd/") + kSceneNames[s] + (mode ? "/raw" : "/alarm")).c_str(),
                BM_ozi_mrd)
                ->Args({s, mode})
                ->Unit(benchmark::kMicrosecond);
}

} // namespace

int main(int argc, char **argv)
{
    register_all();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
