/*
 * ozi_scene.cpp - synthetic or file-backed pictures for the emulated sensor.
 *
 * Per-frame cost is kept small for a slow camera CPU: the background and
 * the objects' pictures are drawn once per scene (one size); each frame
 * is one pass over the background that applies the light level and adds
 * noise read from precomputed tables, the objects copied in with the same
 * light and noise, and the clock.  A file scene decodes one picture per
 * frame and scales it straight to the scene's size.
 *
 * THREADS: none of its own.  A synthetic scene is read-only once built;
 * a file scene's own state (its scaler) is used under its file's mutex.
 *   g_files_mutex      guards g_files, the table of shared file sources; taken
 *                      only to find, open or drop an entry.
 *   FileSource::mutex  guards one shared file source: decoding and scaling
 *                      its pictures run under it.  Never taken with the
 *                      table's mutex held.
 */
#include "ozi_scene.h"
#include "ozi_sdk.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libswscale/swscale.h>
}

namespace {

uint8_t clamp_u8(int v)
{
    return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v);
}

uint32_t hash2(uint32_t x, uint32_t y)
{
    uint32_t h = x * 0x8da6b343u ^ y * 0xd8163841u;
    h ^= h >> 13;
    h *= 0x5bd1e995u;
    h ^= h >> 15;
    return h;
}

struct Color {
    uint8_t y, u, v;
};

/* A planar I420 picture being drawn on. */
struct Canvas {
    uint8_t *yp;
    uint8_t *up;
    uint8_t *vp;
    int w, h;
};

Canvas canvas_of(uint8_t *i420, int w, int h)
{
    Canvas c;
    c.yp = i420;
    c.up = i420 + (size_t)w * h;
    c.vp = c.up + (size_t)(w / 2) * (h / 2);
    c.w = w;
    c.h = h;
    return c;
}

/* Fills [x0, x1) x [y0, y1), clipped; chroma on the covered 2x2 blocks. */
void fill_rect(const Canvas &c, int x0, int y0, int x1, int y1, Color col)
{
    if (x0 < 0) x0 = 0;
    if (y0 < 0) y0 = 0;
    if (x1 > c.w) x1 = c.w;
    if (y1 > c.h) y1 = c.h;
    if (x0 >= x1 || y0 >= y1)
        return;
    for (int y = y0; y < y1; y++)
        std::memset(c.yp + (size_t)y * c.w + x0, col.y, (size_t)(x1 - x0));
    int cw = c.w / 2;
    int cx0 = x0 / 2, cx1 = (x1 + 1) / 2, cy0 = y0 / 2, cy1 = (y1 + 1) / 2;
    for (int y = cy0; y < cy1; y++) {
        std::memset(c.up + (size_t)y * cw + cx0, col.u, (size_t)(cx1 - cx0));
        std::memset(c.vp + (size_t)y * cw + cx0, col.v, (size_t)(cx1 - cx0));
    }
}

/* Triangle wave 0..1..0 with period 1. */
double tri(double t)
{
    double f = t - std::floor(t);
    return f < 0.5 ? 2 * f : 2 - 2 * f;
}

/* Seven-segment glyphs, bit 0 = a (top) ... bit 6 = g (middle). */
const uint8_t kSegments[10] = {0x3f, 0x06, 0x5b, 0x4f, 0x66, 0x6d, 0x7d, 0x07, 0x7f, 0x6f};

