/*
 * tvr_avsrc_priv.h - internals shared by the three files of the media
 * source (tvr_avsrc.cpp core, tvr_avsrc_video.cpp, tvr_avsrc_audio.cpp)
 * and by its in-process tests.  Names carry the tvr__ marker; nothing
 * outside the media source and its tests includes this header.
 */
#ifndef TVR_AVSRC_PRIV_H
#define TVR_AVSRC_PRIV_H

#include <pthread.h>

#include <atomic>

#include "tvr_avsrc.h"
#include "tvr_log.h"

/* A platform call whose failure the daemon can only report (take-down,
 * optional audio processing, thread names): logs "<call> failed". */
#define TVR_CHECK(call)                                       \
    do {                                                      \
        if ((call) != 0)                                      \
            TVR_LOG(LOG_LEVEL_ERROR, "%s failed\n", #call);   \
    } while (0)

/* Gives a platform buffer back; a release that fails is tried once more,
 * since a buffer never given back is lost to the platform for good.
 * Returns the failed calls (0, 1 or 2).  Safe under a queue lock: it
 * does not log, the caller reports with TVR_LOG_RELEASE after unlocking. */
template <typename Release> int tvr__release(Release release)
{
    if (release() == 0)
        return 0;
    return release() == 0 ? 1 : 2;
}

/* Reports what tvr__release returned; `failed` is evaluated once. */
#define TVR_LOG_RELEASE(op, failed)                                                   \
    do {                                                                             \
        const int tvr_failed_ = (failed);                                            \
        if (tvr_failed_ > 0)                                                         \
            TVR_LOG(LOG_LEVEL_ERROR, "%s failed %d time(s)%s\n", (op), tvr_failed_,  \
                    tvr_failed_ > 1 ? ", buffer lost" : "");                         \
    } while (0)

#define TVR_STAR_LINE "*****************************************\n"

/* The three lines every SDK block announces itself with at bring-up:
 * star line, "** <block> version: <version> **", star line. */
void tvr__log_block_version(const char *block, const char *version);

/* Kills the process with status 1 after a fatal condition in a worker: the
 * log line is out, buffered output is flushed, and no static destructor
 * runs while other threads still use the module state. */
[[noreturn]] void tvr__fatal_exit(void);

/* Channel number of a channel name: "main"/"main_ch" 0, "sub"/"sub_ch" 1,
 * else -1 (null and empty names included).  Exact, case-sensitive. */
int tvr__chn_from_name(const char *name);

/*
 * Lifecycle of one encoding channel (both video channels and audio).
 *
 * The first start and the last release of a channel are serialised through
 * the channel's state, which the channel's mutex_ref_count guards together
 * with ref_count and the encoder handle's transitions.  A start that finds
 * the channel opening or closing waits on `cv` until that is over; the
 * encoder is opened and the worker created with no lock held.  The last
 * release stops the worker (`run` = 0), waits until the worker has left its
 * loop (`worker_done`), and only then gives back the queue's entries and
 * closes the encoder.  mutex_ref_count and the queue's read-write lock are
 * initialised once and live as long as the process, so a consumer holding a
 * pointer to the lock can never meet a destroyed one.
 *
 * Lock rule: no lock is held while another is taken.  mutex_ref_count is
 * only held to read or change the fields it guards (and while waiting on
 * `cv`); the queue lock only to link, unlink, look at or copy entries.
 */
enum tvr__chn_state {
    TVR_CHN_CLOSED = 0,
    TVR_CHN_OPENING = 1,
    TVR_CHN_RUNNING = 2,
    TVR_CHN_CLOSING = 3,
};

struct tvr__chn_life {
    pthread_mutex_t *mutex;      /* the channel's mutex_ref_count */
    int *ref_count;              /* the channel's ref_count (guarded by mutex) */
    int *handle;                 /* the channel's encoder handle (guarded by mutex) */
    pthread_cond_t cv;           /* signalled on every state change */
    int state;                   /* tvr__chn_state, guarded by mutex */
    int worker_done;             /* 1 once the worker left its loop, guarded by mutex */
    std::atomic<int> run;        /* the worker loops while 1 */
};

/* Start side.  Returns 0 when the caller must bring the channel up (state
 * is now OPENING and must end with tvr__life_opened), or the new user count
 * (> 0) when the channel was running and one more user was counted. */
int tvr__life_join_or_open(tvr__chn_life *life);
/* Ends an OPENING: with ok the first user is counted and the channel runs;
 * otherwise it is closed again.  Returns the user count. */
int tvr__life_opened(tvr__chn_life *life, bool ok);

/* Release side.  Returns -1 when there is nothing to undo (channel not
 * running), 1 when users remain, 0 when this was the last
 * user: the state is CLOSING, the worker is told to stop, and the caller
 * must call tvr__life_wait_worker, tear down, then tvr__life_closed.
 * *count_before receives the count before the decrement. */
int tvr__life_leave(tvr__chn_life *life, int *count_before);
void tvr__life_wait_worker(tvr__chn_life *life);
void tvr__life_closed(tvr__chn_life *life);

/* Worker side: the last thing a worker does with the channel. */
void tvr__life_worker_exit(tvr__chn_life *life);
/* Reads / writes the encoder handle under the channel's mutex. */
int tvr__life_handle(tvr__chn_life *life);
void tvr__life_set_handle(tvr__chn_life *life, int value);

/* Per-channel lifecycle records (index = video chnid; audio separately). */
tvr__chn_life *tvr__video_life(int chnid);
tvr__chn_life *tvr__audio_life(void);

/* Encoder parameters of a video channel from the settings; returns 1 when
 * video_conf.encoder asked for something other than H.264 (forced to it). */
int tvr__fill_venc_param(const video_conf *conf, const resolution_t *res, int is_main,
                         struct venc_param *param);

/* The constant table of picture sizes. */
extern const resolution_t tvr__resolutions[TVR_RES_NUM];

/*
 * Audio queue bound.  When nothing marks the audio entries (the channel
 * runs for streaming only, or the recorder has no video frame to time its
 * segments), the worker drops the oldest entries beyond a cap.  The
 * recorder takes or drops the queued audio at every video frame and holds
 * back at most the encoder's delay (under half a second) at a segment
 * change, so about 4 s of encoded audio (33 AAC frames of 1024 samples at
 * 8000 Hz) never drops a frame it would still record.  Each queued entry
 * is a frame lent by the encoder, which lends only so many (64 on this
 * SDK); the cap stays below that whatever the rate, or the worker could
 * fetch no more frames and the queue would freeze.
 */
constexpr int kAudioQueueSeconds = 4;
constexpr int kAudioQueueMaxEntries = 48;
constexpr int kAacSamplesPerFrame = 1024;
int tvr__aenc_queue_cap(int sample_rate);
/* Overrides the cap (entries; 0 restores the default).  For tests. */
void tvr__aenc_set_queue_cap(int entries);

/* Removes flagged entries, then the oldest beyond `cap`; `release` gives
 * an entry's stream back (called under the queue's write lock).  Returns
 * the number of entries left. */
int tvr__aenc_queue_trim(struct list_head *head, int cap,
                         void (*release)(aenc_stream_entry *entry, void *ctx), void *ctx);

/*
 * Video queue bound while a user keeps frames (the recorder).  Every queued
 * entry is a stream lent by the encoder, which lends 16 on this SDK; one
 * more is out while the worker encodes the next frame and one while the
 * legacy pull interface encodes on the same channel, so 12 entries (about
 * half a second at 25 fps) stay clear of it.  A recorder that falls further
 * behind loses the oldest frames and picks up again at the next I frame.
 */
constexpr int kVideoKeepMaxEntries = 12;

/* Trims a video queue after the worker linked its newest entry at the
 * tail.  keep 1 (nobody keeps frames): only the newest entry stays.  keep
 * > 1: entries flagged as taken leave (the newest stays for the viewers),
 * then the oldest while more than `keep` are queued.  `release` gives an
 * entry's stream back (called under the queue's write lock).  Returns the
 * number of entries that left without having been taken while frames are
 * kept (frames the keeper lost); 0 when keep is 1. */
int tvr__venc_queue_trim(struct list_head *head, int keep,
                         void (*release)(venc_stream_entry *entry, void *ctx), void *ctx);

#endif /* TVR_AVSRC_PRIV_H */
