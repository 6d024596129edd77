/*
 * tvr_avsrc.h - the media source: capture devices, encoders and the
 * per-channel queues of encoded frames.
 *
 * Producers are the encoder workers (thread_venc_main, thread_venc_sub,
 * thread_aenc); consumers are the streaming library's channel threads
 * (through the getters) and the recorder's thread_mux.
 *
 * Queue protocol: only the producing worker links and unlinks entries,
 * under its queue's write lock; unlinking gives the stream back to the
 * encoder.  Consumers hold the read lock while they look and copy; the
 * recorder also sets an entry's flag under the read lock.  A video queue
 * holds only the newest frame, except while a user keeps frames
 * (tvr_mirel_venc_keep_frames): then the frames it has not flagged stay
 * queued too, within a bound, and the newest is still the last entry.
 */
#ifndef TVR_AVSRC_H
#define TVR_AVSRC_H

#include <stdint.h>
#include <pthread.h>
#include <sys/time.h>
#include <string.h>
#include <time.h>

#include "ozi_sdk.h"
#include "dovu.h"
#include "list.h"
#include "tvr_config.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct resolution_t {
    uint32_t width;
    uint32_t height;
    char str[20];
} resolution_t;

#define TVR_RES_NUM 5

/* Wall-clock date of an I frame. */
typedef struct strm_date {
    int32_t year;   /* e.g. 2023 */
    int32_t mon;    /* 1..12 */
    int32_t day;    /* 1..31 */
    int32_t hour;
    int32_t min;
    int32_t sec;
    int32_t tz;     /* daylight-saving indicator */
} strm_date;

typedef struct venc_stream_entry {
    struct video_stream stream;  /* data points into the encoder's buffer */
    strm_date date;              /* filled for FRAME_TYPE_I only */
    struct list_head list;
    char flag;                   /* 1 once the recorder took it */
    uint32_t order;              /* frames the worker queued before it since the
                                    channel started: a step over 1 between two
                                    entries means frames were dropped between */
} venc_stream_entry;

typedef struct aenc_stream_entry {
    struct audio_stream stream;
    struct list_head list;
    char mark;                   /* always 0 */
    char flag;                   /* 1 once the recorder wrote it */
} aenc_stream_entry;

typedef struct frame_entry {
    struct frame frame;
    struct list_head list;
} frame_entry;

typedef enum GOP_STATUS {
    STATUS_BGN = 0,
    STATUS_ON = 1,
} GOP_STATUS;

typedef struct video_chn_param {
    int chnid;                               /* 0 main, 1 sub */
    char gop;                                /* 1 while newest frame is I */
    int venc_handle;                         /* -1 when closed */
    int ref_count;                           /* guarded by mutex_ref_count */
    pthread_mutex_t mutex_ref_count;
    ozi_pthread_t venc_th;
    struct list_head list_head_venc_data_list;  /* guarded by rwlock */
    pthread_rwlock_t rwlock_venc_data_list;
    int keepers;                             /* users keeping every frame, guarded
                                                by rwlock_venc_data_list */
    int key_taken;                           /* set (atomically) when a getter
                                                copies an I frame; the worker
                                                clears it as it queues one */
} video_chn_param;

typedef struct audio_chn_param {
    int aenc_handle;                         /* -1 when closed */
    int ref_count;                           /* guarded by mutex_ref_count */
    pthread_mutex_t mutex_ref_count;
    ozi_pthread_t aenc_th;
    struct list_head list_head_aenc_data_list;  /* guarded by rwlock */
    pthread_rwlock_t rwlock_aenc_data_list;
} audio_chn_param;

typedef struct tvr_avsrc_t {
    resolution_t resolutions[TVR_RES_NUM];
    const video_conf *video_conf;
    const audio_conf *audio_conf;
    video_chn_param main_video_param;
    video_chn_param sub_video_param;
    audio_chn_param main_audio_param;
    int flag_av_init;
    int vi_devid;
    int ai_handle;
    int ai_frame_interval;   /* ms per captured audio frame */
    int flag_conf_init;
} tvr_avsrc_t;

/* The media source record (points at the module's one instance). */
extern tvr_avsrc_t *tvr_avsrc;

/* Media source core */
int tvr_mirel_init_av(const char *conf);
void tvr_mirel_exit_av(void);
int tvr_mirel_get_stream_info(void *chnid, audio_info *ainfo, video_info *vinfo);
int set_stream_entry_date(strm_date *date);
/* Local broken-down time of t (tz = its daylight-saving flag).  Inline so
 * that the recorder's file naming links without the media source. */
static inline void tvr_date_from_time(strm_date *date, time_t t)
{
    struct tm tm;
    memset(&tm, 0, sizeof tm);
    localtime_r(&t, &tm);
    date->year = tm.tm_year + 1900;
    date->mon = tm.tm_mon + 1;
    date->day = tm.tm_mday;
    date->hour = tm.tm_hour;
    date->min = tm.tm_min;
    date->sec = tm.tm_sec;
    date->tz = tm.tm_isdst;
}

/* Video encoding channels */
int tvr_ozi_vi_init(void);
void tvr_ozi_vi_exit(void);
void *tvr_mirel_venc_start(void *chnid);
void tvr_mirel_venc_release(void *handle);
void tvr_mirel_get_vstrm_data(void *handle, unsigned char *pbuf, unsigned int *size,
                              unsigned long long *ts);
/* With on != 0 the caller (a user of the channel of `handle`) starts
 * keeping frames: the channel's queue keeps every frame not yet flagged as
 * taken, up to a bound beyond which the oldest go.  With 0 it stops; when
 * no user keeps frames, the queue holds only the newest one.  Calls pair
 * up, and the last keeper stops before it releases the channel. */
void tvr_mirel_venc_keep_frames(void *handle, int on);
void *thread_venc(void *param);
int venc_start(int index);
int venc_end(int index);
int get_video_data(void *pbuf, unsigned int *size, int nNeedIFrameCont, struct timeval *ptv,
                   int vsIndex);

/* Audio encoding channel */
int ozi_get_dev_buf_len(int sample_rate);
int get_audio_frame_interval(int sample_rate, int sample_bits, int input_channel, int data_len);
int tvr_ozi_ai_init(void);
void tvr_ozi_ai_exit(void);
void *tvr_mirel_aenc_start(void *chnid);
void tvr_mirel_aenc_release(void *handle);
/* Copies a queued AAC frame (ADTS) and sets *size and *ts; *size 0 and *ts
 * untouched when there is none.  Nothing leaves the queue, so *ts on entry
 * says which frame: the oldest one newer than *ts (0: the oldest of all),
 * or with TVR_ASTRM_NEWEST the newest.  A reader that passes back the time
 * stamp it got gets every frame once, in order. */
#define TVR_ASTRM_NEWEST DOVU_AUDIO_NEWEST
void tvr_mirel_get_astrm_data(void *handle, unsigned char *buff, unsigned int *size,
                              unsigned long long *ts);
void *thread_aenc(void *param);

#ifdef __cplusplus
}
#endif

#endif /* TVR_AVSRC_H */
