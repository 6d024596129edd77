/*
 * ozi_aenc.cpp - AAC encoder of the host platform (libavcodec's native
 * AAC-LC encoder).
 *
 * PCM frames are gathered until 1024 samples (one AAC frame) are there;
 * each block is encoded and every AAC frame that comes out is queued with
 * the time stamp of its first sample.  In steady state one AAC frame comes
 * out per 1024 samples sent (at 8000 Hz: one per four 512-byte PCM
 * frames).  The encoder's look-ahead and its leading padding frame put the
 * output two blocks behind the input: the frame of block j is ready once
 * block j + 2 is sent.  The padding frame holds no input sample and is not
 * handed out.  Frames carry a 7-byte ADTS header unless the attribute
 * says AENC_AAC_NO_FRAME_HEAD.  Every result owns its buffer until
 * released; several may be out at once, released in any order.
 *
 * THREADS: the daemon's audio worker sends and gets; open and close come
 * from other threads.  the table's mutex guards the handle table only;
 * AacEncoder::mutex guards one encoder.  Never nested: a call copies the
 * shared_ptr out of the table first.
 */
#include "ozi_aenc.h"
#include "ozi_core.h"
#include "ozi_handles.h"
#include "ozi_host.h"
#include "ozi_sdk.h"

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/channel_layout.h>
}

namespace {

constexpr int kMaxEnc = 4;
constexpr int kBlock = 1024;            /* samples per AAC frame */
constexpr size_t kMaxReady = 64;        /* encoded frames nobody fetched */
constexpr size_t kMaxLent = OZI_AENC_MAX_HELD; /* encoded frames fetched, not released */
constexpr size_t kMaxPending = 16 * kBlock; /* PCM samples waiting for a block */

struct Result {
    std::vector<unsigned char> bytes;
    uint64_t ts;
};

/* Time stamp of a run of buffered PCM samples. */
struct PcmSpan {
    uint64_t ts;    /* ms of the span's first sample */
    size_t samples; /* samples of the span still buffered */
};

struct AacEncoder {
    std::mutex mutex; /* guards every field below */
    bool open = false;
    int aac_head = AENC_AAC_SAVE_FRAME_HEAD;
    int rate = 8000;
    int object_type = 2, rate_index = 11, channels = 1; /* from the encoder's config */
    AVCodecContext *ctx = nullptr;
    AVFrame *frame = nullptr;
    AVPacket *pkt = nullptr;
    std::vector<int16_t> pcm;       /* buffered samples */
    std::deque<PcmSpan> spans;      /* time stamps of `pcm` */
    std::deque<std::pair<int64_t, uint64_t>> block_ts; /* pts of sent blocks -> ts */
    int64_t next_pts = 0;           /* in samples */
    std::deque<std::unique_ptr<Result>> ready;
    std::vector<std::unique_ptr<Result>> lent;
    uint32_t seq = 0;

