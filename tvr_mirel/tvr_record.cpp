/*
 * tvr_record.cpp - the recorder: start and release, the mux thread, and the
 * binding of the segment state machine to the muxer and the frame queues.
 *
 * The recorder joins the recorded video channel and the audio channel as
 * one more user and keeps the video channel's frames queued until it has
 * taken them (tvr_mirel_venc_keep_frames).  Every 10 ms "thread_mux" takes
 * every frame queued since its last pass, in order, and
 * writes segments that begin at an I frame under the temporary name
 * "recording_now_tmp.mp4|.avi"; a closed segment is filed into its date
 * directory (tvr_record_file.cpp).  Segments abut: the closing I frame is
 * the first frame of the next one.  The decisions per frame are made by
 * rec_seg_step (tvr_record_seg.cpp).
 *
 * Stopping (release): the open segment waits for the audio of its last
 * frames, is stopped and filed.  A stop that cannot write the index is
 * repaired from the side files at once, or the files are moved aside for
 * the next start's repair; an index-less file is never filed.
 *
 * Audio-only recording (track 2) still holds the recorded video channel as
 * a user: its I frames time the segments, and its queue and lock exist only
 * while the channel runs.  Video frames are then taken but not written.
 *
 * THREADS
 *   - tvr_mirel_record_start / _release run on the controlling thread (main);
 *     `record` is theirs while thread_mux does not run.
 *   - thread_mux owns `record` (except `run`) while it runs, and everything
 *     in its mux_ctx.  `run` is set/cleared by the controller and polled by
 *     thread_mux with atomic loads; release joins the thread.
 *   - Queue locks (tvr_avsrc): the video queue's read lock is held only to
 *     take and copy one entry (a pass takes each under its own hold); the
 *     audio queue's read lock only while the queued audio is handed to the
 *     muxer and marked.  Never nested: the
 *     video lock is released before the audio lock is taken.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include "tvr_lock.h"
#include "tvr_log.h"
#include "tvr_record.h"
#include "tvr_record_space.h"

namespace {

record_ctrl record;

/* A closed segment whose filing failed and that still sits at the temporary
 * path.  Owned by thread_mux. */
struct {
    bool valid;
    strm_date date;
    uint64_t ms;
} unfiled;

int run_get()
{
    return __atomic_load_n(&record.run, __ATOMIC_ACQUIRE);
}

void run_set(char v)
{
    __atomic_store_n(&record.run, v, __ATOMIC_RELEASE);
}

bool path_exists(const char *path)
{
    struct stat st;
    return stat(path, &st) == 0;
}

/* What the mux thread's sink works on. */
struct mux_ctx {
    video_chn_param *video;
    audio_chn_param *audio;
    int track;
    int video_ok;          /* successful video writes in the open segment */
    rec_buf buf;           /* the copy of the frame being written */
};

int sink_start(void *ctx, const strm_date *date)
{
    auto *c = static_cast<mux_ctx *>(ctx);
    record.strm_date = *date;
    c->video_ok = 0;
    return start_mux_file();
}

int sink_add_video(void *ctx, const struct video_stream *frame)
{
    auto *c = static_cast<mux_ctx *>(ctx);
    if (!frame->data)
        return -1;  /* the copy could not be made */
    struct video_stream vs = *frame;
    const int ret = ozi_mux_add_video(record.mux_handle, &vs);
    if (ret == 0)
        c->video_ok++;
    return ret;
}

int add_audio(void *, struct audio_stream *s)
{
    return ozi_mux_add_audio(record.mux_handle, s);
}

int sink_drain_audio(void *ctx, enum rec_audio_mode mode, uint64_t limit)
{
    auto *c = static_cast<mux_ctx *>(ctx);
    /* Recording video only, no audio is ever written, so how much of the
     * queue a step may take does not matter: everything another user's
     * stream queued is taken at once and the queue cannot build up while
     * the recorder waits for an I frame. */
    if (c->track == 1)
        mode = REC_AUDIO_ALL;
    int later = 0;
    tvr::Lock lock(&c->audio->rwlock_aenc_data_list, tvr::Lock::read);
    rec_audio_walk(&c->audio->list_head_aenc_data_list, mode, limit,
                   c->track == 1 ? nullptr : add_audio, nullptr, &later);
    return later;
}

