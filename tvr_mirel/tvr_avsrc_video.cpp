/*
 * tvr_avsrc_video.cpp - video input bring-up and the two H.264 encoding
 * channels (main 0, sub 1), each with a worker thread that captures,
 * encodes and publishes each frame in the channel's queue.
 *
 * THREADS:
 *  - "thread_venc_main" / "thread_venc_sub": one worker per running
 *    channel.  Only the worker links and unlinks queue entries, under the
 *    queue's write lock; unlinking gives the stream back to the encoder.
 *  - consumers (streaming library threads through tvr_mirel_get_vstrm_data,
 *    the recorder's thread) hold the read lock while they look and copy.
 *  - starts and releases come from any thread; the first start and the
 *    last release are serialised by the channel lifecycle (tvr_avsrc_priv.h).
 *  - rwlock_venc_data_list guards list_head_venc_data_list, the entries
 *    in it and `keepers`; mutex_ref_count guards ref_count, the lifecycle
 *    state and the transitions of venc_handle.  No lock is held while
 *    another is taken.  `key_taken` is atomic: the getter sets it when it
 *    copies an I frame, the worker reads and clears it.
 *
 * Drop policy: viewers get the newest frame (the queue's last entry); one
 * that polls slower than the frame rate misses frames, and the encoder
 * never waits.  While nobody keeps frames the queue holds only that newest
 * frame.  While the recorder keeps frames, those it has not taken stay
 * queued, up to kVideoKeepMaxEntries (the encoder lends only so many
 * streams); beyond that the oldest go, and the recorder sees the step in
 * the entries' `order` and resumes at the next I frame.
 */
#include "tvr_avsrc_priv.h"
#include "tvr_lock.h"

#include <cstdlib>
#include <cstring>

namespace {

video_chn_param *chn_by_id(int chnid)
{
    if (chnid == tvr_avsrc->main_video_param.chnid)
        return &tvr_avsrc->main_video_param;
    if (chnid == tvr_avsrc->sub_video_param.chnid)
        return &tvr_avsrc->sub_video_param;
    return nullptr;
}

video_chn_param *chn_by_handle(void *handle)
{
    if (handle == &tvr_avsrc->main_video_param.venc_handle)
        return &tvr_avsrc->main_video_param;
    if (handle == &tvr_avsrc->sub_video_param.venc_handle)
        return &tvr_avsrc->sub_video_param;
    return nullptr;
}

int release_stream(int handle, struct video_stream *stream)
{
    return tvr__release([&] { return ozi_venc_release_stream(handle, stream); });
}

/* Unlinks every queued entry, gives its stream back to encoder `handle`
 * and frees it.  Called by the worker before it closes the encoder, and by
 * the last release once the worker is gone.  Returns the failed releases. */
int drain_queue(video_chn_param *chn, int handle)
{
    int failed = 0;
    tvr::Lock lock(&chn->rwlock_venc_data_list, tvr::Lock::write);
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, &chn->list_head_venc_data_list) {
        venc_stream_entry *e = list_entry(pos, venc_stream_entry, list);
        list_del(pos);
        failed += release_stream(handle, &e->stream);
        std::free(e);
    }
    return failed;
}

struct release_ctx {
    int handle;
    int failed;
};

void release_to_encoder(venc_stream_entry *entry, void *ctx)
{
    auto *c = static_cast<release_ctx *>(ctx);
    c->failed += release_stream(c->handle, &entry->stream);
}

/* Queues `entry` as the channel's newest frame and trims the queue as the
 * drop policy says (a keeper that lost frames sees the step in `order`).
 * Returns the failed releases. */
int publish(video_chn_param *chn, int handle, venc_stream_entry *entry)
{
    release_ctx ctx = {handle, 0};
    tvr::Lock lock(&chn->rwlock_venc_data_list, tvr::Lock::write);
    list_add_tail(&entry->list, &chn->list_head_venc_data_list);
    const int keep = chn->keepers > 0 ? kVideoKeepMaxEntries : 1;
    tvr__venc_queue_trim(&chn->list_head_venc_data_list, keep, release_to_encoder, &ctx);
    return ctx.failed;
}

