/*
 * tvr_avsrc_audio.cpp - microphone input and the one AAC encoding channel.
 *
 * THREADS:
 *  - "thread_aenc": the worker while the channel runs.  It alone links
 *    and unlinks queue entries, under the queue's write lock; unlinking
 *    gives the stream back to the encoder.
 *  - the recorder's thread reads the queue under the read lock and sets an
 *    entry's flag once the frame is in the record file; the getter copies
 *    the oldest entry under the read lock.
 *  - rwlock_aenc_data_list guards list_head_aenc_data_list and its
 *    entries; mutex_ref_count guards ref_count, the lifecycle state and the
 *    transitions of aenc_handle (tvr_avsrc_priv.h).  No lock is held while
 *    another is taken.
 *
 * Drop policy: entries the recorder flagged leave at the worker's next
 * pass, whether or not the encoder has a new frame; beyond the cap (about
 * 4 s of audio and fewer entries than the encoder lends, see
 * tvr__aenc_queue_cap) the oldest unflagged entries are dropped, so a
 * channel that streams without recording, or a recorder without storage,
 * keeps bounded memory and the encoder never runs out of frames to lend.
 */
#include "tvr_avsrc_priv.h"
#include "tvr_lock.h"

#include <cstdlib>
#include <cstring>

namespace {

std::atomic<int> queue_cap_override{0};

/* Capture and encoding are always 16-bit mono at the configured rate. */
struct ozi_audio_data_attr mono16_attr(int sample_rate)
{
    struct ozi_audio_data_attr attr;
    std::memset(&attr, 0, sizeof attr);
    attr.sample_rate = static_cast<enum ozi_audio_sample_rate>(sample_rate);
    attr.sample_bits = 16;
    attr.channel_num = AUDIO_CHANNEL_MONO;
    return attr;
}

/* What the queue trim gives streams back to: the encoder, and a count of
 * the failed releases for a report once the queue lock is let go. */
struct release_ctx {
    int handle;
    int failed;
};

void release_to_encoder(aenc_stream_entry *entry, void *ctx)
{
    auto *c = static_cast<release_ctx *>(ctx);
    c->failed += tvr__release([&] { return ozi_aenc_release_stream(c->handle, &entry->stream); });
}

/* Gives every queued entry back to encoder `handle`; the worker is gone.
 * Returns the failed releases. */
int drain_queue(int handle)
{
    audio_chn_param *a = &tvr_avsrc->main_audio_param;
    release_ctx ctx = {handle, 0};
    tvr::Lock lock(&a->rwlock_aenc_data_list, tvr::Lock::write);
    tvr__aenc_queue_trim(&a->list_head_aenc_data_list, 0, release_to_encoder, &ctx);
    return ctx.failed;
}

const audio_conf *conf_now(void)
{
    return tvr_avsrc->audio_conf ? tvr_avsrc->audio_conf : tvr_get_audio_conf();
}

constexpr int kRetryMs = 10;

int release_pcm(int ai, struct frame *frame)
{
    return tvr__release([&] { return ozi_ai_release_frame(ai, frame); });
}

} // namespace

extern "C" int ozi_get_dev_buf_len(int sample_rate)
{
    if (sample_rate < 16000)
        return 512;
    if (sample_rate < 32000)
        return 1024;
    return 2048;
}

extern "C" int get_audio_frame_interval(int sample_rate, int sample_bits, int input_channel,
                                        int data_len)
{
    int bytes_per_sec = sample_rate * (sample_bits / 8) * input_channel;
    if (bytes_per_sec == 0)
        bytes_per_sec = 16000;
    int interval = static_cast<int>(static_cast<long long>(data_len) * 1000 / bytes_per_sec);
    return interval < 32 ? 32 : interval;
}

int tvr__aenc_queue_cap(int sample_rate)
{
    int forced = queue_cap_override.load();
    if (forced > 0)
        return forced;
    if (sample_rate <= 0)
        sample_rate = 8000;
    /* Frames of kAacSamplesPerFrame samples in kAudioQueueSeconds, rounded up. */
    long long frames = (static_cast<long long>(kAudioQueueSeconds) * sample_rate +
                        kAacSamplesPerFrame - 1) / kAacSamplesPerFrame + 1;
    if (frames > kAudioQueueMaxEntries)
        frames = kAudioQueueMaxEntries;
    return static_cast<int>(frames);
}

void tvr__aenc_set_queue_cap(int entries)
{
    queue_cap_override.store(entries > 0 ? entries : 0);
}