    void free_all()
    {
        av_packet_free(&pkt);
        av_frame_free(&frame);
        avcodec_free_context(&ctx);
        ready.clear();
        lent.clear();
        open = false;
    }
    ~AacEncoder() { free_all(); }
};

ozi::HandleTable<AacEncoder, kMaxEnc> g_enc;

std::shared_ptr<AacEncoder> lookup(int handle)
{
    return g_enc.get(handle);
}

/* Reads object type, frequency index and channels from the encoder's
 * AudioSpecificConfig; keeps the defaults where it is missing. */
void read_config(AacEncoder &e)
{
    const uint8_t *x = e.ctx->extradata;
    if (e.ctx->extradata_size >= 2) {
        e.object_type = x[0] >> 3;
        e.rate_index = ((x[0] & 7) << 1) | (x[1] >> 7);
        e.channels = (x[1] >> 3) & 15;
    } else {
        e.object_type = e.ctx->profile >= 0 ? e.ctx->profile + 1 : 2;
        e.rate_index = ozi__adts_rate_index(e.rate);
        e.channels = 1;
    }
}

bool open_codec(AacEncoder &e)
{
    const AVCodec *codec = avcodec_find_encoder_by_name("aac");
    if (!codec)
        return false;
    e.ctx = avcodec_alloc_context3(codec);
    e.frame = av_frame_alloc();
    e.pkt = av_packet_alloc();
    if (!e.ctx || !e.frame || !e.pkt)
        return false;
    AVCodecContext *c = e.ctx;
    c->sample_rate = e.rate;
    c->sample_fmt = AV_SAMPLE_FMT_FLTP;
    av_channel_layout_default(&c->ch_layout, 1);
    c->bit_rate = 24000;
    c->time_base = AVRational{1, e.rate};
    c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER; /* extradata describes the stream */
    c->thread_count = 1;
    if (avcodec_open2(c, codec, nullptr) < 0)
        return false;
    if (c->frame_size != kBlock)
        return false;
    e.frame->format = AV_SAMPLE_FMT_FLTP;
    e.frame->nb_samples = kBlock;
    e.frame->sample_rate = e.rate;
    if (av_channel_layout_copy(&e.frame->ch_layout, &c->ch_layout) < 0 ||
        av_frame_get_buffer(e.frame, 0) < 0)
        return false;
    read_config(e);
    return ozi__adts_rate_index(e.rate) >= 0;
}

/* Takes every packet the encoder has ready into e.ready. */
bool drain_packets(AacEncoder &e)
{
    for (;;) {
        int rc = avcodec_receive_packet(e.ctx, e.pkt);
        if (rc == AVERROR(EAGAIN) || rc == AVERROR_EOF)
            return true;
        if (rc < 0)
            return false;
        int64_t pts = e.pkt->pts;
        while (!e.block_ts.empty() && e.block_ts.front().first < pts)
            e.block_ts.pop_front();
        if (pts < 0 || e.block_ts.empty() || e.block_ts.front().first != pts) {
            av_packet_unref(e.pkt); /* leading padding: no input sample in it */
            continue;
        }
        std::unique_ptr<Result> r(new Result);
        r->ts = e.block_ts.front().second;
        e.block_ts.pop_front();
        size_t head = e.aac_head == AENC_AAC_SAVE_FRAME_HEAD ? OZI__ADTS_HEADER_BYTES : 0;
        r->bytes.resize(head + (size_t)e.pkt->size);
        if (head &&
            ozi__adts_header(r->bytes.data(), e.object_type, e.rate_index, e.channels,
                             (size_t)e.pkt->size) != 0) {
            av_packet_unref(e.pkt);
            return false;
        }
        std::copy(e.pkt->data, e.pkt->data + e.pkt->size, r->bytes.begin() + (long)head);
        av_packet_unref(e.pkt);
        if (e.ready.size() >= kMaxReady)
            e.ready.pop_front(); /* nobody fetches: drop the oldest */
        e.ready.push_back(std::move(r));
    }
}

/* Encodes one block of kBlock samples from the front of e.pcm. */
bool encode_block(AacEncoder &e)
{
    if (av_frame_make_writable(e.frame) < 0)
        return false;
    float *dst = reinterpret_cast<float *>(e.frame->data[0]);
    for (int i = 0; i < kBlock; i++)
        dst[i] = (float)e.pcm[(size_t)i] / 32768.0f;
    uint64_t ts = e.spans.front().ts;
    e.pcm.erase(e.pcm.begin(), e.pcm.begin() + kBlock);
    /* Advance the span bookkeeping by one block. */
    size_t left = kBlock;
    while (left > 0 && !e.spans.empty()) {
        PcmSpan &s = e.spans.front();
        size_t take = s.samples < left ? s.samples : left;
        s.samples -= take;
        s.ts += (uint64_t)take * 1000u / (uint64_t)e.rate;
        left -= take;
        if (s.samples == 0)
            e.spans.pop_front();
    }
    e.frame->pts = e.next_pts;
    e.block_ts.emplace_back(e.next_pts, ts);
    e.next_pts += kBlock;
    if (avcodec_send_frame(e.ctx, e.frame) < 0)
        return false;
    return drain_packets(e);
}

} // namespace

extern "C" int ozi__adts_rate_index(int rate)
{
    static const int rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                22050, 16000, 12000, 11025, 8000,  7350};
    for (int i = 0; i < (int)(sizeof rates / sizeof rates[0]); i++)
        if (rates[i] == rate)
            return i;
    return -1;
}

/*
 *  syncword 12 | id 1 | layer 2 | protection_absent 1 | profile 2 |
 *  sampling_frequency_index 4 | private 1 | channel_configuration 3 |
 *  original 1 | home 1 | copyright_id_bit 1 | copyright_id_start 1 |
 *  frame_length 13 (header included) | buffer_fullness 11 | raw_blocks 2
 */
extern "C" int ozi__adts_header(uint8_t out[OZI__ADTS_HEADER_BYTES], int object_type,
                                int rate_index, int channels, size_t payload)
{
    size_t len = payload + OZI__ADTS_HEADER_BYTES;
    if (object_type < 1 || object_type > 4 || rate_index < 0 || rate_index > 12 ||
        channels < 0 || channels > 7 || len > 0x1fff)
        return -1;
    out[0] = 0xff;
    out[1] = 0xf1; /* MPEG-4, layer 0, no CRC */
    out[2] = (uint8_t)(((object_type - 1) << 6) | (rate_index << 2) | (channels >> 2));
    out[3] = (uint8_t)(((channels & 3) << 6) | (len >> 11));
    out[4] = (uint8_t)((len >> 3) & 0xff);
    out[5] = (uint8_t)(((len & 7) << 5) | 0x1f); /* buffer fullness 0x7ff: VBR */
    out[6] = 0xfc;
    return 0;
}