const char *const side_ext[] = {".idx", ".moov", ".stbl"};

/* Removes the temporary file and any side file the muxer left. */
void remove_tmp_files()
{
    remove(record.tmp_path_file);
    for (const char *ext : side_ext) {
        char path[REC_TMP_PATH_LEN + 8];
        snprintf(path, sizeof path, "%s%s", record.tmp_path_file, ext);
        remove(path);
    }
}

/* Makes the stopped segment at the temporary path whole from its side
 * files.  0 with *ms its repaired duration (side files removed), else -1
 * with everything left in place. */
int repair_tmp(uint64_t *ms)
{
    const bool mp4 = record.conf->mux_type == MUX_TYPE_MP4;
    char side[2][REC_TMP_PATH_LEN + 8];
    snprintf(side[0], sizeof side[0], "%s%s", record.tmp_path_file, mp4 ? ".moov" : ".idx");
    snprintf(side[1], sizeof side[1], "%s%s", record.tmp_path_file, ".stbl");
    FILE *rec = fopen(record.tmp_path_file, "rb+");
    FILE *a = fopen(side[0], "rb");
    FILE *b = mp4 ? fopen(side[1], "rb") : nullptr;
    struct mux_fileinfo info;
    info.total_ms = 0;
    int ret = -1;
    if (rec && a && (b || !mp4))
        ret = mp4 ? ozi_mux_fix_file(rec, nullptr, a, b, MUX_TYPE_MP4, &info)
                  : ozi_mux_fix_file(rec, a, nullptr, nullptr, MUX_TYPE_AVI, &info);
    FILE *const opened[] = {rec, a, b};
    for (FILE *f : opened)
        if (f)
            fclose(f);
    if (ret != 0 || info.total_ms == 0)
        return -1;
    remove(side[0]);
    if (mp4)
        remove(side[1]);
    *ms = info.total_ms;
    return 0;
}

/* Moves the temporary file and its side files out of the next segment's
 * way, to "recording_kept_<date>" at the top of the record directory,
 * where the next start's recovery repairs them. */
void keep_tmp_aside(const strm_date *d)
{
    const char *ext = rec_mux_ext(record.conf->mux_type);
    char stem[REC_TMP_PATH_LEN];
    char path[REC_TMP_PATH_LEN + 8];
    for (int k = 0; k < 1000; k++) {
        snprintf(stem, sizeof stem, "%s/recording_kept_%04d%02d%02d%02d%02d%02d_%d%s",
                 record.conf->save_path, d->year, d->mon, d->day, d->hour, d->min, d->sec, k,
                 ext ? ext : "");
        if (!path_exists(stem))
            break;
    }
    if (rename(record.tmp_path_file, stem) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "cannot move %s aside: %s\n", record.tmp_path_file,
                strerror(errno));
        return;
    }
    for (const char *e : side_ext) {
        char from[REC_TMP_PATH_LEN + 8];
        snprintf(from, sizeof from, "%s%s", record.tmp_path_file, e);
        snprintf(path, sizeof path, "%s%s", stem, e);
        if (path_exists(from) && rename(from, path) != 0)
            TVR_LOG(LOG_LEVEL_ERROR, "cannot move %s aside: %s\n", from, strerror(errno));
    }
    TVR_LOG(LOG_LEVEL_ERROR, "kept %s with its side files for the next start\n", stem);
}

