/*
 * dovu_internal.h - the streaming library's global record and registry
 * entry.  Internal to libdovu; producers use dovu.h.
 */
#ifndef DOVU_INTERNAL_H
#define DOVU_INTERNAL_H

#include <pthread.h>
#include <stdint.h>
#include <stdio.h>

#include "dovu.h"
#include "list.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Longest source name kept at registration; longer names are cut. */
#define DOVU_SRC_NAME_MAX 29

/* One registered source; the opaque source handle points to it.  Allocated
 * zero-filled at registration, freed at unregistration.  Every field but
 * list is fixed once the source is linked. */
typedef struct dovu_source {
    char src_name[DOVU_SRC_NAME_MAX + 1]; /* NUL-terminated */
    const char *conf;                     /* reserved, stays null */
    src_ops srcops;                       /* copy of the producer's table */
    struct list_head list;                /* node in dovu_t.list_head_src; guarded by mutex_src */
} dovu_source;

/* The library's one global record (a static of dovu.cpp). */
typedef struct dovu_t {
    struct list_head list_head_src; /* sources in registration order; guarded by mutex_src */
    pthread_mutex_t mutex_src;      /* held only to walk, link or unlink the registry */
    uint8_t init_flag;              /* 1 from dovu_init to dovu_exit; guarded by mutex_src */
    void *rtsp;                     /* RTSP server object, or null; library user's thread */
    void *httpflv;                  /* reserved, stays null */
    void *hls;                      /* reserved, stays null */
    void *webrtc;                   /* reserved, stays null */
    FILE *log;                      /* stream of "/tmp/dovu.log", or null */
    int32_t conf_handle;            /* configuration handle, handed to the RTSP server */
} dovu_t;

/* Starts one medium (audio non-zero: audio, else video) of the source
 * named src_name ("" for the first registered one) for channel chn_id.
 * Returns the source handle with *handle set (null when the source has no
 * such medium or could not start it), or null when there is no source. */
void *dovu_start_medium(const char *src_name, void *chn_id, int audio, void **handle);

/* Undoes one dovu_start_medium; a null handle is ignored. */
void dovu_release_medium(void *dovu_src, int audio, void *handle);

#ifdef __cplusplus
}
#endif

#endif /* DOVU_INTERNAL_H */