extern "C" int ozi_aenc_open(struct aenc_param *param, int *handle)
{
    if (ozi_host_should_fail("ozi_aenc_open"))
        return -1;
    if (!param || !handle || param->type != OZI_AUDIO_TYPE_AAC ||
        param->aenc_data_attr.sample_bits != 16 ||
        param->aenc_data_attr.channel_num != AUDIO_CHANNEL_MONO ||
        ozi__adts_rate_index((int)param->aenc_data_attr.sample_rate) < 0)
        return -1;
    ozi__media_libs_init();
    std::shared_ptr<AacEncoder> e = std::make_shared<AacEncoder>();
    {
        std::lock_guard<std::mutex> lock(e->mutex);
        e->rate = (int)param->aenc_data_attr.sample_rate;
        if (!open_codec(*e)) {
            ozi_print(MODULE_ID_APP, LOG_LEVEL_ERROR, "[aenc] aac encoder open failed\n");
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

/* Frees the encoder with every result still out. */
extern "C" int ozi_aenc_close(int handle)
{
    if (ozi_host_should_fail("ozi_aenc_close"))
        return -1;
    std::shared_ptr<AacEncoder> e = g_enc.take(handle);
    if (!e)
        return -1;
    std::lock_guard<std::mutex> lock(e->mutex);
    e->free_all();
    return 0;
}

extern "C" int ozi_aenc_set_attr(int handle, struct aenc_attr *attr)
{
    if (ozi_host_should_fail("ozi_aenc_set_attr"))
        return -1;
    std::shared_ptr<AacEncoder> e = lookup(handle);
    if (!e || !attr ||
        (attr->aac_head != AENC_AAC_SAVE_FRAME_HEAD && attr->aac_head != AENC_AAC_NO_FRAME_HEAD))
        return -1;
    std::lock_guard<std::mutex> lock(e->mutex);
    if (!e->open)
        return -1;
    e->aac_head = attr->aac_head;
    return 0;
}

/* Takes a copy of the PCM frame (16-bit mono); `ms` is ignored: sending
 * never waits. */
extern "C" int ozi_aenc_send_frame(int handle, struct frame *frame, long ms)
{
    (void)ms;
    if (ozi_host_should_fail("ozi_aenc_send_frame"))
        return -1;
    std::shared_ptr<AacEncoder> e = lookup(handle);
    if (!e || !frame || !frame->data || frame->len == 0 || (frame->len & 1))
        return -1;
    std::lock_guard<std::mutex> lock(e->mutex);
    if (!e->open)
        return -1;
    size_t n = frame->len / 2;
    if (e->pcm.size() + n > kMaxPending)
        return -1;
    const unsigned char *p = frame->data;
    for (size_t i = 0; i < n; i++)
        e->pcm.push_back((int16_t)(p[2 * i] | (p[2 * i + 1] << 8)));
    e->spans.push_back(PcmSpan{frame->ts, n});
    while (e->pcm.size() >= (size_t)kBlock)
        if (!encode_block(*e))
            return -1;
    return 0;
}

/* Hands out the oldest encoded frame; non-zero when none is ready.  `ms`
 * is ignored: frames are produced by ozi_aenc_send_frame. */
extern "C" int ozi_aenc_get_stream(int handle, struct audio_stream *stream, long ms)
{
    (void)ms;
    if (ozi_host_should_fail("ozi_aenc_get_stream"))
        return -1;
    std::shared_ptr<AacEncoder> e = lookup(handle);
    if (!e || !stream)
        return -1;
    std::lock_guard<std::mutex> lock(e->mutex);
    if (!e->open || e->ready.empty() || e->lent.size() >= kMaxLent)
        return -1;
    std::unique_ptr<Result> r = std::move(e->ready.front());
    e->ready.pop_front();
    stream->data = r->bytes.data();
    stream->len = (uint32_t)r->bytes.size();
    stream->ts = r->ts;
    stream->seq_no = e->seq++;
    e->lent.push_back(std::move(r));
    return 0;
}

extern "C" int ozi_aenc_release_stream(int handle, struct audio_stream *stream)
{
    if (ozi_host_should_fail("ozi_aenc_release_stream"))
        return -1;
    std::shared_ptr<AacEncoder> e = lookup(handle);
    if (!e || !stream || !stream->data)
        return -1;
    std::lock_guard<std::mutex> lock(e->mutex);
    for (size_t i = 0; i < e->lent.size(); i++) {
        if (e->lent[i]->bytes.data() == stream->data) {
            e->lent.erase(e->lent.begin() + (long)i);
            return 0;
        }
    }
    return -1;
}