int tvr__aenc_queue_trim(struct list_head *head, int cap,
                         void (*release)(aenc_stream_entry *entry, void *ctx), void *ctx)
{
    int count = 0;
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, head) {
        aenc_stream_entry *e = list_entry(pos, aenc_stream_entry, list);
        if (e->flag) {
            list_del(pos);
            release(e, ctx);
            std::free(e);
        } else {
            count++;
        }
    }
    while (count > cap && !list_empty(head)) {
        aenc_stream_entry *oldest = list_first_entry(head, aenc_stream_entry, list);
        list_del(&oldest->list);
        release(oldest, ctx);
        std::free(oldest);
        count--;
    }
    return count;
}

/* ---- audio input -------------------------------------------------------- */

extern "C" int tvr_ozi_ai_init(void)
{
    tvr__log_block_version("ai", ozi_ai_get_version());

    const audio_conf *conf = conf_now();
    struct ozi_audio_in_param param;
    std::memset(&param, 0, sizeof param);
    param.pcm_data_attr = mono16_attr(conf->sample_rate);
    param.dev_id = DEV_ADC;

    if (ozi_ai_open(&param, &tvr_avsrc->ai_handle) != 0) {
        ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL, "*** ozi_ai_open failed. ***\n");
        tvr_avsrc->ai_handle = -1;
        return -1;
    }
    tvr_avsrc->ai_frame_interval = get_audio_frame_interval(
        conf->sample_rate, 16, 1, ozi_get_dev_buf_len(conf->sample_rate));

    int ai = tvr_avsrc->ai_handle;
    /* The microphone works without its processing: a refusal is reported
     * and bring-up goes on. */
    TVR_CHECK(ozi_ai_enable_nr(ai, conf->nr_enable));
    TVR_CHECK(ozi_ai_enable_agc(ai, conf->agc_enable));
    TVR_CHECK(ozi_ai_enable_aec(ai, conf->aec_enable));
    if (ozi_ai_set_source(ai, AI_SOURCE_MIC) != 0) {
        tvr_ozi_ai_exit();
        TVR_LOG(LOG_LEVEL_ERROR, "set ai source AI_SOURCE_MIC fail\n");
        return -1;
    }
    TVR_LOG(LOG_LEVEL_NORMAL, "set ai source AI_SOURCE_MIC success\n");
    TVR_CHECK(ozi_ai_set_gain(ai, conf->gain));
    return 0;
}

extern "C" void tvr_ozi_ai_exit(void)
{
    if (tvr_avsrc->ai_handle != -1) {
        TVR_CHECK(ozi_ai_close(tvr_avsrc->ai_handle));
        tvr_avsrc->ai_handle = -1;
    }
}

/* ---- encoding channel --------------------------------------------------- */

extern "C" void *tvr_mirel_aenc_start(void *chnid)
{
    int id = tvr__chn_from_name(static_cast<const char *>(chnid));
    if (id < 0)
        return nullptr;
    audio_chn_param *a = &tvr_avsrc->main_audio_param;
    int *worker_arg = id == tvr_avsrc->main_video_param.chnid
                          ? &tvr_avsrc->main_video_param.chnid
                          : &tvr_avsrc->sub_video_param.chnid;
    tvr__chn_life *life = tvr__audio_life();

    if (tvr__life_join_or_open(life) > 0)
        return &a->aenc_handle;

    tvr__log_block_version("aenc", ozi_aenc_get_version());

    const audio_conf *conf = conf_now();
    struct aenc_param param;
    std::memset(&param, 0, sizeof param);
    param.aenc_data_attr = mono16_attr(conf->sample_rate);
    param.type = OZI_AUDIO_TYPE_AAC; /* AAC whatever audio_conf.encoder says */

    int handle = -1;
    if (ozi_aenc_open(&param, &handle) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "ozi_aenc_open failed\n");
        tvr__life_opened(life, false);
        return nullptr;
    }
    struct aenc_attr attr;
    attr.aac_head = AENC_AAC_SAVE_FRAME_HEAD;
    if (ozi_aenc_set_attr(handle, &attr) != 0) {
        /* Without ADTS headers no consumer could frame the stream. */
        TVR_LOG(LOG_LEVEL_ERROR, "ozi_aenc_set_attr failed\n");
        TVR_CHECK(ozi_aenc_close(handle));
        tvr__life_opened(life, false);
        return nullptr;
    }
    tvr__life_set_handle(life, handle);

    if (ozi_ai_start_capture(tvr_avsrc->ai_handle) != 0 ||
        ozi_thread_create(&a->aenc_th, thread_aenc, worker_arg, 102400, -1) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "tvr_mirel_aenc_start failed\n");
        tvr__fatal_exit();
    }
    TVR_CHECK(ozi_thread_detach(a->aenc_th));
    tvr__life_opened(life, true);
    return &a->aenc_handle;
}