int release_frame(int chnid, struct video_input_frame *frame)
{
    return tvr__release([&] { return ozi_vi_release_frame(chnid, frame); });
}

constexpr int kMaxEncodeFailures = 12;  /* in a row: the encoder is closed */
constexpr int kCaptureRetryMs = 20;
constexpr int kHeldRetryMs = 2;         /* while a frame waits to be queued */
constexpr int kReopenFirstMs = 500;     /* back-off before reopening it, */
constexpr int kReopenMaxMs = 8000;      /* doubled after each failed reopen */

/* Opens the encoder of a channel with the settings; -1 when it fails. */
int open_encoder(bool is_main)
{
    const video_conf *conf = tvr_avsrc->video_conf ? tvr_avsrc->video_conf : tvr_get_video_conf();
    const resolution_t *res = &tvr__resolutions[is_main ? conf->main_res_idx : conf->sub_res_idx];
    struct venc_param param;
    if (tvr__fill_venc_param(conf, res, is_main, &param))
        TVR_LOG(LOG_LEVEL_NOTICE, "only supoort H264 encoding in this app\n");
    ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL,
              "fps:%d, target_kbps:%d, br_mode:%d, initqp:%d, encoder_type:%d\n", param.fps,
              param.target_kbps, param.br_mode, param.initqp, param.enc_out_type);
    int handle = -1;
    if (ozi_venc_open(&param, &handle) != 0)
        return -1;
    return handle;
}

/* Sleeps `ms` in short steps; false as soon as the channel has no user. */
bool sleep_while_running(tvr__chn_life *life, int ms)
{
    for (int slept = 0; slept < ms; slept += 50) {
        if (!life->run.load())
            return false;
        ozi_sleep_ms(50);
    }
    return life->run.load() != 0;
}

} // namespace

int tvr__venc_queue_trim(struct list_head *head, int keep,
                         void (*release)(venc_stream_entry *entry, void *ctx), void *ctx)
{
    int count = 0;
    struct list_head *pos, *n;
    list_for_each_safe(pos, n, head) {
        venc_stream_entry *e = list_entry(pos, venc_stream_entry, list);
        if (pos->next != head && (keep <= 1 || e->flag)) {
            list_del(pos);
            release(e, ctx);
            std::free(e);
        } else {
            count++;
        }
    }
    int lost = 0;
    while (count > keep) {
        venc_stream_entry *oldest = list_first_entry(head, venc_stream_entry, list);
        lost += oldest->flag == 0;
        list_del(&oldest->list);
        release(oldest, ctx);
        std::free(oldest);
        count--;
    }
    return lost;
}

int tvr__fill_venc_param(const video_conf *conf, const resolution_t *res, int is_main,
                         struct venc_param *param)
{
    std::memset(param, 0, sizeof *param);
    param->width = static_cast<uint16_t>(res->width);
    param->height = static_cast<uint16_t>(res->height);
    param->fps = static_cast<uint16_t>(is_main ? conf->main_fps : conf->sub_fps);
    param->goplen = static_cast<uint16_t>(2 * param->fps);  /* an I frame every 2 s */
    param->target_kbps = static_cast<uint16_t>(is_main ? conf->main_kbps : conf->sub_kbps);
    param->max_kbps = 2048;
    param->br_mode = static_cast<enum bitrate_ctrl_mode>(conf->br_mode);
    param->initqp = static_cast<uint16_t>(conf->initqp);
    param->minqp = 25;
    param->maxqp = 50;
    int forced = 0;
    param->enc_out_type = static_cast<enum encode_output_type>(conf->encoder);
    if (param->enc_out_type != H264_ENC_TYPE) {
        param->enc_out_type = H264_ENC_TYPE;
        forced = 1;
    }
    switch (param->enc_out_type) {
    case H264_ENC_TYPE: param->profile = PROFILE_MAIN; break;
    case MJPEG_ENC_TYPE: param->profile = PROFILE_JPEG; break;
    default: param->profile = PROFILE_HEVC_MAIN; break;
    }
    param->jpeg_qlevel = JPEG_QLEVEL_DEFAULT;
    param->chroma_mode = CHROMA_4_2_0;
    param->max_picture_size = 0;
    param->enc_level = 30;
    param->smart_mode = SMART_DISABLE;
    param->smart_goplen = 100;
    param->smart_quality = 50;
    param->smart_static_value = 0;
    return forced;
}

