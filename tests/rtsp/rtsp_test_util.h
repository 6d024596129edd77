// Server objects and channels built by hand for tests of the request
// handler and the delivery pass: no server thread, no source, no video
// thread.
#ifndef RTSP_TEST_UTIL_H
#define RTSP_TEST_UTIL_H

#include "dovu_rtsp.h"

// A server object whose SETUPs search UDP ports from rtp_base.
rtsp_t *fake_rtsp_new(int rtp_base);
// Adds a channel named name; with video it reports a video stream.
rtsp_channel_t *fake_channel_add(rtsp_t *rtsp, const char *name, bool video);
// Frees every session (closing its UDP sockets), channel and the object.
void fake_rtsp_free(rtsp_t *rtsp);

// The calling thread's id, for thread_blocked.
int this_thread_id();
// True while thread tid of this process sleeps in a futex wait: on a
// condition variable, or on a mutex another thread holds.
bool thread_blocked(int tid);

#endif