void sink_close(void *ctx, const strm_date *date, uint64_t ms)
{
    auto *c = static_cast<mux_ctx *>(ctx);
    record.recorded_ms = ms;
    record.strm_date = *date;
    if (ozi_mux_stop(record.mux_handle) != 0) {
        /* The index could not be written (a full or failing card): the
         * file does not play as it is.  Its side files describe every
         * frame written; repair from them now, or keep them for the
         * next start, and never file the unplayable file itself. */
        TVR_LOG(LOG_LEVEL_ERROR, "ozi_mux_stop failed, repairing %s\n", record.tmp_path_file);
        uint64_t fixed_ms = 0;
        if (repair_tmp(&fixed_ms) == 0) {
            /* The repair counts audio past the last picture too; the name
             * carries the video's duration, as for every segment. */
            if (fixed_ms < ms)
                record.recorded_ms = fixed_ms;
            save_mux_file();
        } else if (path_exists(record.tmp_path_file)) {
            keep_tmp_aside(date);
        }
        return;
    }
    if (c->track != 2 && c->video_ok == 0) {
        /* Storage refused every frame: nothing playable to keep, and filing
         * an empty file every GOP would only fill the directory. */
        TVR_LOG(LOG_LEVEL_ERROR, "no video frame could be written, %s removed\n",
                record.tmp_path_file);
        remove_tmp_files();
        return;
    }
    save_mux_file();
}

/* Longest time after a frame's capture until the audio captured with it has
 * left the AAC encoder: the frame being filled, two frames of look-ahead,
 * and one captured PCM frame still on its way. */
uint64_t audio_delay_ms()
{
    const audio_conf *aconf = tvr_avsrc->audio_conf ? tvr_avsrc->audio_conf : tvr_get_audio_conf();
    const uint64_t rate = aconf->sample_rate > 0 ? (uint64_t)aconf->sample_rate : 8000;
    const uint64_t aac_frame_ms = (1024 * 1000 + rate - 1) / rate;
    return 3 * aac_frame_ms + (uint64_t)(tvr_avsrc->ai_frame_interval > 0 ? tvr_avsrc->ai_frame_interval : 32);
}

} // namespace

extern "C" int start_mux_file(void)
{
    const record_conf *conf = record.conf;
    char path[REC_TMP_PATH_LEN];
    if (rec_tmp_path(path, sizeof path, conf->save_path, conf->mux_type) >= 0)
        memcpy(record.tmp_path_file, path, sizeof path);

    /* A finished segment still at the temporary path is filed first; the
     * muxer would otherwise write over it. */
    if (unfiled.valid && path_exists(record.tmp_path_file)) {
        if (rec_file_segment(conf->save_path, record.tmp_path_file, &unfiled.date, unfiled.ms,
                             conf->mux_type) >= 0)
            unfiled.valid = false;
    }
    rec_make_room(conf->save_path, (uint64_t)(conf->min_free_mb > 0 ? conf->min_free_mb : 0));
    if (rec_clear_tmp_path(conf->save_path, conf->mux_type, ozi_mux_fix_file) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "%s holds a recording that could not be moved\n",
                record.tmp_path_file);
        return -1;
    }
    unfiled.valid = false;

    struct ozi_mux_start_param param;
    memset(&param, 0, sizeof param);
    param.file_path = record.tmp_path_file;
    param.i_buff_record = record.len_buff_record;
    param.pc_buff_record = record.p_buff_record;
    const int ret = ozi_mux_start(record.mux_handle, &param);
    if (ret != 0)
        TVR_LOG(LOG_LEVEL_ERROR, "ozi_mux_start failed!\n");
    return ret;
}

extern "C" void save_mux_file(void)
{
    const record_conf *conf = record.conf;
    if (rec_file_segment(conf->save_path, record.tmp_path_file, &record.strm_date,
                         record.recorded_ms, conf->mux_type) < 0) {
        unfiled.valid = true;
        unfiled.date = record.strm_date;
        unfiled.ms = record.recorded_ms;
    }
}

extern "C" int fix_previous_record_file(void)
{
    return rec_recover_dir(record.conf->save_path, ozi_mux_fix_file);
}

extern "C" void save_fix_file(const char *pc_file, int i_ms, int i_type)
{
    char src[REC_DIR_PATH_LEN];
    snprintf(src, sizeof src, "%s/%s", record.conf->save_path, pc_file);
    struct stat st;
    const time_t start = stat(src, &st) == 0 ? st.st_mtime : time(nullptr);
    rec_save_fixed(record.conf->save_path, pc_file, (uint32_t)i_ms, i_type, start);
}