extern "C" void tvr_mirel_aenc_release(void *handle)
{
    audio_chn_param *a = &tvr_avsrc->main_audio_param;
    if (!handle || handle != &a->aenc_handle)
        return;
    tvr__chn_life *life = tvr__audio_life();
    if (tvr__life_leave(life, nullptr) != 0)
        return;

    /* Last user: the worker leaves after its current frame; then capture
     * stops, the queued entries go back and the encoder closes. */
    tvr__life_wait_worker(life);
    int value = tvr__life_handle(life);
    TVR_LOG_RELEASE("ozi_aenc_release_stream", drain_queue(value));
    TVR_CHECK(ozi_ai_stop_capture(tvr_avsrc->ai_handle));
    TVR_CHECK(ozi_aenc_close(value));
    tvr__life_set_handle(life, -1);
    tvr__life_closed(life);
}

extern "C" void tvr_mirel_get_astrm_data(void *handle, unsigned char *buff, unsigned int *size,
                                         unsigned long long *ts)
{
    if (!handle || !buff || !size || !ts)
        return;
    audio_chn_param *a = &tvr_avsrc->main_audio_param;
    *size = 0;
    const unsigned long long after = *ts;
    tvr::Lock lock(&a->rwlock_aenc_data_list, tvr::Lock::read);
    const aenc_stream_entry *e = nullptr;
    if (after == TVR_ASTRM_NEWEST) {
        if (!list_empty(&a->list_head_aenc_data_list))
            e = list_entry(a->list_head_aenc_data_list.prev, aenc_stream_entry, list);
    } else {
        struct list_head *pos;
        list_for_each(pos, &a->list_head_aenc_data_list) {
            const aenc_stream_entry *c = list_entry(pos, aenc_stream_entry, list);
            if (after == 0 || c->stream.ts > after) {
                e = c;
                break;
            }
        }
    }
    if (!e || e->stream.len == 0 || e->stream.len > DOVU_STREAM_BUF_SIZE)
        return;
    std::memcpy(buff, e->stream.data, e->stream.len);
    *size = e->stream.len;
    *ts = e->stream.ts;
}

extern "C" void *thread_aenc(void *param)
{
    (void)param; /* one audio channel whatever video channel started it */
    TVR_CHECK(ozi_thread_set_name("thread_aenc"));
    audio_chn_param *a = &tvr_avsrc->main_audio_param;
    tvr__chn_life *life = tvr__audio_life();
    const int handle = tvr__life_handle(life);
    const int ai = tvr_avsrc->ai_handle;
    const int cap = tvr__aenc_queue_cap(conf_now()->sample_rate);
    release_ctx trim_ctx = {handle, 0};

    while (life->run.load()) {
        struct frame frame;
        std::memset(&frame, 0, sizeof frame);
        if (ozi_ai_get_frame(ai, &frame, 0) != 0) {
            ozi_sleep_ms(kRetryMs);
            continue;
        }
        if (ozi_aenc_send_frame(handle, &frame, 0) != 0) {
            TVR_LOG(LOG_LEVEL_ERROR, "ozi_aenc_send_frame error\n");
            TVR_LOG_RELEASE("ozi_ai_release_frame", release_pcm(ai, &frame));
            continue;
        }
        TVR_LOG_RELEASE("ozi_ai_release_frame", release_pcm(ai, &frame));
        auto *entry = static_cast<aenc_stream_entry *>(std::calloc(1, sizeof(aenc_stream_entry)));
        if (!entry) {
            TVR_LOG(LOG_LEVEL_ERROR, "calloc failed\n");
            continue;
        }
        if (ozi_aenc_get_stream(handle, &entry->stream, 0) != 0) {
            std::free(entry);
            /* Entries the recorder took go back to the encoder now, not
             * at the next frame the encoder hands out: it lends only so
             * many, and while they are out it may hand out none. */
            {
                tvr::Lock lock(&a->rwlock_aenc_data_list, tvr::Lock::write);
                tvr__aenc_queue_trim(&a->list_head_aenc_data_list, cap, release_to_encoder,
                                     &trim_ctx);
            }
            TVR_LOG_RELEASE("ozi_aenc_release_stream", trim_ctx.failed);
            trim_ctx.failed = 0;
            ozi_sleep_ms(kRetryMs);
            continue;
        }
        {
            tvr::Lock lock(&a->rwlock_aenc_data_list, tvr::Lock::write);
            list_add_tail(&entry->list, &a->list_head_aenc_data_list);
            tvr__aenc_queue_trim(&a->list_head_aenc_data_list, cap, release_to_encoder,
                                 &trim_ctx);
        }
        TVR_LOG_RELEASE("ozi_aenc_release_stream", trim_ctx.failed);
        trim_ctx.failed = 0;
    }

    ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL, "%s exit\n", "thread_aenc");
    tvr__life_worker_exit(life);
    return nullptr;
}
