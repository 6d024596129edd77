/*
 * ozi_scene.cpp - synthetic or file-backed pictures for the emulated sensor.
 *
 * Per-frame cost is kept small for a slow camera CPU: the background is
 * computed once per scene (one size), and each frame is one copy of it
 * plus a few small filled shapes and the clock.  A file scene decodes one
 * picture per frame and scales it straight to the scene's size.
 *
 * THREADS: none of its own; a scene object is used by one thread at a time.
 */
#include "ozi_scene.h"
#include "ozi_sdk.h"

#include <cmath>
#include <cstring>
#include <memory>
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

void fill_disc(const Canvas &c, int cx, int cy, int r, Color col)
{
    for (int dy = -r; dy <= r; dy += 2) {
        int half = (int)std::sqrt((double)(r * r - dy * dy));
        fill_rect(c, cx - half, cy + dy, cx + half, cy + dy + 2, col);
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

/* The looped video file of a file scene. */
struct FileSource {
    AVFormatContext *fmt = nullptr;
    AVCodecContext *dec = nullptr;
    SwsContext *sws = nullptr;
    AVPacket *pkt = nullptr;
    AVFrame *frame = nullptr;
    std::string path;
    int stream = -1;
    std::vector<uint8_t> last;  /* newest scaled picture, I420 */

    ~FileSource()
    {
        sws_freeContext(sws);
        av_frame_free(&frame);
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
    fs.dec = avcodec_alloc_context3(codec);
    if (!fs.dec ||
        avcodec_parameters_to_context(fs.dec, fs.fmt->streams[fs.stream]->codecpar) < 0)
        return false;
    fs.dec->thread_count = 1; /* decode cost stays in the capturing thread */
    return avcodec_open2(fs.dec, codec, nullptr) >= 0;
}

std::unique_ptr<FileSource> open_file(const char *path, int w, int h)
{
    std::unique_ptr<FileSource> fs(new FileSource);
    fs->path = path;
    fs->pkt = av_packet_alloc();
    fs->frame = av_frame_alloc();
    if (!fs->pkt || !fs->frame || !open_input(*fs))
        return nullptr;
    fs->last.assign((size_t)w * h * 3 / 2, 0);
    return fs;
}

/* Decodes the next picture of the file, rewinding at the end.  False when
 * none could be decoded even after a rewind. */
bool next_file_picture(FileSource &fs, int w, int h)
{
    for (int rewinds = 0; rewinds < 2;) {
        if (!fs.dec || !fs.fmt)
            return false; /* a rewind failed: keep showing the last picture */
        int rc = avcodec_receive_frame(fs.dec, fs.frame);
        if (rc == 0) {
            fs.sws = sws_getCachedContext(fs.sws, fs.frame->width, fs.frame->height,
                                          (AVPixelFormat)fs.frame->format, w, h,
                                          AV_PIX_FMT_YUV420P, SWS_FAST_BILINEAR, nullptr,
                                          nullptr, nullptr);
            if (!fs.sws) {
                av_frame_unref(fs.frame);
                return false;
            }
            uint8_t *dst[4];
            int stride[4];
            av_image_fill_arrays(dst, stride, fs.last.data(), AV_PIX_FMT_YUV420P, w, h, 1);
            sws_scale(fs.sws, fs.frame->data, fs.frame->linesize, 0, fs.frame->height, dst,
                      stride);
            av_frame_unref(fs.frame);
            return true;
        }
        if (rc == AVERROR_EOF) {
            /* End of file: start again from the beginning.  Reopening works
             * for every container, also those that cannot seek. */
            rewinds++;
            if (!open_input(fs))
                return false;
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

} // namespace

struct ozi__scene {
    int w = 0, h = 0, fps = 25;
    std::vector<uint8_t> background; /* synthetic background, I420 */
    std::unique_ptr<FileSource> file;
    bool file_shown = false; /* the file's first picture was rendered */
};

namespace {

void build_background(ozi__scene &s)
{
    s.background.resize((size_t)s.w * s.h * 3 / 2);
    Canvas c = canvas_of(s.background.data(), s.w, s.h);
    int cell = s.w / 40 > 8 ? s.w / 40 : 8;
    for (int y = 0; y < s.h; y++) {
        uint8_t *row = c.yp + (size_t)y * s.w;
        for (int x = 0; x < s.w; x++) {
            int base = 50 + 100 * (x + y) / (s.w + s.h);
            int tex = (int)(hash2((uint32_t)(x / cell), (uint32_t)(y / cell)) & 31) - 16;
            int fine = (int)(hash2((uint32_t)x, (uint32_t)y) & 7) - 4;
            row[x] = clamp_u8(base + tex + fine);
        }
    }
    int cw = s.w / 2, ch = s.h / 2;
    for (int y = 0; y < ch; y++)
        for (int x = 0; x < cw; x++) {
            c.up[(size_t)y * cw + x] = clamp_u8(113 + 30 * x / cw);
            c.vp[(size_t)y * cw + x] = clamp_u8(118 + 20 * y / ch);
        }
}

/* Three objects on fixed paths; t in seconds since the first frame. */
void draw_objects(const Canvas &c, double t)
{
    int w = c.w, h = c.h;
    int side = h / 8 > 4 ? h / 8 : 4;
    int sx = (int)(tri(t * 0.25) * (w - side));
    fill_rect(c, sx, h * 55 / 100, sx + side, h * 55 / 100 + side, Color{220, 100, 180});

    int r = h / 12 > 3 ? h / 12 : 3;
    int dx = w / 2 + (int)(0.3 * w * std::cos(t * 0.8));
    int dy = h / 2 + (int)(0.25 * h * std::sin(t * 0.8));
    fill_disc(c, dx, dy, r, Color{30, 160, 90});

    int bw = w / 40 > 2 ? w / 40 : 2, bh = h / 4;
    int by = (int)(tri(t * 0.4) * (h - bh));
    fill_rect(c, w * 8 / 10, by, w * 8 / 10 + bw, by + bh, Color{180, 60, 130});
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
        s->file = open_file(file, width, height);
        if (!s->file || !next_file_picture(*s->file, width, height)) {
            ozi_print(MODULE_ID_APP, LOG_LEVEL_NOTICE,
                      "[vi] scene file [%s] cannot be played, using the built-in scene\n",
                      file);
            s->file.reset();
        }
    }
    if (!s->file)
        build_background(*s);
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
        /* The first picture was decoded at creation; every later frame
         * shows the next one, whatever the caller's frame numbers are. */
        if (s->file_shown)
            next_file_picture(*s->file, s->w, s->h);
        s->file_shown = true;
        std::memcpy(i420, s->file->last.data(), s->file->last.size());
    } else {
        std::memcpy(i420, s->background.data(), s->background.size());
        draw_objects(canvas_of(i420, s->w, s->h), (double)index / s->fps);
    }
    int digit_h = s->h / 24 > 8 ? s->h / 24 : 8;
    ozi__draw_clock(i420, s->w, s->h, digit_h / 2, digit_h / 2, digit_h, wall);
}
