/*
 * daemon_test_util.h - helpers of the media source's in-process tests:
 * log capture, waiting for a condition, looking into the queues the way a
 * consumer does (under the read lock).
 */
#ifndef DAEMON_TEST_UTIL_H
#define DAEMON_TEST_UTIL_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "ozi_host.h"
#include "support/wait.h"
#include "tvr_avsrc.h"

namespace tvrtest {

inline void sleep_ms(int ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

/* Puts the platform on its manual clock for one scope: the channels'
 * workers capture only as the test moves time on, so what they deliver
 * per second of that time does not depend on how busy the machine is. */
class ManualClock {
public:
    /* `workers`: the threads that pace on the clock (encoder workers,
     * the recorder); time moves only while all of them sleep on it. */
    explicit ManualClock(int workers) : workers_(workers) { ozi_host_clock_manual(); }
    ~ManualClock() { ozi_host_clock_system(); }
    ManualClock(const ManualClock &) = delete;
    ManualClock &operator=(const ManualClock &) = delete;

    /* Back to the system clock, which wakes every sleeper: needed before
     * a release, which waits for its worker to leave its sleep. */
    void stop() const { ozi_host_clock_system(); }

    /* Moves time on by `ms` in 10 ms steps.  The real-time bound only
     * catches a worker that hangs. */
    bool run(int ms) const
    {
        return ozi_host_clock_run(static_cast<uint64_t>(ms) * 1000, 10000, workers_, 30000) == 0;
    }
    /* Moves time on in 10 ms steps until `pred` holds, at most `ms`. */
    bool run_until(const std::function<bool()> &pred, int ms) const
    {
        for (int t = 0; t < ms; t += 10) {
            if (pred())
                return true;
            if (!run(10))
                return false;
        }
        return pred();
    }

private:
    int workers_;
};

/* Captures everything the daemon logs (ozi_print writes to stdout). */
class LogCapture {
public:
    LogCapture() { testing::internal::CaptureStdout(); }
    ~LogCapture()
    {
        if (!done_)
            testing::internal::GetCapturedStdout();
    }
    std::string take()
    {
        done_ = true;
        return testing::internal::GetCapturedStdout();
    }

private:
    bool done_ = false;
};

inline video_chn_param *video_chn(int chnid)
{
    return chnid == 0 ? &tvr_avsrc->main_video_param : &tvr_avsrc->sub_video_param;
}

/* Entries in a video queue, counted under its read lock. */
inline int video_queue_len(int chnid)
{
    video_chn_param *c = video_chn(chnid);
    int n = 0;
    pthread_rwlock_rdlock(&c->rwlock_venc_data_list);
    struct list_head *pos;
    list_for_each(pos, &c->list_head_venc_data_list) n++;
    pthread_rwlock_unlock(&c->rwlock_venc_data_list);
    return n;
}

inline int audio_queue_len()
{
    audio_chn_param *a = &tvr_avsrc->main_audio_param;
    int n = 0;
    pthread_rwlock_rdlock(&a->rwlock_aenc_data_list);
    struct list_head *pos;
    list_for_each(pos, &a->list_head_aenc_data_list) n++;
    pthread_rwlock_unlock(&a->rwlock_aenc_data_list);
    return n;
}

/* Reads a channel's ref_count under its mutex. */
inline int ref_count_of(pthread_mutex_t *m, const int *count)
{
    pthread_mutex_lock(m);
    int v = *count;
    pthread_mutex_unlock(m);
    return v;
}

inline int video_refs(int chnid)
{
    video_chn_param *c = video_chn(chnid);
    return ref_count_of(&c->mutex_ref_count, &c->ref_count);
}

inline int video_handle(int chnid)
{
    video_chn_param *c = video_chn(chnid);
    return ref_count_of(&c->mutex_ref_count, &c->venc_handle);
}

inline int audio_refs()
{
    audio_chn_param *a = &tvr_avsrc->main_audio_param;
    return ref_count_of(&a->mutex_ref_count, &a->ref_count);
}

inline int audio_handle()
{
    audio_chn_param *a = &tvr_avsrc->main_audio_param;
    return ref_count_of(&a->mutex_ref_count, &a->aenc_handle);
}

/* Brings the media source up once per test (it stays up between tests
 * that run in one process) and drops every injected fault. */
class AvSourceTest : public testing::Test {
protected:
    void SetUp() override
    {
        ozi_host_clear_faults();
        ASSERT_GE(tvr_mirel_init_av("tavro_mirel.conf"), 0);
    }
    void TearDown() override { ozi_host_clear_faults(); }
};

inline void *start_video(const char *name)
{
    return tvr_mirel_venc_start(const_cast<char *>(name));
}

inline void *start_audio(const char *name)
{
    return tvr_mirel_aenc_start(const_cast<char *>(name));
}

} // namespace tvrtest

#endif /* DAEMON_TEST_UTIL_H */