/* Draws one character of the clock; returns its advance in pixels. */
int draw_glyph(const Canvas &c, int x, int y, int dh, char ch, Color col)
{
    int dw = dh / 2;
    int t = dh / 8 > 0 ? dh / 8 : 1;
    int mid = y + dh / 2;
    if (ch == ':') {
        fill_rect(c, x, y + dh / 4, x + t, y + dh / 4 + t, col);
        fill_rect(c, x, y + 3 * dh / 4 - t, x + t, y + 3 * dh / 4, col);
        return 3 * t;
    }
    if (ch == ' ')
        return dw / 2 + 2 * t;
    uint8_t seg = 0;
    if (ch >= '0' && ch <= '9')
        seg = kSegments[ch - '0'];
    else if (ch == '-')
        seg = 0x40;
    if (seg & 0x01) fill_rect(c, x, y, x + dw, y + t, col);
    if (seg & 0x02) fill_rect(c, x + dw - t, y, x + dw, mid, col);
    if (seg & 0x04) fill_rect(c, x + dw - t, mid, x + dw, y + dh, col);
    if (seg & 0x08) fill_rect(c, x, y + dh - t, x + dw, y + dh, col);
    if (seg & 0x10) fill_rect(c, x, mid, x + t, y + dh, col);
    if (seg & 0x20) fill_rect(c, x, y, x + t, mid, col);
    if (seg & 0x40) fill_rect(c, x, mid - t / 2, x + dw, mid - t / 2 + t, col);
    return dw + 2 * t;
}

/*
 * The looped video file in front of the sensor.  One decoder per file
 * serves every scene (channel) that shows it, as one sensor feeds every
 * channel: pictures are decoded once, in order, and each scene scales the
 * one due at its capture time.  Picture k of the loop (counted over every
 * pass through the file) is due k / rate seconds after the first picture
 * anyone asked for; the newest kKeep pictures stay decoded for channels
 * that ask a little later than the others.
 */
struct FileSource {
    static constexpr int kKeep = 4;
    std::mutex mutex; /* guards every field below */
    std::string path;
    AVFormatContext *fmt = nullptr;
    AVCodecContext *dec = nullptr;
    AVPacket *pkt = nullptr;
    int stream = -1;
    double rate = 25;          /* pictures per second of the file */
    AVFrame *kept[kKeep] = {}; /* picture n is kept[n % kKeep] */
    int64_t newest = -1;       /* number of the newest decoded picture */
    bool have_origin = false;
    double origin = 0;         /* capture time of picture 0, s */
    bool broken = false;       /* a rewind failed: the newest picture stays */

    ~FileSource()
    {
        for (AVFrame *&f : kept)
            av_frame_free(&f);
        av_packet_free(&pkt);
        avcodec_free_context(&dec);
        avformat_close_input(&fmt);
    }
};