extern "C" void *thread_mux(void *)
{
    const record_conf *conf = record.conf;
    mux_ctx ctx;
    memset(&ctx, 0, sizeof ctx);
    if (conf->channel == tvr_avsrc->main_video_param.chnid)
        ctx.video = &tvr_avsrc->main_video_param;
    else if (conf->channel == tvr_avsrc->sub_video_param.chnid)
        ctx.video = &tvr_avsrc->sub_video_param;
    else
        return nullptr;
    ctx.audio = &tvr_avsrc->main_audio_param;
    ctx.track = conf->track;
    if (ozi_thread_set_name("thread_mux") != 0)
        TVR_LOG(LOG_LEVEL_ERROR, "ozi_thread_set_name (thread_mux) failed\n");

    const rec_seg_sink sink = {&ctx, sink_start, sink_add_video, sink_drain_audio, sink_close};
    rec_seg_params params;
    memset(&params, 0, sizeof params);
    params.time_sec = conf->time_sec;
    params.write_video = conf->track != 2;
    params.audio_wait_ms = conf->track == 1 ? 0 : audio_delay_ms();
    rec_seg_state st;
    memset(&st, 0, sizeof st);

    /* After a stop request the open segment still takes the audio of its
     * last frames, which the encoder delivers within audio_wait_ms of
     * frame time; kStopCycles bounds that wait should frames stop. */
    constexpr int kStopCycles = 100;
    int stop_cycles = 0;
    bool stopping = false;
    for (;;) {
        if (!stopping && run_get() != 1) {
            stopping = true;
            if (!rec_seg_stop(&st))
                break;
        }
        if (stopping && (!st.closing || ++stop_cycles > kStopCycles))
            break;
        /* Every frame queued since the last pass, oldest first: the queue
         * keeps them for the recorder within its bound. */
        for (;;) {
            venc_stream_entry now;
            int taken;
            {
                tvr::Lock lock(&ctx.video->rwlock_venc_data_list, tvr::Lock::read);
                taken = rec_take_video(&ctx.video->list_head_venc_data_list, &now, &ctx.buf);
            }
            if (!taken)
                break;
            const uint32_t lost = st.lost;
            rec_seg_step(&st, &params, &now, &sink);
            if (st.lost != lost)
                TVR_LOG(
                    LOG_LEVEL_ERROR,
                    "%u video frames lost in the queue, recording resumes at the next I frame\n",
                    st.lost - lost);
        }
        ozi_sleep_ms(10);
    }
    /* Whatever is still open is stopped and filed now, or the next start's
     * recovery would find it without side files. */
    rec_seg_finish(&st, &sink);
    rec_seg_free(&st);
    rec_buf_free(&ctx.buf);
    return nullptr;
}

