/*
 * mux_bench - figures of the container muxer on a 60 s segment of
 * 1080p-sized synthetic frames (2 Mbit/s, 25 fps, an I frame every 50)
 * with 8 kHz AAC:
 *   - bytes handed to the kernel per byte of media (record + side files),
 *   - CPU of the muxer calls per recorded hour,
 *   - ozi_mux_stop and ozi_mux_fix_file time on the 60 s segment.
 *
 * usage: mux_bench DIR   (files are written to and removed from DIR)
 */
#include "ozi_mux.h"
#include "ozi_sdk.h"

#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr int kSeconds = 60;
constexpr int kFps = 25;
constexpr int kGop = 50;
constexpr int kAudioMs = 128;

using Bytes = std::vector<uint8_t>;

struct Segment {
    std::vector<Bytes> video;
    std::vector<Bytes> audio;
    uint64_t media_bytes = 0;
};

void put_nal(Bytes *b, uint8_t header, size_t payload, std::mt19937 *rng)
{
    b->insert(b->end(), {0, 0, 0, 1, header});
    for (size_t i = 0; i < payload; i++)
        b->push_back(uint8_t(1 + (*rng)() % 255)); /* no start-code patterns */
}

/* 2 Mbit/s: I frames of 60 kB, P frames filling the rest. */
Segment make_segment()
{
    Segment s;
    std::mt19937 rng(1);
    const size_t per_second = 2000000 / 8;
    const size_t i_size = 60000;
    const size_t p_size = (per_second * kGop / kFps - i_size) / (kGop - 1);
    for (int i = 0; i < kSeconds * kFps; i++) {
        Bytes f;
        if (i % kGop == 0) {
            put_nal(&f, 0x67, 12, &rng);
            put_nal(&f, 0x68, 4, &rng);
            put_nal(&f, 0x65, i_size, &rng);
        } else {
            put_nal(&f, 0x41, p_size + rng() % 2000 - 1000, &rng);
        }
        s.media_bytes += f.size();
        s.video.push_back(std::move(f));
    }
    for (int j = 0; j < kSeconds * 1000 / kAudioMs; j++) {
        size_t len = 180 + rng() % 60;
        Bytes a = {0xFF, 0xF1, 0x6C, 0x40, uint8_t(len >> 3), uint8_t((len & 7) << 5 | 0x1F), 0xFC};
        a.resize(len, 0x21);
        s.media_bytes += a.size();
        s.audio.push_back(std::move(a));
    }
    return s;
}