/* ---- video input -------------------------------------------------------- */

extern "C" int tvr_ozi_vi_init(void)
{
    tvr__log_block_version("vi", ozi_vi_get_version());

    const video_conf *conf = tvr_avsrc->video_conf ? tvr_avsrc->video_conf : tvr_get_video_conf();
    tvr_avsrc->vi_devid = 0;
    tvr_avsrc->main_video_param.chnid = 0;
    tvr_avsrc->sub_video_param.chnid = 1;

    bool opened = false, dev_enabled = false, main_enabled = false, sub_enabled = false;
    VI_DEV_ATTR dev;
    VI_CHN_ATTR chn;
    RECTANGLE_S rect;
    const resolution_t *main_res, *sub_res;

    if (ozi_vi_open(0) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "vi device open failed\n");
        goto fail;
    }
    opened = true;
    if (ozi_vi_load_sensor_cfg(0, conf->isp_file) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "vi device load isp cfg [%s] failed!\n", conf->isp_file);
        goto fail;
    }
    std::memcpy(tvr_avsrc->resolutions, tvr__resolutions, sizeof tvr__resolutions);
    main_res = &tvr_avsrc->resolutions[conf->main_res_idx];
    sub_res = &tvr_avsrc->resolutions[conf->sub_res_idx];

    std::memset(&dev, 0, sizeof dev);
    dev.dev_id = 0;
    dev.crop.left = 0;
    dev.crop.top = 0;
    dev.max_width = static_cast<int>(main_res->width);
    dev.max_height = static_cast<int>(main_res->height);
    dev.sub_max_width = static_cast<int>(sub_res->width);
    dev.sub_max_height = static_cast<int>(sub_res->height);
    std::memset(&rect, 0, sizeof rect);
    if (ozi_vi_get_sensor_resolution(0, &rect) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "Can't get device resolution\n");
        goto fail;
    }
    TVR_LOG(LOG_LEVEL_NORMAL, "get device res w:[%d]h:[%d]\n", rect.width, rect.height);
    dev.crop.width = rect.width;   /* the crop is the whole sensor */
    dev.crop.height = rect.height;
    if (ozi_vi_set_dev_attr(0, &dev) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "vi device set attribute failed!\n");
        goto fail;
    }

    std::memset(&chn, 0, sizeof chn);
    chn.chn_id = 0;
    chn.res.width = static_cast<int>(main_res->width);
    chn.res.height = static_cast<int>(main_res->height);
    chn.frame_depth = 2;
    chn.frame_rate = conf->main_fps;
    if (ozi_vi_set_chn_attr(0, &chn) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "vi set main channel attribute failed!\n");
        goto fail;
    }
    std::memset(&chn, 0, sizeof chn);
    chn.chn_id = 1;
    chn.res.width = static_cast<int>(sub_res->width);
    chn.res.height = static_cast<int>(sub_res->height);
    chn.frame_depth = 2;
    chn.frame_rate = conf->sub_fps;
    if (ozi_vi_set_chn_attr(1, &chn) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "vi set sub channel attribute failed!\n");
        goto fail;
    }

    if (ozi_vi_enable_dev(0) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "vi device enable  failed!\n");
        goto fail;
    }
    dev_enabled = true;
    if (ozi_vi_enable_chn(0) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "vi main channel enable failed!\n");
        goto fail;
    }
    main_enabled = true;
    if (ozi_vi_enable_chn(1) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "vi sub channel enable failed!\n");
        goto fail;
    }
    sub_enabled = true;
    return 0;

