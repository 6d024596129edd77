/*
 * tvr_config.h - the daemon's compiled-in settings.
 *
 * Five records fixed at build time; every module reads them through the
 * accessors and never writes them.  The configuration name passed to
 * tvr_init_config is not opened.
 */
#ifndef TVR_CONFIG_H
#define TVR_CONFIG_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct record_conf {
    char enable;          /* 1: main may start the recorder */
    int channel;          /* 0 main, 1 sub */
    int track;            /* 0 video+audio, 1 video only, 2 audio only */
    int mux_type;         /* 0 AVI, 1 MP4 */
    int time_sec;         /* segment length, s */
    char save_path[100];  /* record directory */
    int min_free_mb;      /* free space kept on the record file system, MB (0: none) */
} record_conf;

typedef struct video_conf {
    int main_res_idx;     /* index into the resolutions table */
    int sub_res_idx;
    int main_fps;
    int sub_fps;
    int main_kbps;
    int sub_kbps;
    int initqp;
    int br_mode;          /* 0 CBR */
    int encoder;          /* 0 H.264 */
    char isp_file[100];   /* sensor/ISP tuning file */
} video_conf;

typedef struct audio_conf {
    int volume;
    int gain;
    int encoder;          /* 4 AAC */
    int channel;          /* channel count given to the muxer */
    int sample_rate;      /* Hz */
    char nr_enable;
    char agc_enable;
    char aec_enable;
} audio_conf;

typedef struct rtsp_conf {
    char enable;
    int port;
    char track;
    char main_name[30];
    char sub_name[30];
} rtsp_conf;

typedef struct osd_conf {
    char enable;
    char position;
} osd_conf;

int tvr_init_config(const char *conf);
void tvr_release_config(void);
const record_conf *tvr_get_record_conf(void);
const video_conf *tvr_get_video_conf(void);
const audio_conf *tvr_get_audio_conf(void);
const rtsp_conf *tvr_get_rtsp_conf(void);
const osd_conf *tvr_get_osd_conf(void);

#ifdef __cplusplus
}
#endif

#endif /* TVR_CONFIG_H */
