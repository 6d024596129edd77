/*
 * scene_y4m.cpp - writes the synthetic camera scene as a YUV4MPEG2 stream
 * on standard output, so that encoders can be measured on it exactly as
 * on any other source, and prints the CPU cost of drawing it.
 *
 * Usage: scene_y4m <width> <height> <fps> <frames>
 *
 * Standard error gets "render_ms_per_frame <CPU ms>": the thread CPU
 * time spent drawing, without the writing.
 */
#include "ozi_scene.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <vector>

namespace {

double thread_cpu_ms()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s width height fps frames\n", argv[0]);
        return 2;
    }
    int w = std::atoi(argv[1]), h = std::atoi(argv[2]), fps = std::atoi(argv[3]);
    long frames = std::atol(argv[4]);
    ozi__scene *s = ozi__scene_create(w, h, fps, nullptr);
    if (!s || fps < 1 || frames < 1) {
        std::fprintf(stderr, "bad size or rate\n");
        return 2;
    }
    std::vector<uint8_t> pic((size_t)w * h * 3 / 2);
    std::printf("YUV4MPEG2 W%d H%d F%d:1 Ip A1:1 C420jpeg\n", w, h, fps);
    double cpu = 0;
    for (long i = 0; i < frames; i++) {
        double t0 = thread_cpu_ms();
        ozi__scene_render(s, (uint32_t)i, 1700000000 + i / fps, pic.data());
        cpu += thread_cpu_ms() - t0;
        std::fputs("FRAME\n", stdout);
        if (std::fwrite(pic.data(), 1, pic.size(), stdout) != pic.size())
            return 1;
    }
    ozi__scene_destroy(s);
    std::fprintf(stderr, "render_ms_per_frame %.3f\n", cpu / frames);
    return 0;
}
