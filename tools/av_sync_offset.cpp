/*
 * av_sync_offset - measures A/V sync in a recording or a live stream from
 * its sync marks (see av_sync.h): a corner checker in one picture and a
 * 1 kHz tone that a source emits at the same instant, once a second.
 *
 * Usage: av_sync_offset [--json] [--seconds S] <file or URL>
 *
 * Decodes the first video and the first audio stream (up to S seconds of
 * media, default all; a live stream needs it), finds the marks in each,
 * pairs them, and prints one line per mark with the audio-minus-video
 * offset in ms, then a summary line.  With --json the same as one JSON
 * object.  Exit status 0 when at least one mark was paired, 1 when none
 * was, 2 when the input cannot be read.
 */
#include "av_sync.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace {

struct Options {
    bool json = false;
    double seconds = 0; /* 0: the whole input */
    const char *input = nullptr;
};

bool parse(int argc, char **argv, Options *o)
{
    for (int i = 1; i < argc; i++) {
        if (!std::strcmp(argv[i], "--json"))
            o->json = true;
        else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc)
            o->seconds = std::atof(argv[++i]);
        else if (argv[i][0] == '-' && argv[i][1] == '-')
            return false;
        else if (!o->input)
            o->input = argv[i];
        else
            return false;
    }
    return o->input && o->seconds >= 0;
}

struct Decoder {
    int index = -1;
    AVCodecContext *ctx = nullptr;
    AVRational tb{1, 1};
    ~Decoder() { avcodec_free_context(&ctx); }
};

bool open_decoder(AVFormatContext *fmt, AVMediaType type, Decoder *d)
{
    const AVCodec *codec = nullptr;
    d->index = av_find_best_stream(fmt, type, -1, -1, &codec, 0);
    if (d->index < 0 || !codec)
        return false;
    d->ctx = avcodec_alloc_context3(codec);
    if (!d->ctx ||
        avcodec_parameters_to_context(d->ctx, fmt->streams[d->index]->codecpar) < 0 ||
        avcodec_open2(d->ctx, codec, nullptr) < 0) {
        d->index = -1;
        return false;
    }
    d->tb = fmt->streams[d->index]->time_base;
    return true;
}

/* What the decoded streams hold, as the analysis needs it. */
struct Media {
    std::vector<double> scores, times; /* per picture */
    std::vector<float> pcm;            /* first channel, full scale 1.0 */
    int rate = 0;
    struct Segment {
        size_t first; /* index into pcm */
        double time;  /* of that sample, s */
    };
    std::vector<Segment> segments; /* one per decoded audio frame */
    SwsContext *sws = nullptr;
    std::vector<uint8_t> gray;
    ~Media() { sws_freeContext(sws); }

    /* Time of the (fractional) sample position `pos`. */
    double sample_time(double pos) const
    {
        const Segment *seg = &segments.front();
        for (const Segment &s : segments)
            if ((double)s.first <= pos)
                seg = &s;
        return seg->time + (pos - (double)seg->first) / rate;
    }
};

double frame_time(const AVFrame *f, AVRational tb, double fallback)
{
    int64_t ts = f->best_effort_timestamp;
    return ts == AV_NOPTS_VALUE ? fallback : ts * av_q2d(tb);
}

void take_picture(Media *m, const AVFrame *f, AVRational tb)
{
    const AVPixFmtDescriptor *desc = av_pix_fmt_desc_get((AVPixelFormat)f->format);
    const uint8_t *luma = f->data[0];
    int stride = f->linesize[0];
    bool direct = desc && !(desc->flags & AV_PIX_FMT_FLAG_RGB) &&
                  !(desc->flags & AV_PIX_FMT_FLAG_PAL) && desc->nb_components >= 1 &&
                  desc->comp[0].plane == 0 && desc->comp[0].depth == 8 &&
                  desc->comp[0].step == 1;
    if (!direct) {
        m->sws = sws_getCachedContext(m->sws, f->width, f->height, (AVPixelFormat)f->format,
                                      f->width, f->height, AV_PIX_FMT_GRAY8, SWS_POINT,
                                      nullptr, nullptr, nullptr);
        if (!m->sws)
            return;
        m->gray.resize((size_t)f->width * f->height);
        uint8_t *dst[4] = {m->gray.data(), nullptr, nullptr, nullptr};
        int dst_stride[4] = {f->width, 0, 0, 0};
        sws_scale(m->sws, f->data, f->linesize, 0, f->height, dst, dst_stride);
        luma = m->gray.data();
        stride = f->width;
    }
    double before = m->times.empty() ? 0 : m->times.back();
    m->times.push_back(frame_time(f, tb, before));
    m->scores.push_back(av_sync_mark_score(luma, stride, f->width, f->height));
}

int channels_of(const AVFrame *f)
{
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 24, 100)
    return f->ch_layout.nb_channels;
#else
    return f->channels;
#endif
}

