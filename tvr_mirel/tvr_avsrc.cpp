/*
 * tvr_avsrc.cpp - the media source core: platform bring-up and take-down,
 * channel names, stream descriptions, I-frame dates and the lifecycle of
 * the encoding channels shared by the video and audio files.
 *
 * Callers: the main thread (start-up), the streaming library's threads
 * (through src_ops), the recorder's thread, the encoder workers.
 *
 * THREADS: tvr_mirel_init_av and tvr_mirel_exit_av run on one thread at a
 * time (start-up, source registration) and are not locked.  Each channel's
 * mutex_ref_count guards its ref_count, its lifecycle state and the
 * transitions of its encoder handle; see tvr_avsrc_priv.h for the protocol
 * and the rule that no lock is held while another is taken.
 */
#include "tvr_avsrc_priv.h"
#include "tvr_lock.h"

#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

using tvr::Lock;

namespace {

tvr_avsrc_t avsrc;

int flag_sdk_init;   /* 1 while the platform SDK is up */
int flag_vi_init;    /* 1 while the video input is up */
int flag_ai_init;    /* 1 while the audio input is up */

tvr__chn_life video_life[2];
tvr__chn_life audio_life;

void setup_life(tvr__chn_life *life, pthread_mutex_t *mutex, int *ref_count, int *handle)
{
    life->mutex = mutex;
    life->ref_count = ref_count;
    life->handle = handle;
    pthread_cond_init(&life->cv, nullptr);
    life->state = TVR_CHN_CLOSED;
    life->worker_done = 1;
    life->run.store(0);
}

void setup_video_chn(video_chn_param *chn, tvr__chn_life *life)
{
    chn->venc_handle = -1;
    pthread_mutex_init(&chn->mutex_ref_count, nullptr);
    pthread_rwlock_init(&chn->rwlock_venc_data_list, nullptr);
    INIT_LIST_HEAD(&chn->list_head_venc_data_list);
    setup_life(life, &chn->mutex_ref_count, &chn->ref_count, &chn->venc_handle);
}

/* Locks, queue heads and handles exist from program start to exit: they
 * are never destroyed, so no consumer can meet a dead lock. */
struct ModuleSetup {
    ModuleSetup()
    {
        avsrc.vi_devid = 0;
        avsrc.ai_handle = -1;
        avsrc.main_video_param.chnid = 0;
        avsrc.sub_video_param.chnid = 1;
        setup_video_chn(&avsrc.main_video_param, &video_life[0]);
        setup_video_chn(&avsrc.sub_video_param, &video_life[1]);
        audio_chn_param *a = &avsrc.main_audio_param;
        a->aenc_handle = -1;
        pthread_mutex_init(&a->mutex_ref_count, nullptr);
        pthread_rwlock_init(&a->rwlock_aenc_data_list, nullptr);
        INIT_LIST_HEAD(&a->list_head_aenc_data_list);
        setup_life(&audio_life, &a->mutex_ref_count, &a->ref_count, &a->aenc_handle);
    }
} module_setup;

} // namespace

tvr_avsrc_t *tvr_avsrc = &avsrc;

const resolution_t tvr__resolutions[TVR_RES_NUM] = {
    {640, 360, "DE_VIDEO_SIZE_360P"},
    {640, 480, "DE_VIDEO_SIZE_VGA"},
    {1280, 720, "DE_VIDEO_SIZE_720P"},
    {960, 1080, "DE_VIDEO_SIZE_960P"},
    {1920, 1080, "DE_VIDEO_SIZE_1080P"},
};

void tvr__fatal_exit(void)
{
    std::fflush(nullptr);
    _exit(1);  /* a supervisor must see the failure */
}

void tvr__log_block_version(const char *block, const char *version)
{
    ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL, TVR_STAR_LINE);
    ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL, "** %s version: %s **\n", block, version);
    ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL, TVR_STAR_LINE);
}

int tvr__chn_from_name(const char *name)
{
    if (!name || !*name)
        return -1;
    if (std::strcmp(name, "main") == 0 || std::strcmp(name, "main_ch") == 0)
        return 0;
    if (std::strcmp(name, "sub") == 0 || std::strcmp(name, "sub_ch") == 0)
        return 1;
    return -1;
}

tvr__chn_life *tvr__video_life(int chnid)
{
    return (chnid == 0 || chnid == 1) ? &video_life[chnid] : nullptr;
}

tvr__chn_life *tvr__audio_life(void)
{
    return &audio_life;
}

/* ---- channel lifecycle -------------------------------------------------- */

int tvr__life_join_or_open(tvr__chn_life *life)
{
    Lock lock(life->mutex);
    while (life->state == TVR_CHN_OPENING || life->state == TVR_CHN_CLOSING)
        pthread_cond_wait(&life->cv, lock.get());
    if (life->state == TVR_CHN_RUNNING)
        return ++*life->ref_count;
    life->state = TVR_CHN_OPENING;
    *life->ref_count = 0;
    life->worker_done = 0;
    life->run.store(1);
    return 0;
}

