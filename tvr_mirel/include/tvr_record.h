/*
 * tvr_record.h - the recorder and its record files.
 *
 * The recorder joins the recorded video channel and the audio channel as
 * one more user, polls their queues from thread_mux and writes segments
 * through the platform muxer; finished segments are filed in one
 * directory per day, and an interrupted segment is repaired at start.
 */
#ifndef TVR_RECORD_H
#define TVR_RECORD_H

#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <time.h>

#include "ozi_sdk.h"
#include "tvr_avsrc.h"
#include "tvr_config.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct record_ctrl {
    volatile char run;            /* 1 while thread_mux keeps running; read and
                                     written with atomic builtins */
    const record_conf *conf;
    void *p_aenc_handle;          /* null when audio is not recorded */
    void *p_venc_handle;          /* video stream the recorder holds; with
                                     track 2 held only so that the channel's
                                     I frames keep timing the segments */
    int mux_handle;               /* -1 when there is none */
    uint64_t recorded_ms;         /* duration of the segment being closed */
    strm_date strm_date;          /* date of the current segment's first frame */
    char tmp_path_file[300];
    ozi_pthread_t mux_th;
    int len_buff_record;          /* always 0 */
    char *p_buff_record;          /* always null */
} record_ctrl;

typedef enum MUX_NODE {
    MUX_NODE_RECORD = 0,
    MUX_NODE_AVI_IDX = 1,
    MUX_NODE_MP4_MOOV = 2,
    MUX_NODE_MP4_STBL = 3,
    MUX_NODE_NUM = 4,
} MUX_NODE;

int tvr_mirel_record_start(void);
void tvr_mirel_record_release(void);
void *thread_mux(void *arg);
int start_mux_file(void);

void save_mux_file(void);
int fix_previous_record_file(void);
void save_fix_file(const char *pc_file, int i_ms, int i_type);

/* ---- internal pieces, pure or directory-bound, exported for tests ------ */

/* Text limits of the record names, including the terminating NUL. */
#define REC_DATE_DIR_LEN 30
#define REC_FILE_NAME_LEN 40
#define REC_DIR_PATH_LEN 256
#define REC_DEST_PATH_LEN 300
#define REC_TMP_PATH_LEN 300

/* Temporary record file of a segment in progress, at the top of the record
 * directory; "recording_now_tmp". */
#define REC_TMP_STEM "recording_now_tmp"
/* A finished segment that could not be moved into its date directory is
 * parked at the top of the record directory under "unfiled_" followed by
 * "YYYYMMDD_" and its final name; the recovery files it at the next start. */
#define REC_UNFILED_PREFIX "unfiled_"

/* Extension of a container type: ".mp4", ".avi", or null for another type. */
const char *rec_mux_ext(int mux_type);
/* "%04d%02d%02d" of the date; result is snprintf's (cut to fit). */
int rec_date_dir_name(char *buf, size_t n, const strm_date *d);
/* "tavro_%02d%02d%02d_%08llu<ext>"; -1 for an unknown container type. */
int rec_final_name(char *buf, size_t n, const strm_date *d, uint64_t ms, int mux_type);
/* "%02d%02d%02d_%08llu<ext>" (repaired file, no prefix); -1 likewise. */
int rec_repaired_name(char *buf, size_t n, const strm_date *d, uint64_t ms, int mux_type);
/* "%s/recording_now_tmp<ext>"; -1 for an unknown type, buf untouched. */
int rec_tmp_path(char *buf, size_t n, const char *save_path, int mux_type);

/* Creates a directory and its missing parents (mode 0777 less umask).
 * 0 when the directory exists afterwards, else -1 with errno set. */
int rec_mkdir_p(const char *path);

/* Moves src into dir under name, creating dir.  An existing file is never
 * replaced: a taken name gets "_1", "_2", ... before its extension.  The
 * destination is written to dest.  0 on success, -1 with errno. */
int rec_move_into(const char *src, const char *dir, const char *name, char *dest, size_t n);

/* Files a finished segment: tmp_path goes to <save_path>/<date dir>/<name>.
 * When that fails it is parked at the top of save_path under the "unfiled_"
 * name.  Logs "save record file '%s' \n" with the destination it tried.
 * Returns 0 filed, 1 parked, -1 left at tmp_path (both moves failed). */
int rec_file_segment(const char *save_path, const char *tmp_path, const strm_date *d,
                     uint64_t ms, int mux_type);