/* Opens (or, to rewind, reopens) the file's demuxer and decoder. */
bool open_input(FileSource &fs)
{
    avcodec_free_context(&fs.dec);
    avformat_close_input(&fs.fmt);
    if (avformat_open_input(&fs.fmt, fs.path.c_str(), nullptr, nullptr) < 0)
        return false;
    if (avformat_find_stream_info(fs.fmt, nullptr) < 0)
        return false;
    const AVCodec *codec = nullptr;
    fs.stream = av_find_best_stream(fs.fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (fs.stream < 0 || !codec)
        return false;
    AVRational r = av_guess_frame_rate(fs.fmt, fs.fmt->streams[fs.stream], nullptr);
    if (r.num > 0 && r.den > 0 && av_q2d(r) <= 240)
        fs.rate = av_q2d(r);
    fs.dec = avcodec_alloc_context3(codec);
    if (!fs.dec ||
        avcodec_parameters_to_context(fs.dec, fs.fmt->streams[fs.stream]->codecpar) < 0)
        return false;
    fs.dec->thread_count = 1; /* decode cost stays in the capturing thread */
    return avcodec_open2(fs.dec, codec, nullptr) >= 0;
}

/* Decodes the next picture of the file into the ring, rewinding at the
 * end.  False when none could be decoded even after a rewind. */
bool decode_next(FileSource &fs)
{
    for (int rewinds = 0; rewinds < 2 && !fs.broken;) {
        AVFrame *slot = fs.kept[(fs.newest + 1) % FileSource::kKeep];
        int rc = avcodec_receive_frame(fs.dec, slot);
        if (rc == 0) {
            fs.newest++;
            return true;
        }
        if (rc == AVERROR_EOF) {
            /* End of file: start again from the beginning.  Reopening works
             * for every container, also those that cannot seek. */
            rewinds++;
            if (!open_input(fs))
                fs.broken = true;
            continue;
        }
        if (rc != AVERROR(EAGAIN))
            return false;
        rc = av_read_frame(fs.fmt, fs.pkt);
        if (rc < 0) {
            avcodec_send_packet(fs.dec, nullptr); /* drain, then EOF */
            continue;
        }
        if (fs.pkt->stream_index == fs.stream)
            avcodec_send_packet(fs.dec, fs.pkt);
        av_packet_unref(fs.pkt);
    }
    return false;
}

/* The picture due at capture time `t` (s), decoding up to it.  The first
 * picture was decoded when the source was opened.  fs.mutex is held. */
const AVFrame *picture_at(FileSource &fs, double t)
{
    if (!fs.have_origin) {
        fs.origin = t;
        fs.have_origin = true;
    }
    int64_t want = (int64_t)std::floor((t - fs.origin) * fs.rate + 1e-6);
    if (want > fs.newest + (int64_t)fs.rate) {
        /* Far behind (the capture stalled): go on from the next picture
         * rather than decode every picture missed. */
        fs.origin = t - (double)(fs.newest + 1) / fs.rate;
        want = fs.newest + 1;
    }
    while (fs.newest < want && decode_next(fs)) {
    }
    int64_t n = std::min(std::max(want, fs.newest - FileSource::kKeep + 1), fs.newest);
    const AVFrame *f = fs.kept[std::max<int64_t>(n, 0) % FileSource::kKeep];
    if (!f->data[0]) /* the oldest one, given up for a decode that failed */
        f = fs.kept[fs.newest % FileSource::kKeep];
    return f;
}

/* Files shown by live scenes, by path. */
std::mutex g_files_mutex; /* guards g_files */
std::map<std::string, std::weak_ptr<FileSource>> g_files;

/* The shared source of `path`, opened with its first picture decoded;
 * null when the file cannot be played. */
std::shared_ptr<FileSource> share_file(const char *path)
{
    std::lock_guard<std::mutex> lock(g_files_mutex);
    std::shared_ptr<FileSource> fs = g_files[path].lock();
    if (fs)
        return fs;
    /* Not shared yet, so its own mutex is not needed while it opens. */
    fs = std::make_shared<FileSource>();
    fs->path = path;
    fs->pkt = av_packet_alloc();
    bool ok = fs->pkt != nullptr;
    for (AVFrame *&f : fs->kept)
        ok = ok && (f = av_frame_alloc()) != nullptr;
    if (!ok || !open_input(*fs) || !decode_next(*fs)) {
        g_files.erase(path);
        return nullptr;
    }
    g_files[path] = fs;
    return fs;
}

/* A pre-drawn moving object: luma with an opacity mask, one colour. */
struct Sprite {
    int w = 0, h = 0;
    std::vector<uint8_t> luma;
    std::vector<uint8_t> opaque; /* 1 where the object covers the pixel */
    uint8_t u = 128, v = 128;
};

} // namespace

struct ozi__scene {
    int w = 0, h = 0, fps = 25;
    std::vector<uint8_t> background; /* synthetic background, I420 */
    Sprite cart, ball, person;
    std::shared_ptr<FileSource> file;
    SwsContext *sws = nullptr; /* the file's pictures to this scene's size */
    ~ozi__scene() { sws_freeContext(sws); }
};

