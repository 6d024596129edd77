/*
 * daemon_test_util.h - helpers of the media source's in-process tests:
 * looking into the queues the way a consumer does (under the read lock),
 * bringing the source up.  Log capture, waiting and the manual clock come
 * from tests/support.
 */
#ifndef DAEMON_TEST_UTIL_H
#define DAEMON_TEST_UTIL_H

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "ozi_host.h"
#include "support/log_capture.h"
#include "support/manual_clock.h"
#include "support/wait.h"
#include "tvr_avsrc.h"

namespace tvrtest {

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