fail:
    if (sub_enabled)
        TVR_CHECK(ozi_vi_disable_chn(1));
    if (main_enabled)
        TVR_CHECK(ozi_vi_disable_chn(0));
    if (dev_enabled)
        TVR_CHECK(ozi_vi_disable_dev(0));
    if (opened)
        TVR_CHECK(ozi_vi_close(0));
    return -1;
}

extern "C" void tvr_ozi_vi_exit(void)
{
    TVR_CHECK(ozi_vi_disable_chn(tvr_avsrc->main_video_param.chnid));
    TVR_CHECK(ozi_vi_disable_chn(tvr_avsrc->sub_video_param.chnid));
    TVR_CHECK(ozi_vi_disable_dev(tvr_avsrc->vi_devid));
    TVR_CHECK(ozi_vi_close(tvr_avsrc->vi_devid));
}

/* ---- encoding channels -------------------------------------------------- */

extern "C" void *tvr_mirel_venc_start(void *chnid)
{
    int id = tvr__chn_from_name(static_cast<const char *>(chnid));
    if (id < 0)
        return nullptr;
    video_chn_param *chn = chn_by_id(id);
    if (!chn) {
        TVR_LOG(LOG_LEVEL_ERROR, "tvr_mirel_venc_start: invalid chn_id %d\n", id);
        return nullptr;
    }
    bool is_main = chn == &tvr_avsrc->main_video_param;
    tvr__chn_life *life = tvr__video_life(chn->chnid);

    int count = tvr__life_join_or_open(life);
    if (count == 0) {
        /* First user: bring the channel up with no lock held. */
        tvr__log_block_version("venc", ozi_venc_get_version());

        const int handle = open_encoder(is_main);
        if (handle == -1) {
            TVR_LOG(LOG_LEVEL_ERROR, "open venc failed\n");
            tvr__life_opened(life, false);
            return nullptr;
        }
        tvr__life_set_handle(life, handle);
        if (ozi_thread_create(&chn->venc_th, thread_venc, &chn->chnid, 102400, 90) != 0) {
            TVR_CHECK(ozi_venc_close(handle));
            tvr__life_set_handle(life, -1);
            TVR_LOG(LOG_LEVEL_ERROR, "ozi_thread_create (thread_venc) failed\n");
            tvr__life_opened(life, false);
            return nullptr;
        }
        TVR_CHECK(ozi_thread_detach(chn->venc_th));
        count = tvr__life_opened(life, true);
    }
    if (is_main)
        TVR_LOG(LOG_LEVEL_NORMAL, "avsrc.main_video_param.ref_count :%d, handle:%d\n", count,
                tvr__life_handle(life));
    return &chn->venc_handle;
}

extern "C" void tvr_mirel_venc_release(void *handle)
{
    video_chn_param *chn = chn_by_handle(handle);
    if (!chn)
        return;
    bool is_main = chn == &tvr_avsrc->main_video_param;
    tvr__chn_life *life = tvr__video_life(chn->chnid);

    int before = 0;
    int left = tvr__life_leave(life, &before);
    if (left < 0)
        return;
    if (is_main)
        TVR_LOG(LOG_LEVEL_NORMAL, "avsrc.main_video_param.ref_count :%d\n", before);
    if (left > 0)
        return;

    /* Last user: the worker finishes its current frame and leaves; only
     * then are the queued entries given back and the encoder closed. */
    tvr__life_wait_worker(life);
    int value = tvr__life_handle(life);
    if (value != -1) {
        TVR_LOG_RELEASE("ozi_venc_release_stream", drain_queue(chn, value));
        TVR_CHECK(ozi_venc_close(value));
        if (!is_main)
            TVR_LOG(LOG_LEVEL_NORMAL, "vencode close:%d\n", value);
        tvr__life_set_handle(life, -1);
    }
    tvr__life_closed(life);
}

