/*
 * ozi_sdk.h - the SoC vendor's media platform interface.
 *
 * The only header through which the daemon reaches capture, encoders,
 * the muxer, threads and logging.  Plain C, usable from C and C++.
 * All operations return 0 on success unless said otherwise.
 */
#ifndef OZI_SDK_H
#define OZI_SDK_H

#include <stdint.h>
#include <stdio.h>
#include <pthread.h>

#ifdef __cplusplus
extern "C" {
#endif

/* ---- SDK start and stop ------------------------------------------------ */

struct sdk_run_config {
    int mem_trace_flag;
    int dma_mem_trace_flag;
    int audio_tool_server_flag;
    int isp_tool_server_flag;
};

int ozi_sdk_init(struct sdk_run_config *config);
int ozi_sdk_exit(void);

/* ---- logging ----------------------------------------------------------- */

#define MODULE_ID_VENC 13
#define MODULE_ID_APP 254

#define LOG_LEVEL_ERROR 1
#define LOG_LEVEL_WARNING 2
#define LOG_LEVEL_NOTICE 3
#define LOG_LEVEL_NORMAL 4
#define LOG_LEVEL_INFO 5

int ozi_print(int module, int level, const char *fmt, ...)
    __attribute__((format(printf, 3, 4)));

const char *ozi_vi_get_version(void);
const char *ozi_venc_get_version(void);
const char *ozi_ai_get_version(void);
const char *ozi_aenc_get_version(void);

/* ---- frames and encoded streams ---------------------------------------- */

/* One captured picture or PCM block. ts in ms on a monotonic clock. */
struct frame {
    unsigned char *data;
    uint32_t len;
    uint64_t ts;
    uint32_t seq_no;
};

enum frame_type {
    FRAME_TYPE_P = 0,
    FRAME_TYPE_I = 1,
    FRAME_TYPE_PI = 2,
};

/* One encoded video frame, Annex B; data lives in the encoder's buffer
 * until ozi_venc_release_stream. */
struct video_stream {
    unsigned char *data;
    uint32_t len;
    uint64_t ts;
    uint32_t seq_no;
    enum frame_type frame_type;
};

/* One encoded audio frame (AAC with its ADTS header). */
struct audio_stream {
    unsigned char *data;
    uint32_t len;
    uint64_t ts;
    uint32_t seq_no;
};

/* ---- video input ------------------------------------------------------- */

typedef struct {
    int width;
    int height;
} RECTANGLE_S;

struct crop_info {
    int left;
    int top;
    int width;
    int height;
};

typedef struct {
    int dev_id;
    int interf_mode;
    int fd;
    int data_path;
    int data_type;
    struct crop_info crop;
    int max_width;
    int max_height;
    int frame_rate;
    int sub_max_width;
    int sub_max_height;
} VI_DEV_ATTR;

typedef struct {
    int chn_id;
    int frame_rate;
    RECTANGLE_S res;
    int frame_depth;
} VI_CHN_ATTR;

/* A captured picture: vi_frame.data is a planar I420 image of the
 * channel's size (len = w*h*3/2). */
struct video_input_frame {
    struct frame vi_frame;
    uint32_t phyaddr;
    int type;
    void *mdinfo;
};

int ozi_vi_open(int dev);
int ozi_vi_close(int dev);
int ozi_vi_enable_dev(int dev);
int ozi_vi_disable_dev(int dev);
int ozi_vi_load_sensor_cfg(int dev, const char *isp_file);
int ozi_vi_get_sensor_resolution(int dev, RECTANGLE_S *res);
int ozi_vi_set_dev_attr(int dev, VI_DEV_ATTR *attr);
int ozi_vi_set_chn_attr(int chn, VI_CHN_ATTR *attr);
int ozi_vi_enable_chn(int chn);
int ozi_vi_disable_chn(int chn);
/* Non-zero at once when no new picture is ready. */
int ozi_vi_get_frame(int chn, struct video_input_frame *frame);
int ozi_vi_release_frame(int chn, struct video_input_frame *frame);

/* ---- H.264 encoder ----------------------------------------------------- */

enum profile {
    PROFILE_MAIN = 0,
    PROFILE_HIGH = 1,
    PROFILE_BASE = 2,
    PROFILE_JPEG = 3,
    PROFILE_HEVC_MAIN = 4,
};

enum bitrate_ctrl_mode {
    BR_MODE_CBR = 0,
    BR_MODE_VBR = 1,
};

enum jpeg_quality_level {
    JPEG_QLEVEL_DEFAULT = 0,
    JPEG_QLEVEL_HIGH = 1,
    JPEG_QLEVEL_LOW = 2,
};

enum chroma_mode {
    CHROMA_MONO = 0,
    CHROMA_4_2_0 = 1,
    CHROMA_4_2_2 = 2,
};

enum encode_output_type {
    H264_ENC_TYPE = 0,
    MJPEG_ENC_TYPE = 1,
    HEVC_ENC_TYPE = 2,
};

enum smart_mode {
    SMART_DISABLE = 0,
    SMART_LTR = 1,
    SMART_CHANGING_GOPLEN = 2,
};

/* Field order and widths are fixed by the platform. */
struct venc_param {
    uint16_t width;
    uint16_t height;
    uint16_t fps;
    uint16_t goplen;
    uint16_t target_kbps;
    uint16_t max_kbps;
    enum profile profile;
    enum bitrate_ctrl_mode br_mode;
    uint16_t initqp;
    uint16_t minqp;
    uint16_t maxqp;
    enum jpeg_quality_level jpeg_qlevel;
    enum chroma_mode chroma_mode;
    enum encode_output_type enc_out_type;
    uint32_t max_picture_size;
    uint16_t enc_level;
    enum smart_mode smart_mode;
    uint16_t smart_goplen;
    uint16_t smart_quality;
    uint16_t smart_static_value;
};

int ozi_venc_open(struct venc_param *param, int *handle);
int ozi_venc_close(int handle);
/* Encodes one picture; the result stays valid until released, and several
 * results may be outstanding at once. */
int ozi_venc_encode_frame(int handle, const unsigned char *data, unsigned int len,
                          void *mdinfo, struct video_stream *stream);
int ozi_venc_release_stream(int handle, struct video_stream *stream);
int ozi_venc_request_idr(int handle);

/* ---- audio input and AAC encoder --------------------------------------- */

enum ozi_audio_sample_rate {
    AUDIO_SAMPLE_RATE_8000 = 8000,
    AUDIO_SAMPLE_RATE_11025 = 11025,
    AUDIO_SAMPLE_RATE_12000 = 12000,
    AUDIO_SAMPLE_RATE_16000 = 16000,
    AUDIO_SAMPLE_RATE_22050 = 22050,
    AUDIO_SAMPLE_RATE_24000 = 24000,
    AUDIO_SAMPLE_RATE_32000 = 32000,
    AUDIO_SAMPLE_RATE_44100 = 44100,
    AUDIO_SAMPLE_RATE_48000 = 48000,
};

#define AUDIO_CHANNEL_MONO 1
#define AUDIO_CHANNEL_STEREO 2
#define DEV_ADC 0

enum ai_source {
    AI_SOURCE_MIC = 0,
    AI_SOURCE_LINEIN = 1,
};

enum ozi_audio_type {
    OZI_AUDIO_TYPE_UNKNOWN = 0,
    OZI_AUDIO_TYPE_MIDI = 1,
    OZI_AUDIO_TYPE_MP3 = 2,
    OZI_AUDIO_TYPE_AMR = 3,
    OZI_AUDIO_TYPE_AAC = 4,
    OZI_AUDIO_TYPE_WMA = 5,
    OZI_AUDIO_TYPE_PCM = 6,
};

struct ozi_audio_data_attr {
    enum ozi_audio_sample_rate sample_rate;
    int sample_bits;
    int channel_num;
};

struct ozi_audio_in_param {
    struct ozi_audio_data_attr pcm_data_attr;
    int dev_id;
};

struct aenc_param {
    struct ozi_audio_data_attr aenc_data_attr;
    enum ozi_audio_type type;
};

#define AENC_AAC_NO_FRAME_HEAD 0
#define AENC_AAC_SAVE_FRAME_HEAD 1

struct aenc_attr {
    int aac_head;
};

int ozi_ai_open(struct ozi_audio_in_param *param, int *handle);
int ozi_ai_close(int handle);
int ozi_ai_enable_nr(int handle, int enable);
int ozi_ai_enable_agc(int handle, int enable);
int ozi_ai_enable_aec(int handle, int enable);
int ozi_ai_set_gain(int handle, int gain);
int ozi_ai_set_source(int handle, enum ai_source source);
int ozi_ai_start_capture(int handle);
int ozi_ai_stop_capture(int handle);
/* Non-zero when no PCM frame is ready; ms is a wait time, 0 = no wait. */
int ozi_ai_get_frame(int handle, struct frame *frame, long ms);
int ozi_ai_release_frame(int handle, struct frame *frame);

int ozi_aenc_open(struct aenc_param *param, int *handle);
int ozi_aenc_close(int handle);
int ozi_aenc_set_attr(int handle, struct aenc_attr *attr);
int ozi_aenc_send_frame(int handle, struct frame *frame, long ms);
/* Encoded audio frames a caller may hold (fetched, not yet released); while
 * it holds this many, ozi_aenc_get_stream fails. */
#define OZI_AENC_MAX_HELD 64
/* Non-zero when no encoded frame is ready, or OZI_AENC_MAX_HELD are held. */
int ozi_aenc_get_stream(int handle, struct audio_stream *stream, long ms);
int ozi_aenc_release_stream(int handle, struct audio_stream *stream);

/* ---- container muxer --------------------------------------------------- */

enum ozi_mux_type {
    MUX_TYPE_AVI = 0,
    MUX_TYPE_MP4 = 1,
    MUX_TYPE_NUM = 2,
};

enum ozi_mux_data_dest {
    MUX_DATA_TO_UNKNOWN = 0,
    MUX_DATA_TO_LOCAL_FILE = 1,
    MUX_DATA_TO_INTERNET = 2,
};

struct ozi_mux_input {
    enum encode_output_type video_type;
    uint16_t width;
    uint16_t height;
    int file_fps;
    uint8_t capture_audio;
    enum ozi_audio_type audio_type;
    struct ozi_audio_data_attr audio_attr;
    int frame_interval;              /* audio frame duration, ms */
    enum ozi_mux_type media_rec_type;
    enum ozi_mux_data_dest data_dest;
    uint32_t record_second;
};

struct ozi_mux_start_param {
    char *file_path;
    int i_buff_record;
    char *pc_buff_record;
    int i_buff_index;
    char *pc_buff_index;
};

struct mux_fileinfo {
    uint32_t total_ms;
};

int ozi_mux_open(struct ozi_mux_input *input, int *handle);
int ozi_mux_start(int handle, struct ozi_mux_start_param *param);
int ozi_mux_add_video(int handle, struct video_stream *stream);
int ozi_mux_add_audio(int handle, struct audio_stream *stream);
int ozi_mux_stop(int handle);
int ozi_mux_close(int handle);
/* Rebuilds an interrupted record file in place from its side files.
 * record: opened "rb+"; the side files "rb"; null where not of the type. */
int ozi_mux_fix_file(FILE *record, FILE *avi_idx, FILE *mp4_moov, FILE *mp4_stbl,
                     enum ozi_mux_type type, struct mux_fileinfo *info);

/* ---- threads and time -------------------------------------------------- */

typedef pthread_t ozi_pthread_t;
typedef void *(*ozi_thread_func)(void *arg);

/* priority: a real-time priority (1..99), or -1 for the default policy. */
int ozi_thread_create(ozi_pthread_t *tid, ozi_thread_func func, void *arg,
                      int stack_size, int priority);
int ozi_thread_detach(ozi_pthread_t tid);
int ozi_thread_join(ozi_pthread_t tid, void **retval);
/* Names the calling thread. */
int ozi_thread_set_name(const char *name);
void ozi_thread_exit(void *retval);
void ozi_sleep_ms(int ms);

#ifdef __cplusplus
}
#endif

#endif /* OZI_SDK_H */
