/*
 * dovu_rtsp.h - RTSP server of the streaming library.
 *
 * The library's entry points dovu_start_rtsp/dovu_release_rtsp do nothing
 * but call rtsp_create/rtsp_destroy.  The server object is opaque to the
 * rest of the library.
 */
#ifndef DOVU_RTSP_H
#define DOVU_RTSP_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct rtsp_t rtsp_t;

/* Reads the "RTSP" settings through conf_handle, starts the server thread
 * and returns the server object, or null. */
rtsp_t *rtsp_create(int32_t conf_handle);

/* Stops the server thread and waits for it, detaches every remaining
 * channel and frees the object; ignores null. */
void rtsp_destroy(rtsp_t *rtsp);

#ifdef __cplusplus
}
#endif

#endif /* DOVU_RTSP_H */