extern "C" void tvr_mirel_get_vstrm_data(void *handle, unsigned char *pbuf, unsigned int *size,
                                         unsigned long long *ts)
{
    if (!handle || !pbuf || !size || !ts)
        return;
    video_chn_param *chn = chn_by_handle(handle);
    if (!chn)
        return;
    *size = 0;
    /* The newest frame is the last entry.  Its bytes live in the encoder's
     * buffer only while the entry is queued: copy them before the read
     * lock is let go.  A frame larger than the streaming library's buffer
     * is not handed out. */
    tvr::Lock lock(&chn->rwlock_venc_data_list, tvr::Lock::read);
    if (list_empty(&chn->list_head_venc_data_list))
        return;
    const venc_stream_entry *e =
        list_entry(chn->list_head_venc_data_list.prev, venc_stream_entry, list);
    if (e->stream.len == 0 || e->stream.len > DOVU_STREAM_BUF_SIZE)
        return;
    std::memcpy(pbuf, e->stream.data, e->stream.len);
    *size = e->stream.len;
    *ts = e->stream.ts;
    if (e->stream.frame_type == FRAME_TYPE_I)
        __atomic_store_n(&chn->key_taken, 1, __ATOMIC_RELEASE);
}

extern "C" void tvr_mirel_venc_keep_frames(void *handle, int on)
{
    video_chn_param *chn = chn_by_handle(handle);
    if (!chn)
        return;
    tvr::Lock lock(&chn->rwlock_venc_data_list, tvr::Lock::write);
    if (on)
        chn->keepers++;
    else if (chn->keepers > 0)
        chn->keepers--;
}