/* Appends the first channel of `f` to m->pcm. */
void take_sound(Media *m, const AVFrame *f, AVRational tb)
{
    AVSampleFormat fmt = (AVSampleFormat)f->format;
    const bool planar = av_sample_fmt_is_planar(fmt) != 0;
    const int step = planar ? 1 : channels_of(f);
    const uint8_t *p = f->data[0];
    if (m->rate == 0)
        m->rate = f->sample_rate;
    double expected = 0; /* where the previous frame ends */
    if (!m->segments.empty())
        expected = m->segments.back().time +
                   (double)(m->pcm.size() - m->segments.back().first) / m->rate;
    m->segments.push_back({m->pcm.size(), frame_time(f, tb, expected)});
    for (int i = 0; i < f->nb_samples; i++) {
        size_t k = (size_t)i * (size_t)step;
        float v = 0;
        switch (av_get_packed_sample_fmt(fmt)) {
        case AV_SAMPLE_FMT_U8: v = ((int)p[k] - 128) / 128.0f; break;
        case AV_SAMPLE_FMT_S16: v = reinterpret_cast<const int16_t *>(p)[k] / 32768.0f; break;
        case AV_SAMPLE_FMT_S32: v = (float)(reinterpret_cast<const int32_t *>(p)[k] / 2147483648.0); break;
        case AV_SAMPLE_FMT_FLT: v = reinterpret_cast<const float *>(p)[k]; break;
        case AV_SAMPLE_FMT_DBL: v = (float)reinterpret_cast<const double *>(p)[k]; break;
        default: break;
        }
        m->pcm.push_back(v);
    }
}

void drain(Decoder *d, AVFrame *f, Media *m, bool video)
{
    while (avcodec_receive_frame(d->ctx, f) == 0) {
        if (video)
            take_picture(m, f, d->tb);
        else
            take_sound(m, f, d->tb);
        av_frame_unref(f);
    }
}

/* Decodes `o.input` into `m`; false when it cannot be opened. */
bool decode(const Options &o, Media *m)
{
    AVFormatContext *fmt = nullptr;
    if (avformat_open_input(&fmt, o.input, nullptr, nullptr) < 0)
        return false;
    if (avformat_find_stream_info(fmt, nullptr) < 0) {
        avformat_close_input(&fmt);
        return false;
    }
    Decoder vd, ad;
    open_decoder(fmt, AVMEDIA_TYPE_VIDEO, &vd);
    open_decoder(fmt, AVMEDIA_TYPE_AUDIO, &ad);
    AVPacket *pkt = av_packet_alloc();
    AVFrame *f = av_frame_alloc();
    double first = NAN;
    while (pkt && f && av_read_frame(fmt, pkt) >= 0) {
        Decoder *d = pkt->stream_index == vd.index ? &vd
                     : pkt->stream_index == ad.index ? &ad
                                                    : nullptr;
        if (d && pkt->pts != AV_NOPTS_VALUE && o.seconds > 0) {
            double t = pkt->pts * av_q2d(d->tb);
            if (std::isnan(first))
                first = t;
            if (t - first > o.seconds) {
                av_packet_unref(pkt);
                break;
            }
        }
        if (d && avcodec_send_packet(d->ctx, pkt) >= 0)
            drain(d, f, m, d == &vd);
        av_packet_unref(pkt);
    }
    for (Decoder *d : {&vd, &ad})
        if (d->index >= 0 && avcodec_send_packet(d->ctx, nullptr) >= 0)
            drain(d, f, m, d == &vd);
    av_frame_free(&f);
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    if (!parse(argc, argv, &o)) {
        std::fprintf(stderr, "usage: %s [--json] [--seconds S] <file or URL>\n", argv[0]);
        return 2;
    }
    av_log_set_level(AV_LOG_ERROR);
    avformat_network_init();
    Media m;
    if (!decode(o, &m)) {
        std::fprintf(stderr, "%s: cannot read %s\n", argv[0], o.input);
        return 2;
    }
    std::vector<double> video = av_sync_video_marks(m.scores, m.times);
    std::vector<double> audio;
    if (!m.pcm.empty() && m.rate > 0)
        for (double pos : av_sync_tone_starts(m.pcm, m.rate))
            audio.push_back(m.sample_time(pos));
    std::vector<av_sync_pair> pairs = av_sync_pair_marks(video, audio, 0.5);

    double sum = 0, lo = 0, hi = 0;
    for (size_t i = 0; i < pairs.size(); i++) {
        double d = pairs[i].offset_ms;
        sum += d;
        lo = i == 0 ? d : std::min(lo, d);
        hi = i == 0 ? d : std::max(hi, d);
    }
    double mean = pairs.empty() ? 0 : sum / (double)pairs.size();
    if (o.json) {
        std::printf("{\"video_marks\": %zu, \"audio_marks\": %zu, \"marks\": [", video.size(),
                    audio.size());
        for (size_t i = 0; i < pairs.size(); i++)
            std::printf("%s{\"video_s\": %.4f, \"audio_s\": %.4f, \"offset_ms\": %.1f}",
                        i ? ", " : "", pairs[i].video_s, pairs[i].audio_s,
                        pairs[i].offset_ms);
        std::printf("], \"paired\": %zu, \"mean_ms\": %.1f, \"min_ms\": %.1f, "
                    "\"max_ms\": %.1f}\n",
                    pairs.size(), mean, lo, hi);
    } else {
        for (size_t i = 0; i < pairs.size(); i++)
            std::printf("mark %zu: video %.3f s, audio %.3f s, offset %+.1f ms\n", i + 1,
                        pairs[i].video_s, pairs[i].audio_s, pairs[i].offset_ms);
        std::printf("summary: %zu video marks, %zu audio marks, %zu paired", video.size(),
                    audio.size(), pairs.size());
        if (!pairs.empty())
            std::printf(", offset mean %+.1f ms, min %+.1f ms, max %+.1f ms", mean, lo, hi);
        std::printf("\n");
    }
    return pairs.empty() ? 1 : 0;
}
