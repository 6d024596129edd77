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

#include <stdint.h>

#include "ozi_sdk.h"
#include "tvr_avsrc.h"
#include "tvr_config.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct record_ctrl {
    volatile char run;            /* 1 while thread_mux keeps running */
    const record_conf *conf;
    void *p_aenc_handle;          /* null when audio is not recorded */
    void *p_venc_handle;          /* null when video is not recorded */
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

#ifdef __cplusplus
}
#endif

#endif /* TVR_RECORD_H */