namespace {

/*
 * Temporal sensor noise.  Two tables of roughly Gaussian values (luma
 * sigma 2, chroma sigma 1 in 8-bit levels, about what an ISP leaves after
 * its noise filter in a lit room) are built once; each row of each frame
 * reads a run of one table from an offset hashed from the frame number
 * and the row, so a frame costs one hash per row pair and one add per
 * pixel.
 */
constexpr size_t kNoiseSpan = 1 << 16;
constexpr size_t kNoiseLen = kNoiseSpan + 8192; /* any row of the widest picture fits */

struct NoiseTables {
    int8_t luma[kNoiseLen];
    int8_t chroma[kNoiseLen];
    NoiseTables()
    {
        /* Sum of four uniform values: close to normal, sigma 1. */
        std::vector<double> unit(kNoiseLen + 2);
        for (size_t i = 0; i < unit.size(); i++) {
            int sum = 0;
            for (uint32_t k = 0; k < 4; k++)
                sum += (int)(hash2((uint32_t)i, 0x51ed27u + k) & 1023) - 512;
            unit[i] = sum / 1024.0 * std::sqrt(3.0);
        }
        const double ls = 2.0, cs = 1.0; /* sigma of luma and chroma */
        for (size_t i = 0; i < kNoiseLen; i++) {
            /* Demosaicing spreads a photosite's noise over its neighbours:
             * a [1 2 1] filter along the row, rescaled to sigma 1. */
            double g = (unit[i] + 2 * unit[i + 1] + unit[i + 2]) / std::sqrt(6.0);
            luma[i] = (int8_t)std::lround(std::max(-4 * ls, std::min(4 * ls, ls * g)));
            chroma[i] = (int8_t)std::lround(std::max(-4 * cs, std::min(4 * cs, cs * g)));
        }
    }
};

const NoiseTables &noise()
{
    static const NoiseTables *tables = new NoiseTables;
    return *tables;
}

/* The noise of row `row` of plane `plane` (0 Y, 1 U, 2 V) in frame `index`. */
const int8_t *noise_row(uint32_t index, int plane, int row)
{
    /* Rows go in pairs that read the same run one pixel apart: the grain
     * spans two rows as well as two columns. */
    uint32_t off =
        (hash2(index * 3u + (uint32_t)plane, (uint32_t)row >> 1) + ((uint32_t)row & 1)) &
        (kNoiseSpan - 1);
    return (plane == 0 ? noise().luma : noise().chroma) + off;
}

/* Luma of the lit background plus noise; kept simple for the vectoriser. */
void light_row(uint8_t *dst, const uint8_t *src, const int8_t *n, int len, int gain_q8)
{
    for (int x = 0; x < len; x++) {
        int v = ((src[x] * gain_q8 + 128) >> 8) + n[x];
        dst[x] = (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v);
    }
}

void noisy_row(uint8_t *dst, const uint8_t *src, const int8_t *n, int len)
{
    for (int x = 0; x < len; x++) {
        int v = src[x] + n[x];
        dst[x] = (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v);
    }
}

/* Smooth value noise in [0, 1): bilinear between hashed lattice points
 * `cell` units apart, with a smoothstep fade. */
double value_noise(double x, double y, double cell, uint32_t seed)
{
    double fx = x / cell, fy = y / cell;
    double ix = std::floor(fx), iy = std::floor(fy);
    double tx = fx - ix, ty = fy - iy;
    tx = tx * tx * (3 - 2 * tx);
    ty = ty * ty * (3 - 2 * ty);
    auto at = [&](double cx, double cy) {
        return (hash2((uint32_t)(int64_t)cx + seed, (uint32_t)(int64_t)cy ^ (seed * 7919u)) &
                0xffff) / 65536.0;
    };
    double a = at(ix, iy), b = at(ix + 1, iy), c = at(ix, iy + 1), d = at(ix + 1, iy + 1);
    return (a + (b - a) * tx) + ((c + (d - c) * tx) - (a + (b - a) * tx)) * ty;
}

/* Several octaves of value noise, in [0, 1). */
double fbm(double x, double y, double cell, int octaves, uint32_t seed)
{
    double sum = 0, amp = 0.5, norm = 0;
    for (int o = 0; o < octaves; o++) {
        sum += amp * value_noise(x, y, cell, seed + (uint32_t)o * 1013u);
        norm += amp;
        amp *= 0.5;
        cell *= 0.5;
    }
    return sum / norm;
}

/*
 * A smooth field f(sensor x, sensor y) over a scene of w x h pixels,
 * evaluated at every kStep-th pixel and interpolated between: the broad
 * shading of the room costs a sixteenth of evaluating it everywhere.
 */
class Coarse {
public:
    static constexpr int kStep = 4;
    template <typename F> Coarse(int w, int h, double k, F f)
    {
        gw_ = w / kStep + 2;
        gh_ = h / kStep + 2;
        v_.resize((size_t)gw_ * gh_);
        for (int gy = 0; gy < gh_; gy++)
            for (int gx = 0; gx < gw_; gx++)
                v_[(size_t)gy * gw_ + gx] =
                    (float)f((gx * kStep + 0.5) * k, (gy * kStep + 0.5) * k);
    }
    /* The field at scene pixel (x, y). */
    double at(int x, int y) const
    {
        int gx = x / kStep, gy = y / kStep;
        double tx = (double)(x % kStep) / kStep, ty = (double)(y % kStep) / kStep;
        const float *r0 = &v_[(size_t)gy * gw_ + gx], *r1 = r0 + gw_;
        double top = r0[0] + (r0[1] - r0[0]) * tx, bottom = r1[0] + (r1[1] - r1[0]) * tx;
        return top + (bottom - top) * ty;
    }

private:
    int gw_ = 0, gh_ = 0;
    std::vector<float> v_;
};

/*
 * The room in front of the camera, laid out on the 1920x1080 sensor and
 * sampled at the scene's size: a plastered wall with a window and a
 * picture, a tiled floor, and fine static texture everywhere.
 */
void build_background(ozi__scene &s)
{
    s.background.resize((size_t)s.w * s.h * 3 / 2);
    Canvas c = canvas_of(s.background.data(), s.w, s.h);
    const double k = 1920.0 / s.w; /* sensor pixels per scene pixel */
    const double horizon = 0.62 * 1080;
    const Coarse wall(s.w, s.h, k, [](double x, double y) { return fbm(x, y, 256, 4, 11); });
    const Coarse sky(s.w, s.h, k, [](double x, double y) { return fbm(x, y, 128, 3, 23); });
    const Coarse art(s.w, s.h, k, [](double x, double y) { return fbm(x, y, 64, 3, 31); });
    const Coarse art2(s.w, s.h, k, [](double x, double y) { return fbm(x, y, 32, 2, 37); });
    const Coarse floor(s.w, s.h, k, [](double x, double y) { return fbm(x, y, 96, 3, 41); });
    for (int y = 0; y < s.h; y++) {
        uint8_t *row = c.yp + (size_t)y * s.w;
        double sy = (y + 0.5) * k;
        for (int x = 0; x < s.w; x++) {
            double sx = (x + 0.5) * k;
            double v;
            if (sy < horizon) {
                /* Wall: broad shading, blotches and fine plaster grain. */
                v = 105 + 30 * sx / 1920 + 40 * (wall.at(x, y) - 0.5) +
                    14 * (value_noise(sx, sy, 3, 5) - 0.5);
                bool window = sx > 1180 && sx < 1620 && sy > 120 && sy < 520;
                bool frame = sx > 1160 && sx < 1640 && sy > 100 && sy < 540;
                bool bar = std::fabs(sx - 1400) < 8 || std::fabs(sy - 320) < 8;
                if (window)
                    v = bar ? 45 : 190 + 35 * (sky.at(x, y) - 0.5);
                else if (frame)
                    v = 50 + 10 * (value_noise(sx, sy, 4, 9) - 0.5);
                bool picture = sx > 260 && sx < 640 && sy > 180 && sy < 430;
                if (picture)
                    v = 70 + 80 * ((int)(sx / 7) & 1) * art.at(x, y) +
                        40 * (art2.at(x, y) - 0.5);
            } else {
                /* Floor: tiles that shrink towards the wall, with grout. */
                double depth = (sy - horizon) / (1080 - horizon); /* 0 far, 1 near */
                double tile = 40 + 160 * depth;
                double u = (sx - 960) / tile, w = sy / (20 + 40 * depth);
                bool grout = std::fabs(u - std::round(u)) < 0.04 ||
                             std::fabs(w - std::round(w)) < 0.05;
                int parity = ((int)std::floor(u) + (int)std::floor(w)) & 1;
                v = grout ? 55 : 85 + 18 * parity + 30 * (floor.at(x, y) - 0.5);
                v += 10 * (value_noise(sx, sy, 2.5, 43) - 0.5);
            }
            row[x] = clamp_u8((int)std::lround(v));
        }
    }
    int cw = s.w / 2, ch = s.h / 2;
    const Coarse tints(cw, ch, 2 * k, [](double x, double y) { return fbm(x, y, 320, 2, 53); });
    for (int y = 0; y < ch; y++) {
        double sy = (2 * y + 1) * k;
        for (int x = 0; x < cw; x++) {
            double sx = (2 * x + 1) * k;
            double tint = 8 * (tints.at(x, y) - 0.5);
            int u, v;
            if (sy >= horizon) {
                u = 122; v = 134; /* warm wooden floor */
            } else if (sx > 1160 && sx < 1640 && sy > 100 && sy < 540) {
                u = 136; v = 120; /* daylight through the window */
            } else {
                u = 124; v = 130;
            }
            c.up[(size_t)y * cw + x] = clamp_u8(u + (int)tint);
            c.vp[(size_t)y * cw + x] = clamp_u8(v - (int)tint);
        }
    }
}

/* Draws the objects' shapes and texture once, at the scene's size. */
void build_sprites(ozi__scene &s)
{
    const double k = 1920.0 / s.w;
    auto make = [&](Sprite &sp, double sw, double sh, uint8_t u, uint8_t v,
                    double (*shade)(double, double, bool *)) {
        sp.w = std::max(2, (int)(sw / k)) & ~1;
        sp.h = std::max(2, (int)(sh / k)) & ~1;
        sp.u = u;
        sp.v = v;
        sp.luma.assign((size_t)sp.w * sp.h, 0);
        sp.opaque.assign((size_t)sp.w * sp.h, 0);
        for (int y = 0; y < sp.h; y++)
            for (int x = 0; x < sp.w; x++) {
                bool in = false;
                double val = shade((x + 0.5) / sp.w, (y + 0.5) / sp.h, &in);
                sp.luma[(size_t)y * sp.w + x] = clamp_u8((int)std::lround(val));
                sp.opaque[(size_t)y * sp.w + x] = in ? 1 : 0;
            }
    };
    /* A cart: a box with planks and two dark wheels. */
    make(s.cart, 230, 150, 110, 160, [](double x, double y, bool *in) {
        bool wheel = y > 0.78 && (std::hypot(x - 0.2, y - 0.86) < 0.12 ||
                                  std::hypot(x - 0.8, y - 0.86) < 0.12);
        *in = y < 0.8 || wheel;
        if (wheel)
            return 30.0;
        double plank = std::fmod(y * 6, 1.0) < 0.1 ? -35 : 0;
        return 150 + plank + 40 * (value_noise(x * 230, y * 150, 6, 61) - 0.5);
    });
    /* A ball, lit from the top left. */
    make(s.ball, 110, 110, 90, 100, [](double x, double y, bool *in) {
        double r = std::hypot(x - 0.5, y - 0.5);
        *in = r < 0.5;
        return 200 - 150 * std::hypot(x - 0.35, y - 0.3);
    });
    /* A person: head, striped shirt, dark trousers. */
    make(s.person, 120, 400, 120, 140, [](double x, double y, bool *in) {
        bool head = std::hypot((x - 0.5) * 0.3, y - 0.07) < 0.065;
        bool body = y > 0.14 && y < 0.58 && std::fabs(x - 0.5) < 0.45 - 0.1 * (y - 0.14);
        bool legs = y >= 0.58 && (std::fabs(x - 0.33) < 0.14 || std::fabs(x - 0.67) < 0.14);
        *in = head || body || legs;
        if (head)
            return 170.0;
        if (body)
            return std::fmod(y * 28, 1.0) < 0.5 ? 200.0 : 80.0;
        return 45 + 20 * value_noise(x * 120, y * 400, 5, 71);
    });
}

/*
 * Draws `sp` with its top-left corner at (x0, y0), lit by `gain_q8`, with
 * the same sensor noise as the background under it.  Clipped.
 */
void draw_sprite(const Canvas &c, const Sprite &sp, int x0, int y0, int gain_q8,
                 uint32_t index)
{
    x0 &= ~1;
    y0 &= ~1;
    for (int y = std::max(0, -y0); y < sp.h && y0 + y < c.h; y++) {
        const int8_t *n = noise_row(index, 0, y0 + y);
        uint8_t *dst = c.yp + (size_t)(y0 + y) * c.w;
        const uint8_t *src = &sp.luma[(size_t)y * sp.w];
        const uint8_t *op = &sp.opaque[(size_t)y * sp.w];
        for (int x = std::max(0, -x0); x < sp.w && x0 + x < c.w; x++) {
            if (!op[x])
                continue;
            int v = ((src[x] * gain_q8 + 128) >> 8) + n[x0 + x];
            dst[x0 + x] = clamp_u8(v);
        }
    }
    int cw = c.w / 2;
    for (int y = std::max(0, -y0 / 2); 2 * y < sp.h && y0 / 2 + y < c.h / 2; y++)
        for (int x = std::max(0, -x0 / 2); 2 * x < sp.w && x0 / 2 + x < cw; x++)
            if (sp.opaque[(size_t)(2 * y) * sp.w + 2 * x]) {
                size_t at = (size_t)(y0 / 2 + y) * cw + x0 / 2 + x;
                c.up[at] = sp.u;
                c.vp[at] = sp.v;
            }
}

/* Light level in 1/256: a slow drift of a few percent, as daylight
 * through a window changes. */
int light_gain_q8(double t)
{
    const double two_pi = 6.283185307179586;
    return (int)std::lround(256 * (1 + 0.06 * std::sin(two_pi * t / 47) +
                                   0.025 * std::sin(two_pi * t / 13)));
}

/* Frame `index` of the synthetic scene, without the clock. */
void render_synthetic(const ozi__scene &s, uint32_t index, uint8_t *i420)
{
    const double t = (double)index / s.fps;
    const int gain = light_gain_q8(t);
    Canvas c = canvas_of(i420, s.w, s.h);
    const uint8_t *by = s.background.data();
    for (int y = 0; y < s.h; y++)
        light_row(c.yp + (size_t)y * s.w, by + (size_t)y * s.w, noise_row(index, 0, y), s.w,
                  gain);
    const int cw = s.w / 2, ch = s.h / 2;
    const uint8_t *bu = by + (size_t)s.w * s.h, *bv = bu + (size_t)cw * ch;
    for (int y = 0; y < ch; y++) {
        noisy_row(c.up + (size_t)y * cw, bu + (size_t)y * cw, noise_row(index, 1, y), cw);
        noisy_row(c.vp + (size_t)y * cw, bv + (size_t)y * cw, noise_row(index, 2, y), cw);
    }
    /* Paths in sensor pixels, scaled to the scene. */
    const double k = 1920.0 / s.w;
    auto at = [&](const Sprite &sp, double sx, double sy) {
        draw_sprite(c, sp, (int)(sx / k) - sp.w / 2, (int)(sy / k) - sp.h / 2, gain, index);
    };
    at(s.person, 300 + 1300 * tri(t / 24), 700 + 6 * std::fabs(std::sin(t * 5.5)));
    at(s.cart, 150 + 1620 * tri(t / 9 + 0.3), 940);
    at(s.ball, 960 + 520 * std::cos(t * 0.9), 560 + 260 * std::sin(t * 1.3));
}

} // namespace

