/*
 * dovu.h - public interface of the streaming library.
 *
 * A media source (a program that produces encoded audio and video)
 * registers itself with a table of operations, src_ops; the library's RTSP
 * server then starts, pulls and releases streams only through that table.
 * Frames cross by copy into buffers the library owns.  Plain C.
 */
#ifndef DOVU_H
#define DOVU_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden symbols; what this header declares is
 * its exported interface. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

typedef enum {
    AUDIO_TYPE_UNKNOWN = 0,
    AUDIO_TYPE_MIDI = 1,
    AUDIO_TYPE_MP3 = 2,
    AUDIO_TYPE_AMR = 3,
    AUDIO_TYPE_AAC = 4,
    AUDIO_TYPE_WMA = 5,
    AUDIO_TYPE_PCM = 6,
    AUDIO_TYPE_ADPCM_IMA = 7,
    AUDIO_TYPE_ADPCM_MS = 8,
    AUDIO_TYPE_ADPCM_FLASH = 9,
    AUDIO_TYPE_APE = 10,
    AUDIO_TYPE_FLAC = 11,
    AUDIO_TYPE_OGG_FLAC = 12,
    AUDIO_TYPE_RA8LBR = 13,
    AUDIO_TYPE_DRA = 14,
    AUDIO_TYPE_OGG_VORBIS = 15,
    AUDIO_TYPE_AC3 = 16,
    AUDIO_TYPE_PCM_ALAW = 17,
    AUDIO_TYPE_PCM_ULAW = 18,
    AUDIO_TYPE_SBC = 19,
    AUDIO_TYPE_MSBC = 20,
    AUDIO_TYPE_SPEEX = 21,
    AUDIO_TYPE_SPEEX_WB = 22,
} audio_type;

typedef enum {
    VIDEO_TYPE_H264 = 0,
    VIDEO_TYPE_H265 = 1,
    VIDEO_TYPE_MP4 = 2,
    VIDEO_TYPE_AVI = 3,
} video_type;

/* Description of a channel's audio stream. */
typedef struct audio_info {
    audio_type type;
    int32_t sample_rate;   /* samples per second */
    int32_t channel;       /* number of audio channels */
} audio_info;

/* Description of a channel's video stream. */
typedef struct video_info {
    video_type type;
    int32_t fps;           /* frames per second */
} video_info;

/* Operations of one medium of a source. */
typedef struct stream_ops {
    /* chnid: channel identifier; returns a stream handle or null. */
    void *(*start)(void *chnid);
    /* Undoes one start; a null handle is ignored. */
    void (*release)(void *handle);
    /* Copies the newest (video) or a queued (audio) frame into buff, sets
     * *size (0 when none) and *ts (capture time, ms).  Audio frames stay
     * queued for every reader, so for audio *ts on entry picks the frame:
     * the oldest one newer than *ts (0: the oldest), or with
     * DOVU_AUDIO_NEWEST the newest. */
    void (*get_stream_data)(void *handle, unsigned char *buff, unsigned int *size,
                            unsigned long long *ts);
} stream_ops;

/* *ts on entry to an audio get_stream_data: the newest queued frame. */
#define DOVU_AUDIO_NEWEST (~0ULL)

/* Operation table of a media source; the library keeps its own copy. */
typedef struct src_ops {
    int32_t (*init_source)(const char *conf);
    void (*exit_source)(void);
    int32_t (*get_stream_info)(void *chnid, audio_info *ainfo, video_info *vinfo);
    stream_ops video_ops;
    stream_ops audio_ops;
} src_ops;

/* Size of the buffer the library lends to get_stream_data per channel. */
#define DOVU_STREAM_BUF_SIZE 1048576

int dovu_init(const char *conf);
void dovu_exit(void);
void *dovu_register_av_source(const char *src_name, const char *conf, const src_ops *srcops);
void dovu_unregister_av_source(void *avsrc);
void *dovu_start_avstream(const char *src_name, void *chn_id, void **video_handle,
                          void **audio_handle);
void dovu_release_avstream(void *dovu_src, void *video_handle, void *audio_handle);
void dovu_get_video_stream_data(void *dovu_src, void *chn_handle, unsigned char *buff,
                                unsigned int *size, unsigned long long *ts);
void dovu_get_audio_stream_data(void *dovu_src, void *chn_handle, unsigned char *buff,
                                unsigned int *size, unsigned long long *ts);
int dovu_get_stream_info(void *dovu_src, void *chnid, audio_info *ainfo, video_info *vinfo);
void *dovu_start_rtsp(int conf_handle);
void dovu_release_rtsp(void *p_rtsp);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* DOVU_H */