extern "C" void *thread_venc(void *param)
{
    video_chn_param *chn = param ? chn_by_id(*static_cast<int *>(param)) : nullptr;
    if (!chn) {
        TVR_LOG(LOG_LEVEL_ERROR, "fatal error : invalid chnid\n");
        tvr__fatal_exit();
    }
    const bool is_main = chn == &tvr_avsrc->main_video_param;
    const char *name = is_main ? "thread_venc_main" : "thread_venc_sub";
    TVR_CHECK(ozi_thread_set_name(name));
    tvr__chn_life *life = tvr__video_life(chn->chnid);
    const int chnid = chn->chnid;
    /* The starter set the handle before creating this thread and changes
     * it again only after this worker has left; meanwhile only this worker
     * closes and reopens the encoder. */
    int handle = tvr__life_handle(life);
    int failures = 0;
    uint32_t order = 0;  /* frames queued so far; dropped ones leave a step */
    /* An encoder's first frame is an I frame and its first encode is slow:
     * by the time that frame is queued the next picture is already due, is
     * captured at once and encoded quickly, and would replace the I frame
     * in the newest-frame queue within a few ms (as it would later, were a
     * viewer's thread held up).  A viewer polling the queue could miss it
     * and wait a whole picture group for the next one.  So the frame after
     * an I frame is captured and encoded on time but queued only once a
     * viewer's getter has copied the I frame, or at the latest when the
     * next picture has been captured (before that is encoded): no picture
     * is skipped and no frame dropped, and a keeper (the recorder) gets
     * every frame in order.  No viewer can use that frame without the I
     * frame anyway. */
    bool key_queued = false;   /* the newest queued frame is an I frame */
    venc_stream_entry *held = nullptr;

    while (life->run.load()) {
        struct video_input_frame frame;
        std::memset(&frame, 0, sizeof frame);
        const bool captured = ozi_vi_get_frame(chnid, &frame) == 0;
        if (held && (captured || __atomic_load_n(&chn->key_taken, __ATOMIC_ACQUIRE))) {
            TVR_LOG_RELEASE("ozi_venc_release_stream", publish(chn, handle, held));
            held = nullptr;
        }
        if (!captured) {
            ozi_sleep_ms(held ? kHeldRetryMs : kCaptureRetryMs);
            continue;
        }
        auto *entry = static_cast<venc_stream_entry *>(std::calloc(1, sizeof(venc_stream_entry)));
        if (!entry) {
            TVR_LOG(LOG_LEVEL_ERROR, "malloc venc_stream_entry failed\n");
            TVR_LOG_RELEASE("ozi_vi_release_frame", release_frame(chnid, &frame));
            continue;
        }
        if (ozi_venc_encode_frame(handle, frame.vi_frame.data, frame.vi_frame.len,
                                  frame.mdinfo, &entry->stream) != 0) {
            TVR_LOG_RELEASE("ozi_vi_release_frame", release_frame(chnid, &frame));
            std::free(entry);
            if (++failures >= kMaxEncodeFailures) {
                /* The queued frame points into this encoder's buffer: give
                 * it back before the encoder goes, so it is never handed out. */
                TVR_LOG_RELEASE("ozi_venc_release_stream", drain_queue(chn, handle));
                TVR_CHECK(ozi_venc_close(handle));
                tvr__life_set_handle(life, -1);
                handle = -1;
                key_queued = false;
                TVR_LOG(LOG_LEVEL_ERROR, "ozi_venc_encode_frame failed %d times, encoder closed\n",
                        failures);
                /* Reopened while the channel has users; its first frame is an
                 * I frame, where the recorder and the viewers pick up again. */
                for (int wait = kReopenFirstMs; sleep_while_running(life, wait);
                     wait = wait * 2 > kReopenMaxMs ? kReopenMaxMs : wait * 2) {
                    handle = open_encoder(is_main);
                    if (handle != -1)
                        break;
                    TVR_LOG(LOG_LEVEL_ERROR, "reopen venc failed\n");
                }
                if (handle == -1)
                    break;
                tvr__life_set_handle(life, handle);
                TVR_LOG(LOG_LEVEL_NORMAL, "%s encoder reopened\n", name);
                failures = 0;
            }
            continue;
        }
        failures = 0;
        entry->stream.ts = frame.vi_frame.ts;
        entry->stream.seq_no = frame.vi_frame.seq_no;
        TVR_LOG_RELEASE("ozi_vi_release_frame", release_frame(chnid, &frame));
        if (entry->stream.frame_type == FRAME_TYPE_I) {
            chn->gop = 1;
            set_stream_entry_date(&entry->date);
        } else {
            chn->gop = 0;
        }
        entry->order = order++;
        const bool wait_for_viewer = key_queued && entry->stream.frame_type != FRAME_TYPE_I;
        key_queued = entry->stream.frame_type == FRAME_TYPE_I;
        if (key_queued)
            __atomic_store_n(&chn->key_taken, 0, __ATOMIC_RELEASE);
        if (wait_for_viewer && !__atomic_load_n(&chn->key_taken, __ATOMIC_ACQUIRE)) {
            held = entry;
            continue;
        }
        TVR_LOG_RELEASE("ozi_venc_release_stream", publish(chn, handle, entry));
    }
    if (held) {
        TVR_LOG_RELEASE("ozi_venc_release_stream", release_stream(handle, &held->stream));
        std::free(held);
    }

    ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL, "%s exit\n", name);
    tvr__life_worker_exit(life);
    return nullptr;
}

/* ---- legacy pull interface ---------------------------------------------- */

extern "C" int venc_start(int index)
{
    if (index == tvr_avsrc->main_video_param.chnid)
        tvr_mirel_venc_start(const_cast<char *>("main"));
    else if (index == tvr_avsrc->sub_video_param.chnid)
        tvr_mirel_venc_start(const_cast<char *>("sub"));
    return 0;
}