/* Repair step of the recovery, ozi_mux_fix_file or a test double. */
typedef int (*rec_fix_fn)(FILE *record, FILE *avi_idx, FILE *mp4_moov, FILE *mp4_stbl,
                          enum ozi_mux_type type, struct mux_fileinfo *info);
/* Repairs, files or deletes what an interrupted run left at the top of
 * save_path (date directories are not entered).  A repaired recording is
 * dated by its modification time, which the repair sets to the recording's
 * start.  "unfiled_" segments are moved into their date directories.
 * Always 0. */
int rec_recover_dir(const char *save_path, rec_fix_fn fix);
/* Length of a record file from its own index (MP4 moov, AVI idx1) and the
 * recording's start (MP4: the index's creation time; AVI: the last write
 * less the length).  0, or -1 when the file has no complete index. */
int rec_indexed_length(FILE *f, int mux_type, uint64_t *ms, time_t *start);
/* Deals with one record file at the top of save_path and its side files:
 * a file carrying its index is filed under its final name (never deleted);
 * otherwise it is repaired from its side files and filed under the
 * repaired name; what has neither index nor usable side files is deleted.
 * 0, or -1 when the file had to stay where it was. */
int rec_recover_file(const char *save_path, const char *name, int type, rec_fix_fn fix);
/* Frees the temporary path before a new segment: whatever lies there
 * (finished, torn or repaired) goes through rec_recover_file, so that
 * nothing is written over and nothing blocks recording.  0 when the path
 * is free. */
int rec_clear_tmp_path(const char *save_path, int mux_type, rec_fix_fn fix);
/* Moves the repaired save_path/pc_file into the date directory of `start`
 * as "%02d%02d%02d_%08llu.mp4|.avi". 0, or -1 when it stayed in place. */
int rec_save_fixed(const char *save_path, const char *pc_file, uint64_t ms, int i_type,
                   time_t start);

/* ---- the segment state machine ------------------------------------------ */

/* Grow-only byte buffer owned by the mux thread. */
typedef struct rec_buf {
    unsigned char *data;
    size_t cap;
} rec_buf;
void rec_buf_free(rec_buf *b);

/* Video frames that arrive while a closing segment waits for its last
 * audio are held here, with copies of their bytes, and go into the next
 * file once it is open.  When the hold is full the close happens at once. */
#define REC_HELD_MAX 32

typedef struct rec_held_frame {
    struct video_stream stream;   /* data points into buf */
    rec_buf buf;
} rec_held_frame;

/* What the mux thread keeps between frames.
 *
 * Segments abut: the I frame that closes segment n is the first frame of
 * segment n + 1, and each audio frame goes into the file whose video span
 * [first frame, closing frame) holds its time stamp.  Audio reaches the
 * queue later than the video of the same instant (the AAC encoder's
 * delay), so a close first waits, holding the video that comes meanwhile,
 * until the audio queue shows a frame at or past the closing frame, or
 * until video `audio_wait_ms` past it arrives. */
typedef struct rec_seg_state {
    int mux_init;                 /* 1 while a segment file is open */
    uint64_t ts_start_ms;         /* ts of the open segment's first frame */
    strm_date date;               /* wall-clock date of that frame */
    int mux_video_err_cnt;        /* failed video writes in this segment */
    uint64_t recorded_ms;         /* duration of the last closed segment */
    uint64_t last_ts_ms;          /* ts of the open segment's newest frame */
    uint64_t frame_step_ms;       /* ts step between the two newest frames
                                     written (kept across segments; 0 until
                                     two were written) */
    int closing;                  /* 1 while the open segment waits for its audio */
    int open_next;                /* with closing: the closing frame opens the next file */
    int stopped;                  /* 1 once an orderly stop began: no new segment */
    uint64_t close_ts_ms;         /* ts the closing segment ends at */
    strm_date close_date;         /* date of the closing I frame */
    int held;                     /* frames in `hold`, the closing frame first */
    rec_held_frame hold[REC_HELD_MAX];
    int order_known;              /* 1 once a frame was taken */
    uint32_t next_order;          /* `order` the next frame has when none was lost */
    int resync;                   /* 1 after lost frames until the next I frame */
    uint32_t lost;                /* frames lost in the queue, counted from the
                                     steps in `order` */
} rec_seg_state;

typedef struct rec_seg_params {
    int time_sec;                 /* segment length, s */
    int write_video;              /* 0 with track 2 (audio only) */
    uint64_t audio_wait_ms;       /* longest wait for the closing segment's
                                     audio, in frame time; 0 when no audio
                                     is recorded */
} rec_seg_params;

