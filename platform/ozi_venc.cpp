/*
 * ozi_venc.cpp - H.264 encoder of the host platform (libx264 through
 * libavcodec).
 *
 * Each handle is one independent encoder.  It emits one Annex B access
 * unit per picture, with SPS and PPS before every IDR; an IDR comes every
 * goplen pictures exactly (no scene-cut key frames) or at the next picture
 * after ozi_venc_request_idr.  The encoder runs inside the calling thread
 * (one x264 thread, no lookahead, no B frames), so its CPU time counts to
 * the caller.  Every result owns its packet buffer until it is released:
 * several may be out at once and be released in any order.
 *
 * THREADS: any thread may call any handle.
 *   g_enc's mutex   guards the handle table: taken only to look a
 *                  handle up, to claim a slot or to empty one.
 *   Encoder::mutex guards everything in its Encoder; one encode, release
 *                  or close of a handle runs at a time.
 * Locks are never nested: a call copies the shared_ptr out of the table,
 * drops the table's mutex, then locks the encoder.
 */
#include "ozi_core.h"
#include "ozi_handles.h"
#include "ozi_host.h"
#include "ozi_sdk.h"

#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

namespace {

constexpr int kMaxEnc = 8;
constexpr size_t kMaxOutstanding = 16; /* the platform's stream buffer pool */
constexpr int kCbrBufferMs = 100;      /* decoder buffer of a CBR stream */

struct Encoder {
    std::mutex mutex; /* guards every field below */
    bool open = false;
    venc_param param{};
    AVCodecContext *ctx = nullptr;
    AVFrame *frame = nullptr;
    AVPacket *scratch = nullptr;
    std::vector<AVPacket *> lent; /* results not yet released */
    bool idr_requested = false;
    int64_t pts = 0;
    uint32_t seq = 0;

    void free_all()
    {
        for (AVPacket *p : lent)
            av_packet_free(&p);
        lent.clear();
        av_packet_free(&scratch);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        open = false;
    }
    ~Encoder() { free_all(); }
};

ozi::HandleTable<Encoder, kMaxEnc> g_enc;

std::shared_ptr<Encoder> lookup(int handle)
{
    return g_enc.get(handle);
}

/* 1 when the Annex B access unit holds an IDR slice (NAL type 5). */
bool has_idr(const uint8_t *p, size_t n)
{
    for (size_t i = 0; i + 3 < n; i++) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            if ((p[i + 3] & 0x1f) == 5)
                return true;
            i += 2;
        }
    }
    return false;
}

bool valid_param(const venc_param &p)
{
    return p.enc_out_type == H264_ENC_TYPE && p.width >= 16 && p.height >= 16 &&
           p.width <= 4096 && p.height <= 2304 && !(p.width & 1) && !(p.height & 1) &&
           p.fps >= 1 && p.fps <= 120 && p.target_kbps >= 1 && p.minqp <= 51 &&
           p.maxqp <= 51 && (p.maxqp == 0 || p.minqp <= p.maxqp) &&
           (p.profile == PROFILE_MAIN || p.profile == PROFILE_HIGH ||
            p.profile == PROFILE_BASE);
}

const char *profile_name(enum profile p)
{
    return p == PROFILE_HIGH ? "high" : p == PROFILE_BASE ? "baseline" : "main";
}

/* Sets up and opens the libavcodec context of `e` from e.param. */
bool open_codec(Encoder &e)
{
    const venc_param &p = e.param;
    const AVCodec *codec = avcodec_find_encoder_by_name("libx264");
    if (!codec)
        return false;
    e.ctx = avcodec_alloc_context3(codec);
    e.frame = av_frame_alloc();
    e.scratch = av_packet_alloc();
    if (!e.ctx || !e.frame || !e.scratch)
        return false;
    AVCodecContext *c = e.ctx;
    c->width = p.width;
    c->height = p.height;
    c->pix_fmt = AV_PIX_FMT_YUV420P;
    c->time_base = AVRational{1, p.fps};
    c->framerate = AVRational{p.fps, 1};
    int gop = p.goplen > 0 ? p.goplen : 2 * p.fps;
    c->gop_size = gop;
    c->keyint_min = gop;
    c->max_b_frames = 0;
    c->thread_count = 1;
    c->bit_rate = (int64_t)p.target_kbps * 1000;
    const bool cbr = p.br_mode == BR_MODE_CBR;
    if (cbr) {
        /* Constant bit rate as the decoder's buffer model sees it: the
         * stream arrives at exactly target_kbps and x264 writes filler
         * data whenever a picture would leave the buffer too full.  The
         * bits of any run of pictures then differ from the target by at
         * most the buffer's size, so a buffer of kCbrBufferMs keeps every
         * 2 s of stream within 5 % of the target. */
        c->rc_max_rate = c->bit_rate;
        c->rc_min_rate = c->bit_rate;
        c->rc_buffer_size = (int)(c->bit_rate * kCbrBufferMs / 1000);
    } else {
        int max_kbps = p.max_kbps > p.target_kbps ? p.max_kbps : p.target_kbps;
        c->rc_max_rate = (int64_t)max_kbps * 1000;
        c->rc_buffer_size = (int)c->rc_max_rate;
    }
    if (p.minqp > 0)
        c->qmin = p.minqp;
    if (p.maxqp > 0)
        c->qmax = p.maxqp;
    av_opt_set(c->priv_data, "preset", OZI_HOST_H264_PRESET, 0);
    av_opt_set(c->priv_data, "tune", "zerolatency", 0);
    av_opt_set(c->priv_data, "profile", profile_name(p.profile), 0);
    av_opt_set_int(c->priv_data, "forced-idr", 1, 0);
    if (cbr)
        av_opt_set(c->priv_data, "nal-hrd", "cbr", 0);
    char params[200];
    snprintf(params, sizeof params,
             "scenecut=0:keyint=%d:min-keyint=%d:rc-lookahead=0:sync-lookahead=0:"
             "sliced-threads=0:repeat-headers=1:annexb=1%s%s",
             gop, gop, p.profile == PROFILE_BASE ? "" : ":",
             p.profile == PROFILE_BASE ? "" : OZI_HOST_H264_MAIN_OPTS);
    av_opt_set(c->priv_data, "x264-params", params, 0);
    if (avcodec_open2(c, codec, nullptr) < 0)
        return false;
    e.frame->format = AV_PIX_FMT_YUV420P;
    e.frame->width = p.width;
    e.frame->height = p.height;
    return true;
}