double cpu_seconds()
{
    rusage u;
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double now_ms()
{
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return double(t.tv_sec) * 1e3 + double(t.tv_nsec) / 1e6;
}

/* Bytes this process has passed to write calls so far. */
long long written_bytes()
{
    FILE *f = fopen("/proc/self/io", "r");
    if (!f)
        return -1;
    char line[128];
    long long v = -1;
    while (fgets(line, sizeof line, f))
        if (std::sscanf(line, "wchar: %lld", &v) == 1)
            break;
    fclose(f);
    return v;
}

int open_muxer(ozi_mux_type type)
{
    ozi_mux_input in{};
    in.video_type = H264_ENC_TYPE;
    in.width = 1920;
    in.height = 1080;
    in.file_fps = kFps;
    in.capture_audio = 1;
    in.audio_type = OZI_AUDIO_TYPE_AAC;
    in.audio_attr = {AUDIO_SAMPLE_RATE_8000, 16, 1};
    in.frame_interval = kAudioMs;
    in.media_rec_type = type;
    in.data_dest = MUX_DATA_TO_LOCAL_FILE;
    in.record_second = kSeconds;
    int h = -1;
    return ozi_mux_open(&in, &h) == 0 ? h : -1;
}

/* Feeds the segment as the recorder does: each video frame, then the
 * audio whose time has come. */
void feed(int h, Segment &s)
{
    size_t j = 0;
    for (size_t i = 0; i < s.video.size(); i++) {
        video_stream v{};
        v.data = s.video[i].data();
        v.len = uint32_t(s.video[i].size());
        v.ts = 1000000 + i * (1000 / kFps);
        v.frame_type = i % kGop == 0 ? FRAME_TYPE_I : FRAME_TYPE_P;
        ozi_mux_add_video(h, &v);
        for (; j < s.audio.size() && 1000000 + j * kAudioMs <= v.ts; j++) {
            audio_stream a{};
            a.data = s.audio[j].data();
            a.len = uint32_t(s.audio[j].size());
            a.ts = 1000000 + j * kAudioMs;
            ozi_mux_add_audio(h, &a);
        }
    }
}

int run(ozi_mux_type type, const std::string &dir, Segment &seg, int64_t interval)
{
    const char *name = type == MUX_TYPE_MP4 ? "mp4" : "avi";
    std::string path = dir + "/mux_bench." + name;
    std::vector<char> p(path.begin(), path.end());
    p.push_back('\0');
    ozi_mux_start_param sp{};
    sp.file_path = p.data();
    ozi_mux_set_journal_interval(interval);

    /* 1. A whole segment, three times: bytes written, CPU, stop time
     * (medians). */
    int h = open_muxer(type);
    if (h < 0)
        return -1;
    std::vector<double> cpus, stops;
    double ratio = 0, file_ratio = 0;
    int rc = 0;
    for (int round = 0; round < 3; round++) {
        long long w0 = written_bytes();
        double c0 = cpu_seconds();
        if (ozi_mux_start(h, &sp) != 0)
            return -1;
        feed(h, seg);
        double t0 = now_ms();
        rc |= ozi_mux_stop(h);
        stops.push_back(now_ms() - t0);
        cpus.push_back(cpu_seconds() - c0);
        ratio = double(written_bytes() - w0) / double(seg.media_bytes);
        struct stat st;
        stat(path.c_str(), &st);
        file_ratio = double(st.st_size) / double(seg.media_bytes);
    }
    std::sort(cpus.begin(), cpus.end());
    std::sort(stops.begin(), stops.end());
    std::printf("%s journal every %4lld ms: %.4f bytes written per media byte "
                "(file %.4f), muxer CPU %.2f s per recorded hour, stop %.2f ms%s\n",
                name, (long long)interval, ratio, file_ratio, cpus[1] * 3600 / kSeconds,
                stops[1], rc ? " (stop FAILED)" : "");

    /* 2. The same segment left unstopped, then repaired from its side files. */
    if (ozi_mux_start(h, &sp) != 0)
        return -1;
    ozi_mux_set_journal_interval(0);
    feed(h, seg);
    ozi_mux_wait_synced(h);
    std::string rec = path + "_fix." + name;
    std::string cmd = "cp '" + path + "' '" + rec + "'";
    const char *exts[2] = {type == MUX_TYPE_MP4 ? ".moov" : ".idx", ".stbl"};
    int nside = type == MUX_TYPE_MP4 ? 2 : 1;
    for (int k = 0; k < nside; k++)
        cmd += " && cp '" + path + exts[k] + "' '" + rec + exts[k] + "'";
    if (std::system(cmd.c_str()) != 0)
        return -1;
    FILE *r = fopen(rec.c_str(), "rb+");
    FILE *a = fopen((rec + exts[0]).c_str(), "rb");
    FILE *b = nside > 1 ? fopen((rec + exts[1]).c_str(), "rb") : nullptr;
    mux_fileinfo info{};
    double t0 = now_ms();
    rc = type == MUX_TYPE_MP4 ? ozi_mux_fix_file(r, nullptr, a, b, type, &info)
                              : ozi_mux_fix_file(r, a, nullptr, nullptr, type, &info);
    double fix_ms = now_ms() - t0;
    std::printf("%s fix_file on a %d s segment: %.2f ms, total_ms %u%s\n", name, kSeconds,
                fix_ms, info.total_ms, rc ? " (FAILED)" : "");
    if (r)
        fclose(r);
    if (a)
        fclose(a);
    if (b)
        fclose(b);
    ozi_mux_close(h);
    unlink(path.c_str());
    unlink(rec.c_str());
    for (int k = 0; k < nside; k++) {
        unlink((path + exts[k]).c_str());
        unlink((rec + exts[k]).c_str());
    }
    ozi_mux_set_journal_interval(1000);
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    std::string dir = argc > 1 ? argv[1] : ".";
    Segment seg = make_segment();
    std::printf("segment: %d s, %zu video + %zu audio frames, %.1f MB of media\n", kSeconds,
                seg.video.size(), seg.audio.size(), double(seg.media_bytes) / 1e6);
    int rc = 0;
    for (ozi_mux_type t : {MUX_TYPE_MP4, MUX_TYPE_AVI})
        for (int64_t interval : {int64_t(1000), int64_t(0)})
            rc |= run(t, dir, seg, interval);
    return rc ? 1 : 0;
}