extern "C" int tvr_mirel_record_start(void)
{
    if (!tvr_avsrc->flag_av_init) {
        TVR_LOG(LOG_LEVEL_ERROR, "not init av input\n");
        return -1;
    }
    record.mux_handle = -1;
    record.conf = tvr_get_record_conf();
    record.len_buff_record = 0;
    const record_conf *conf = record.conf;

    struct stat st;
    if (stat(conf->save_path, &st) != 0 || !S_ISDIR(st.st_mode)) {
        TVR_LOG(LOG_LEVEL_ERROR, "record save path %s not exist\n", conf->save_path);
        return -1;
    }
    const char *name;
    if (conf->channel == 0)
        name = "main";
    else if (conf->channel == 1)
        name = "sub";
    else
        return -1;

    const video_conf *vconf = tvr_avsrc->video_conf ? tvr_avsrc->video_conf : tvr_get_video_conf();
    const audio_conf *aconf = tvr_avsrc->audio_conf ? tvr_avsrc->audio_conf : tvr_get_audio_conf();
    struct ozi_mux_input input;
    const resolution_t *res;

    /* Audio first: bringing up the microphone and its encoder takes a
     * while, and the first segment opens at the video's first I frame, so
     * audio started after the video would begin late in the first file. */
    if (conf->track != 1) {
        record.p_aenc_handle = tvr_mirel_aenc_start((void *)name);
        if (!record.p_aenc_handle) {
            TVR_LOG(LOG_LEVEL_ERROR, "tvr_mirel_aenc_start failed\n");
            goto fail;
        }
    }
    /* With track 2 the video stream is held for its I frames only. */
    record.p_venc_handle = tvr_mirel_venc_start((void *)name);
    if (!record.p_venc_handle) {
        TVR_LOG(LOG_LEVEL_ERROR, "tvr_mirel_venc_start failed\n");
        goto fail;
    }
    tvr_mirel_venc_keep_frames(record.p_venc_handle, 1);

    fix_previous_record_file();

    memset(&input, 0, sizeof input);
    input.video_type = (enum encode_output_type)vconf->encoder;
    if (conf->channel == tvr_avsrc->main_video_param.chnid) {
        res = &tvr_avsrc->resolutions[vconf->main_res_idx];
        input.file_fps = vconf->main_fps;
    } else {
        res = &tvr_avsrc->resolutions[vconf->sub_res_idx];
        input.file_fps = vconf->sub_fps;
    }
    input.width = (uint16_t)res->width;
    input.height = (uint16_t)res->height;
    input.capture_audio = 1;
    input.audio_type = (enum ozi_audio_type)aconf->encoder;
    input.audio_attr.sample_rate = (enum ozi_audio_sample_rate)aconf->sample_rate;
    input.audio_attr.sample_bits = 16;
    input.audio_attr.channel_num = aconf->channel;
    input.frame_interval = tvr_avsrc->ai_frame_interval;
    input.media_rec_type = (enum ozi_mux_type)conf->mux_type;
    input.data_dest = MUX_DATA_TO_LOCAL_FILE;
    input.record_second = (uint32_t)conf->time_sec;
    if (ozi_mux_open(&input, &record.mux_handle) != 0) {
        record.mux_handle = -1;
        TVR_LOG(LOG_LEVEL_ERROR, "ozi_mux_open error\n");
        goto fail;
    }
    ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL, "mux open success\n");

    record.len_buff_record = 0;
    record.p_buff_record = nullptr;
    unfiled.valid = false;
    run_set(1);
    if (ozi_thread_create(&record.mux_th, thread_mux, nullptr, 102400, -1) != 0) {
        TVR_LOG(LOG_LEVEL_ERROR, "thread_mux create failed\n");
        run_set(0);
        goto fail;
    }
    TVR_LOG(LOG_LEVEL_INFO, "tvr_mirel_record_start success!\n");
    return 0;

fail:
    TVR_LOG(LOG_LEVEL_ERROR, "tvr_mirel_record_start failed\n");
    tvr_mirel_record_release();
    return -1;
}

extern "C" void tvr_mirel_record_release(void)
{
    if (run_get() == 1) {
        run_set(0);
        /* The muxer must not close under a thread still writing: a join
         * that fails is tried once more. */
        if (ozi_thread_join(record.mux_th, nullptr) != 0) {
            TVR_LOG(LOG_LEVEL_ERROR, "ozi_thread_join (thread_mux) failed\n");
            if (ozi_thread_join(record.mux_th, nullptr) != 0)
                TVR_LOG(LOG_LEVEL_ERROR, "ozi_thread_join (thread_mux) failed\n");
        }
    }
    if (record.mux_handle != -1) {
        if (ozi_mux_close(record.mux_handle) != 0)
            TVR_LOG(LOG_LEVEL_ERROR, "ozi_mux_close failed\n");
        record.mux_handle = -1;
    }
    if (record.p_aenc_handle) {
        tvr_mirel_aenc_release(record.p_aenc_handle);
        record.p_aenc_handle = nullptr;
    }
    if (record.p_venc_handle) {
        tvr_mirel_venc_keep_frames(record.p_venc_handle, 0);
        tvr_mirel_venc_release(record.p_venc_handle);
        record.p_venc_handle = nullptr;
    }
    if (record.len_buff_record > 0 && record.p_buff_record) {
        free(record.p_buff_record);
        record.p_buff_record = nullptr;
    }
}