void no_free(void *, uint8_t *)
{
}

} // namespace

/*
 * initqp is taken as given but not applied: x264's rate control picks its
 * own starting quantiser from the bit rate.  minqp/maxqp bound it; when
 * minqp keeps a CBR stream below its rate, filler data makes up the rest.
 */
extern "C" int ozi_venc_open(struct venc_param *param, int *handle)
{
    if (ozi_host_should_fail("ozi_venc_open"))
        return -1;
    if (!param || !handle || !valid_param(*param))
        return -1;
    ozi__media_libs_init();
    std::shared_ptr<Encoder> e = std::make_shared<Encoder>();
    {
        std::lock_guard<std::mutex> lock(e->mutex);
        e->param = *param;
        if (!open_codec(*e)) {
            ozi_print(MODULE_ID_VENC, LOG_LEVEL_ERROR, "[venc] h264 encoder open failed\n");
            return -1;
        }
        e->open = true;
    }
    int h = g_enc.put(std::move(e));
    if (h < 0)
        return -1; /* table full: the encoder is freed here */
    *handle = h;
    return 0;
}

/* Frees the encoder and every result still out: a caller must not use a
 * stream of this handle after closing it. */
extern "C" int ozi_venc_close(int handle)
{
    if (ozi_host_should_fail("ozi_venc_close"))
        return -1;
    std::shared_ptr<Encoder> e = g_enc.take(handle);
    if (!e)
        return -1;
    std::lock_guard<std::mutex> lock(e->mutex);
    e->free_all();
    return 0;
}

extern "C" int ozi_venc_encode_frame(int handle, const unsigned char *data, unsigned int len,
                                     void *mdinfo, struct video_stream *stream)
{
    (void)mdinfo; /* motion data of the ISP: not produced on the host */
    if (ozi_host_should_fail("ozi_venc_encode_frame"))
        return -1;
    std::shared_ptr<Encoder> e = lookup(handle);
    if (!e || !data || !stream)
        return -1;
    std::lock_guard<std::mutex> lock(e->mutex);
    if (!e->open)
        return -1;
    const int w = e->param.width, h = e->param.height;
    if (len < (unsigned)(w * h * 3 / 2))
        return -1;
    if (e->lent.size() >= kMaxOutstanding) {
        ozi_print(MODULE_ID_VENC, LOG_LEVEL_ERROR, "[venc] no free stream buffer\n");
        return -1;
    }
    AVFrame *f = e->frame;
    /* The picture is the caller's; x264 copies it, so it is only wrapped. */
    f->buf[0] = av_buffer_create(const_cast<uint8_t *>(data), len, no_free, nullptr,
                                 AV_BUFFER_FLAG_READONLY);
    if (!f->buf[0])
        return -1;
    av_image_fill_arrays(f->data, f->linesize, data, AV_PIX_FMT_YUV420P, w, h, 1);
    f->pts = e->pts++;
    f->pict_type = e->idr_requested ? AV_PICTURE_TYPE_I : AV_PICTURE_TYPE_NONE;
    e->idr_requested = false;
    int rc = avcodec_send_frame(e->ctx, f);
    av_buffer_unref(&f->buf[0]);
    if (rc < 0)
        return -1;
    rc = avcodec_receive_packet(e->ctx, e->scratch);
    if (rc < 0)
        return -1; /* cannot happen without lookahead; treated as a failure */
    AVPacket *out = av_packet_alloc();
    if (!out) {
        av_packet_unref(e->scratch);
        return -1;
    }
    av_packet_move_ref(out, e->scratch);
    e->lent.push_back(out);
    stream->data = out->data;
    stream->len = (uint32_t)out->size;
    stream->ts = ozi__now_ms();
    stream->seq_no = e->seq++;
    stream->frame_type = has_idr(out->data, (size_t)out->size) ? FRAME_TYPE_I : FRAME_TYPE_P;
    return 0;
}

/* Gives back the buffer of `stream`, found by its data pointer (callers
 * may have replaced ts and seq_no). */
extern "C" int ozi_venc_release_stream(int handle, struct video_stream *stream)
{
    if (ozi_host_should_fail("ozi_venc_release_stream"))
        return -1;
    std::shared_ptr<Encoder> e = lookup(handle);
    if (!e || !stream || !stream->data)
        return -1;
    std::lock_guard<std::mutex> lock(e->mutex);
    for (size_t i = 0; i < e->lent.size(); i++) {
        if (e->lent[i]->data == stream->data) {
            av_packet_free(&e->lent[i]);
            e->lent.erase(e->lent.begin() + (long)i);
            return 0;
        }
    }
    return -1;
}

extern "C" int ozi_venc_request_idr(int handle)
{
    if (ozi_host_should_fail("ozi_venc_request_idr"))
        return -1;
    std::shared_ptr<Encoder> e = lookup(handle);
    if (!e)
        return -1;
    std::lock_guard<std::mutex> lock(e->mutex);
    if (!e->open)
        return -1;
    e->idr_requested = true;
    return 0;
}