extern "C" void ozi__draw_clock(uint8_t *i420, int width, int height, int x, int y,
                                int digit_h, time_t wall)
{
    if (!i420 || width < 2 || height < 2 || digit_h < 4)
        return;
    struct tm tm;
    localtime_r(&wall, &tm);
    char text[80];
    snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", tm.tm_year + 1900,
             tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec);
    Canvas c = canvas_of(i420, width, height);
    Canvas probe = c;
    probe.w = probe.h = 0; /* measures without drawing: everything is clipped */
    int advance = 0;
    for (const char *p = text; *p; p++)
        advance += draw_glyph(probe, 0, 0, digit_h, *p, Color{0, 0, 0});
    int margin = digit_h / 4;
    fill_rect(c, x, y, x + advance + 2 * margin, y + digit_h + 2 * margin, Color{16, 128, 128});
    int cx = x + margin;
    for (const char *p = text; *p; p++)
        cx += draw_glyph(c, cx, y + margin, digit_h, *p, Color{235, 128, 128});
}

extern "C" void ozi__scene_draw_sync_mark(uint8_t *i420, int width, int height)
{
    if (!i420 || width < 16 || height < 16)
        return;
    Canvas c = canvas_of(i420, width, height);
    int qw = std::max(2, width / 16) & ~1, qh = std::max(2, height / 16) & ~1;
    int x0 = width - 2 * qw, y0 = 0;
    const Color white{235, 128, 128}, black{16, 128, 128};
    fill_rect(c, x0, y0, x0 + qw, y0 + qh, white);
    fill_rect(c, x0 + qw, y0, x0 + 2 * qw, y0 + qh, black);
    fill_rect(c, x0, y0 + qh, x0 + qw, y0 + 2 * qh, black);
    fill_rect(c, x0 + qw, y0 + qh, x0 + 2 * qw, y0 + 2 * qh, white);
}