/* How drain_audio treats the unflagged entries of the audio queue. */
enum rec_audio_mode {
    REC_AUDIO_ALL = 0,            /* take every entry */
    REC_AUDIO_BEFORE = 1,         /* take entries with ts < limit, stop at the first later */
    REC_AUDIO_DROP_BEFORE = 2,    /* mark entries with ts < limit without writing them */
};

/* Effects of the state machine; the mux thread binds them to the muxer and
 * the queues, tests to recording fakes. */
typedef struct rec_seg_sink {
    void *ctx;
    /* Opens the segment file; 0 when it is ready. */
    int (*start)(void *ctx, const strm_date *date);
    /* Writes one video frame; 0 on success. */
    int (*add_video)(void *ctx, const struct video_stream *frame);
    /* Takes queued audio as `mode` says (writing it unless audio is not
     * recorded) and marks what it took.  Returns 1 when the walk stopped
     * at an entry at or past `limit` (nothing earlier can still come),
     * else 0. */
    int (*drain_audio)(void *ctx, enum rec_audio_mode mode, uint64_t limit);
    /* Stops the muxer and files the segment of `date` lasting `ms`. */
    void (*close)(void *ctx, const strm_date *date, uint64_t ms);
} rec_seg_sink;

/* What one step did with its frame. */
enum rec_step_result {
    REC_STEP_DROPPED = 0,         /* no segment open; frame dropped */
    REC_STEP_START_FAILED = 1,    /* I frame, but the segment file could not be opened */
    REC_STEP_WRITTEN = 2,         /* frame (and the audio before it) went to the open segment */
    REC_STEP_CLOSED = 3,          /* a segment was closed; this frame (and the held
                                     ones) went into the next file, if it opened */
    REC_STEP_CLOSED_ERR = 4,      /* third failed video write closed the segment */
    REC_STEP_HELD = 5,            /* held while the closing segment waits for audio */
    REC_STEP_LOST = 6,            /* frames before it were lost in the queue: not
                                     written (nor the P frames after it) until the
                                     next I frame; a waiting close may complete */
};

/* One cycle of the mux thread for a frame it has taken, in queue order.  No
 * threads, clocks or files: every effect goes through `sink`.  A frame whose
 * `order` does not follow the previous frame's comes after lost frames:
 * P frames depend on them, so nothing is written until the next I frame
 * (the open segment stays open and its audio waits for that frame). */
enum rec_step_result rec_seg_step(rec_seg_state *st, const rec_seg_params *p,
                                  const venc_stream_entry *frame, const rec_seg_sink *sink);

/* Begins an orderly stop: the open segment ends where its newest frame
 * ends (one frame step after it, as the muxer times a file's last frame)
 * once its audio is in (driven by further rec_seg_step calls, as a close),
 * and no new segment opens.  Returns 1 while a segment is still to be
 * closed. */
int rec_seg_stop(rec_seg_state *st);

/* Closes the open segment, if any, without waiting further: a closing one
 * at its closing frame (held frames are dropped), a writing one where its
 * newest frame ends.  1 when a segment was closed, else 0. */
int rec_seg_finish(rec_seg_state *st, const rec_seg_sink *sink);

/* Frees the held frames' buffers. */
void rec_seg_free(rec_seg_state *st);

/* Takes the first unflagged entry of a video queue: sets its flag, copies
 * the entry to `out` and its bytes into `buf`, pointing out->stream.data at
 * the copy (null with len 0 if the buffer cannot grow).  Caller holds the
 * queue's read lock.  1 when a frame was taken, else 0. */
int rec_take_video(struct list_head *head, venc_stream_entry *out, rec_buf *buf);

/* Walks an audio queue from its head as `mode` says, handing each entry it
 * takes to `add` (when non-null) and setting its flag.  Caller holds the
 * queue's read lock.  Returns the number of entries taken; *later (when
 * non-null) is set to 1 when the walk stopped at an entry at or past
 * `limit`, else 0. */
int rec_audio_walk(struct list_head *head, enum rec_audio_mode mode, uint64_t limit,
                   int (*add)(void *ctx, struct audio_stream *s), void *ctx, int *later);

/* Copies `len` bytes into a grow-only buffer; 0, or -1 when it cannot grow. */
int rec_buf_set(rec_buf *b, const void *data, size_t len);

#ifdef __cplusplus
}
#endif

#endif /* TVR_RECORD_H */
