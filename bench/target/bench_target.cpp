/*
 * bench_target.cpp - per-call time of the three libraries' main work, for
 * the camera's CPU build run under qemu-arm (and natively on the host for
 * reference): ozi_vibe on a 640x360 luma frame, ozi_mrd on a 32x24 grid,
 * and libdovu's RTP packetiser on a 60 KB H.264 frame.  Self-contained (no
 * benchmark library exists for the target).  Prints one line per case:
 * name, calls, microseconds per call.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <vector>

#include "ozi_mrd.h"
#include "ozi_vibe.h"
#include "rtsp_rtp.h"

namespace {

uint64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

/* Runs fn(i) until at least min_ns have passed (and at least 3 calls),
 * then prints the mean time per call. */
template <typename Fn>
void measure(const char *name, uint64_t min_ns, Fn fn)
{
    fn(0); /* warm-up: first-touch of buffers, lazy binding */
    uint64_t calls = 0;
    const uint64_t start = now_ns();
    uint64_t elapsed = 0;
    do {
        fn(calls + 1);
        calls++;
        elapsed = now_ns() - start;
    } while (elapsed < min_ns || calls < 3);
    printf("%-34s %8llu calls %12.2f us/call\n", name, (unsigned long long)calls,
           double(elapsed) / 1000.0 / double(calls));
}

/* A textured scene with a square that moves 4 pixels per frame. */
void draw_frame(std::vector<uint8_t> &f, int w, int h, int n)
{
    for (int y = 0; y < h; y++)
        for (int x = 0; x < w; x++)
            f[size_t(y) * w + x] = uint8_t(60 + ((x / 8 + y / 8) % 2) * 20);
    const int sx = 40 + (n * 4) % (w - 120), sy = h / 3;
    for (int y = sy; y < sy + 64; y++)
        for (int x = sx; x < sx + 64; x++)
            f[size_t(y) * w + x] = uint8_t(200 + (x + y) % 40);
}

void emit_count(void *ctx, const rtp_packet *, int payload_size)
{
    *static_cast<uint64_t *>(ctx) += uint64_t(payload_size);
}

} // namespace

int main(int argc, char **argv)
{
    const double min_s = argc > 1 ? atof(argv[1]) : 1.0;
    const uint64_t min_ns = uint64_t(min_s * 1e9);

    /* vibe: a run of 16 prepared frames, cycled. */
    const int w = 640, h = 360, kFrames = 16;
    std::vector<std::vector<uint8_t>> frames(kFrames, std::vector<uint8_t>(size_t(w) * h));
    for (int i = 0; i < kFrames; i++)
        draw_frame(frames[i], w, h, i);
    vibe_handle_t *vh = ozi_vibe_init();
    vibe_box vboxes[VIBE_MAX_BOXES];
    int vibe_boxes = 0;
    measure("ozi_vibe 640x360 frame", min_ns, [&](uint64_t i) {
        vibe_boxes += ozi_vibe(vh, frames[i % kFrames].data(), h, w, vboxes);
    });
    ozi_vibe_destroy(vh);

    /* mrd: 32 x 24 grids with a moving active block over low noise. */
    const int kGrids = 16, rows = 24;
    std::vector<std::vector<uint16_t>> grids(kGrids, std::vector<uint16_t>(32 * rows));
    uint32_t seed = 1;
    for (int g = 0; g < kGrids; g++)
        for (int c = 0; c < 32 * rows; c++) {
            seed = seed * 1103515245u + 12345u;
            const int x = c % 32, y = c / 32, bx = (2 + g) % 28;
            const bool block = x >= bx && x < bx + 4 && y >= 8 && y < 12;
            grids[g][c] = uint16_t(block ? 20000 + (seed >> 20) : (seed >> 21) % 3000);
        }
    mrd_handle_t *mh = ozi_mrd_init();
    mrd_box mboxes[MRD_MAX_BOXES];
    int mrd_boxes = 0;
    measure("ozi_mrd 32x24 grid", min_ns, [&](uint64_t i) {
        mrd_boxes += ozi_mrd(mh, grids[i % kGrids].data(), rows, mboxes);
    });
    ozi_mrd_destroy(mh);

    /* dovu: SPS, PPS and a 60 KB IDR slice, cut into RTP packets. */
    std::vector<uint8_t> frame;
    const uint8_t sps[] = {0, 0, 0, 1, 0x67, 0x64, 0x00, 0x28, 0xac, 0xd9, 0x40, 0x78};
    const uint8_t pps[] = {0, 0, 0, 1, 0x68, 0xeb, 0xe3, 0xcb, 0x22, 0xc0};
    frame.insert(frame.end(), sps, sps + sizeof sps);
    frame.insert(frame.end(), pps, pps + sizeof pps);
    frame.insert(frame.end(), {0, 0, 0, 1, 0x65});
    for (int i = 0; i < 60000; i++)
        frame.push_back(uint8_t(1 + (i * 7) % 250)); /* no start code inside */
    rtp_header hdr;
    memset(&hdr, 0, sizeof hdr);
    hdr.rtp_version = 2;
    hdr.payload_type = 96;
    uint64_t last_ms = 0, bytes = 0;
    uint8_t last_ms_set = 0;
    rtp_video_state st = {&hdr, &last_ms, &last_ms_set};
    measure("rtp_packetize_h264 60 KB frame", min_ns, [&](uint64_t i) {
        rtp_packetize_h264(&st, frame.data(), frame.size(), i * 40, emit_count, &bytes);
    });
    /* Keeps the results alive, and shows the work was done. */
    printf("(vibe boxes %d, mrd boxes %d, RTP payload bytes %llu)\n", vibe_boxes, mrd_boxes,
           (unsigned long long)bytes);
    return 0;
}