extern "C" struct ozi__scene *ozi__scene_create(int width, int height, int fps,
                                                const char *file)
{
    if (width < 16 || height < 16 || (width & 1) || (height & 1) || width > 8192 ||
        height > 8192)
        return nullptr;
    std::unique_ptr<ozi__scene> s(new (std::nothrow) ozi__scene);
    if (!s)
        return nullptr;
    s->w = width;
    s->h = height;
    s->fps = fps > 0 ? fps : 25;
    if (file && *file) {
        s->file = share_file(file);
        if (!s->file) {
            ozi_print(MODULE_ID_APP, LOG_LEVEL_NOTICE,
                      "[vi] scene file [%s] cannot be played, using the built-in scene\n",
                      file);
            s->file.reset();
        }
    }
    if (!s->file) {
        build_background(*s);
        build_sprites(*s);
    }
    return s.release();
}

extern "C" void ozi__scene_destroy(struct ozi__scene *scene)
{
    delete scene;
}

extern "C" int ozi__scene_is_file(const struct ozi__scene *scene)
{
    return scene && scene->file ? 1 : 0;
}

extern "C" void ozi__scene_render(struct ozi__scene *s, uint32_t index, time_t wall,
                                  uint8_t *i420)
{
    if (!s || !i420)
        return;
    if (s->file) {
        std::lock_guard<std::mutex> lock(s->file->mutex);
        const AVFrame *f = picture_at(*s->file, (double)index / s->fps);
        s->sws = sws_getCachedContext(s->sws, f->width, f->height, (AVPixelFormat)f->format,
                                      s->w, s->h, AV_PIX_FMT_YUV420P, SWS_FAST_BILINEAR,
                                      nullptr, nullptr, nullptr);
        if (s->sws) {
            uint8_t *dst[4];
            int stride[4];
            av_image_fill_arrays(dst, stride, i420, AV_PIX_FMT_YUV420P, s->w, s->h, 1);
            sws_scale(s->sws, f->data, f->linesize, 0, f->height, dst, stride);
        } else {
            std::memset(i420, 0x80, (size_t)s->w * s->h * 3 / 2);
        }
    } else {
        render_synthetic(*s, index, i420);
    }
    int digit_h = s->h / 24 > 8 ? s->h / 24 : 8;
    ozi__draw_clock(i420, s->w, s->h, digit_h / 2, digit_h / 2, digit_h, wall);
}