int tvr__life_opened(tvr__chn_life *life, bool ok)
{
    Lock lock(life->mutex);
    if (ok) {
        life->state = TVR_CHN_RUNNING;
        ++*life->ref_count;
    } else {
        life->state = TVR_CHN_CLOSED;
        life->run.store(0);
        life->worker_done = 1;
        *life->ref_count = 0;
    }
    pthread_cond_broadcast(&life->cv);
    return *life->ref_count;
}

int tvr__life_leave(tvr__chn_life *life, int *count_before)
{
    Lock lock(life->mutex);
    /* A running video channel's handle is -1 while its worker waits to
     * reopen a failed encoder; its users still count. */
    if (life->state != TVR_CHN_RUNNING)
        return -1;
    if (count_before)
        *count_before = *life->ref_count;
    if (--*life->ref_count > 0)
        return 1;
    *life->ref_count = 0;
    life->state = TVR_CHN_CLOSING;
    life->run.store(0);
    return 0;
}

void tvr__life_wait_worker(tvr__chn_life *life)
{
    Lock lock(life->mutex);
    while (!life->worker_done)
        pthread_cond_wait(&life->cv, lock.get());
}

void tvr__life_closed(tvr__chn_life *life)
{
    Lock lock(life->mutex);
    life->state = TVR_CHN_CLOSED;
    pthread_cond_broadcast(&life->cv);
}

void tvr__life_worker_exit(tvr__chn_life *life)
{
    Lock lock(life->mutex);
    life->worker_done = 1;
    pthread_cond_broadcast(&life->cv);
}

int tvr__life_handle(tvr__chn_life *life)
{
    Lock lock(life->mutex);
    return *life->handle;
}

void tvr__life_set_handle(tvr__chn_life *life, int value)
{
    Lock lock(life->mutex);
    *life->handle = value;
}

/* ---- media source ------------------------------------------------------- */

extern "C" int tvr_mirel_init_av(const char *conf)
{
    if (avsrc.flag_av_init == 1) {
        TVR_LOG(LOG_LEVEL_NORMAL, "av input had been enabled! \n");
        return 1;
    }
    struct sdk_run_config config;
    std::memset(&config, 0, sizeof config);

    if (tvr_init_config(conf) != 0)
        goto fail;
    avsrc.video_conf = tvr_get_video_conf();
    avsrc.audio_conf = tvr_get_audio_conf();

    if (ozi_sdk_init(&config) != 0)
        goto fail;
    flag_sdk_init = 1;
    /* Audio input comes up before video input. */
    if (tvr_ozi_ai_init() != 0)
        goto fail;
    flag_ai_init = 1;
    if (tvr_ozi_vi_init() != 0)
        goto fail;
    flag_vi_init = 1;

    avsrc.flag_av_init = 1;
    return 0;

fail:
    tvr_mirel_exit_av();
    return -1;
}

extern "C" void tvr_mirel_exit_av(void)
{
    if (flag_ai_init == 1) {
        tvr_ozi_ai_exit();
        flag_ai_init = 0;
    }
    if (flag_vi_init == 1) {
        tvr_ozi_vi_exit();
        flag_vi_init = 0;
    }
    if (flag_sdk_init == 1) {
        TVR_CHECK(ozi_sdk_exit());
        flag_sdk_init = 0;
    }
    avsrc.flag_av_init = 0;
}

extern "C" int tvr_mirel_get_stream_info(void *chnid, audio_info *ainfo, video_info *vinfo)
{
    if (!chnid || !ainfo || !vinfo)
        return -1;
    int chn = tvr__chn_from_name(static_cast<const char *>(chnid));
    if (chn < 0)
        return -1;
    const video_conf *vconf = avsrc.video_conf ? avsrc.video_conf : tvr_get_video_conf();
    const audio_conf *aconf = avsrc.audio_conf ? avsrc.audio_conf : tvr_get_audio_conf();

    audio_info a;
    a.type = AUDIO_TYPE_AAC; /* the audio encoder is always AAC */
    a.sample_rate = aconf->sample_rate;
    a.channel = 1;

    video_info v;
    v.type = static_cast<video_type>(vconf->encoder);
    v.fps = chn == avsrc.main_video_param.chnid ? vconf->main_fps : vconf->sub_fps;

    *ainfo = a;
    *vinfo = v;
    return 0;
}

extern "C" int set_stream_entry_date(strm_date *date)
{
    if (!date)
        return -1;
    struct timeval tv;
    struct timezone tz;
    std::memset(&tz, 0, sizeof tz);
    gettimeofday(&tv, &tz);
    tvr_date_from_time(date, tv.tv_sec);
    date->tz = tz.tz_dsttime;
    return 0;
}