extern "C" int venc_end(int index)
{
    if (index == tvr_avsrc->main_video_param.chnid)
        tvr_mirel_venc_release(&tvr_avsrc->main_video_param.venc_handle);
    else if (index == tvr_avsrc->sub_video_param.chnid)
        tvr_mirel_venc_release(&tvr_avsrc->sub_video_param.venc_handle);
    return 0;
}

namespace {

/* Waits for the next picture of capture channel `chn`: a picture arrives
 * once per frame interval, so polling for up to a second is not a fault. */
int capture_wait(int chn, struct video_input_frame *frame)
{
    constexpr int kPollMs = 5;
    constexpr int kMaxWaitMs = 1000;
    int r = 0;
    for (int waited = 0; waited <= kMaxWaitMs; waited += kPollMs) {
        std::memset(frame, 0, sizeof *frame);
        r = ozi_vi_get_frame(chn, frame);
        if (r == 0)
            return 0;
        ozi_sleep_ms(kPollMs);
    }
    return r;
}

} // namespace

extern "C" int get_video_data(void *pbuf, unsigned int *size, int nNeedIFrameCont,
                              struct timeval *ptv, int vsIndex)
{
    video_chn_param *chn = chn_by_id(vsIndex);
    int handle = chn ? tvr__life_handle(tvr__video_life(chn->chnid)) : -1;
    /* An I frame comes at the latest one GOP after the request. */
    constexpr int kMaxIdrWaitFrames = 200;
    int result = 0;

    for (int tries = 0;; tries++) {
        struct video_input_frame frame;
        result = capture_wait(vsIndex, &frame);
        if (result != 0) {
            TVR_LOG(LOG_LEVEL_ERROR, "ozi_vi_get_frame failed\n");
            break;
        }
        struct video_stream stream;
        std::memset(&stream, 0, sizeof stream);
        result = ozi_venc_encode_frame(handle, frame.vi_frame.data, frame.vi_frame.len,
                                       frame.mdinfo, &stream);
        if (result != 0) {
            TVR_LOG(LOG_LEVEL_ERROR, "send to encode failed\n");
            TVR_LOG_RELEASE("ozi_vi_release_frame", release_frame(vsIndex, &frame));
            break;
        }
        if (nNeedIFrameCont && stream.frame_type == FRAME_TYPE_P) {
            TVR_LOG(LOG_LEVEL_INFO, "nNeedIFrameCont: %d, type: %d\n", nNeedIFrameCont,
                    stream.frame_type);
            TVR_LOG_RELEASE("ozi_venc_release_stream", release_stream(handle, &stream));
            TVR_LOG_RELEASE("ozi_vi_release_frame", release_frame(vsIndex, &frame));
            if (tries >= kMaxIdrWaitFrames) {
                result = -1;
                break;
            }
            TVR_CHECK(ozi_venc_request_idr(handle));
            ozi_sleep_ms(10);
            continue;
        }
        if (stream.len != 0) {
            std::memcpy(pbuf, stream.data, stream.len);
            *size = stream.len;
            if (ptv) {
                ptv->tv_sec = static_cast<time_t>(stream.ts / 1000);
                ptv->tv_usec = static_cast<suseconds_t>((stream.ts % 1000) * 1000);
            }
        } else {
            ozi_print(MODULE_ID_VENC, LOG_LEVEL_NOTICE, "[%s:%d] encode stream len is 0\n",
                      __func__, __LINE__);
        }
        TVR_LOG_RELEASE("ozi_venc_release_stream", release_stream(handle, &stream));
        TVR_LOG_RELEASE("ozi_vi_release_frame", release_frame(vsIndex, &frame));
        result = 0;
        break;
    }
    if (result != 0)
        *size = 0;
    return result;
}
