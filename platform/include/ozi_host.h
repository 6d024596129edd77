/*
 * ozi_host.h - controls of the host (emulated) media platform.
 *
 * Only tests and the platform itself include this header; the daemon never
 * does.  Fault injection: any platform operation with a result, named as
 * in ozi_sdk.h, can be made to fail its next N calls: it then returns -1
 * (null for none of them) and does nothing else, so a failed release keeps
 * its buffer and a failed close keeps its handle.  The version texts,
 * ozi_thread_exit and ozi_sleep_ms have no result and never fail.  The
 * same is possible for a whole process through the environment:
 *
 *   OZI_FAIL="ozi_ai_open:1,ozi_venc_encode_frame:12"
 *
 * A leading "@K/" on a count ("ozi_mux_add_video:@5/3") lets the first K
 * calls pass before N calls fail.
 */
#ifndef OZI_HOST_H
#define OZI_HOST_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The x264 speed preset of the host H.264 encoder (libx264 through
 * libavcodec): the fastest, so that a 1080p25 main stream plus the sub
 * stream leave room on a small shared machine.  Benchmarks that compare
 * against another encoder use the same preset. */
#define OZI_HOST_H264_PRESET "ultrafast"

/* x264 options laid over the preset for Main and High profile streams: the
 * fastest preset turns CABAC off, which would make the stream Constrained
 * Baseline; CABAC keeps it a real Main profile stream at a small cost. */
#define OZI_HOST_H264_MAIN_OPTS "cabac=1"

/* The next `count` calls of operation `op` fail, after `skip` calls that
 * pass.  count 0 removes the rule.  Returns 0, or -1 for an unknown name
 * or a full table. */
int ozi_host_fail(const char *op, int skip, int count);

/* Removes every rule (also those read from OZI_FAIL). */
void ozi_host_clear_faults(void);

/* For the platform's operations: 1 when this call of `op` must fail.
 * Consumes one count of a matching rule. */
int ozi_host_should_fail(const char *op);

/* Number of calls of `op` seen since the last clear (counted only for
 * operations that consult ozi_host_should_fail). */
int ozi_host_call_count(const char *op);

/*
 * The platform's clock: frame time stamps, the pacing of pictures and audio
 * frames, and ozi_sleep_ms all follow it.  By default it is the system's
 * monotonic clock.  A test may switch to a manual clock, which starts at the
 * next whole second of the present reading and moves only when the test
 * advances it; threads asleep
 * on it (ozi_sleep_ms, a waiting ozi_ai_get_frame) wake when it reaches
 * their deadline.  Switching back wakes every sleeper; time never goes
 * backwards.
 */
void ozi_host_clock_manual(void);
void ozi_host_clock_system(void);

/* Moves the manual clock on by `us`; -1 while the system clock runs. */
int ozi_host_clock_advance_us(uint64_t us);

/* The platform's present time in us. */
uint64_t ozi_host_clock_now_us(void);

/* Threads asleep on the manual clock that it has not woken yet. */
int ozi_host_clock_sleepers(void);

/* Waits until at least `count` threads sleep on the manual clock: the
 * threads that pace on it have done all they can at this time.  0, or -1
 * after timeout_ms of real time (a hung thread, not a slow machine). */
int ozi_host_clock_wait_sleepers(int count, int timeout_ms);

/* Advances the manual clock by `us` in steps of `step_us`, waiting before
 * each step and at the end until `sleepers` threads sleep on it.  0, or -1
 * when a wait timed out or the manual clock is off. */
int ozi_host_clock_run(uint64_t us, uint64_t step_us, int sleepers, int timeout_ms);

#ifdef __cplusplus
}
#endif

#endif /* OZI_HOST_H */
