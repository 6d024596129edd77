// Threads, logging, ISP tuning file and fault injection of the host platform.
#include "ozi_host.h"
#include "ozi_sdk.h"
#include "support/log_capture.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <linux/capability.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <unistd.h>

namespace {

void *name_probe(void *arg)
{
    auto *out = static_cast<std::string *>(arg);
    ozi_thread_set_name("thread_venc_main_long_name");
    char name[32] = {0};
    pthread_getname_np(pthread_self(), name, sizeof name);
    *out = name;
    ozi_thread_exit(arg);
    return nullptr;
}

TEST(Core, RealtimeThreadFallsBackAndNameIsCut)
{
    ozi_host_clear_faults();
    std::string name;
    ozi_pthread_t tid;
    ASSERT_EQ(0, ozi_thread_create(&tid, name_probe, &name, 102400, 90));
    void *ret = nullptr;
    ASSERT_EQ(0, ozi_thread_join(tid, &ret));
    EXPECT_EQ(&name, ret);
    EXPECT_EQ("thread_venc_mai", name);
}

struct SchedSeen {
    int policy = -1;
    int priority = -1;
};

void *sched_probe(void *arg)
{
    auto *out = static_cast<SchedSeen *>(arg);
    struct sched_param sp;
    pthread_getschedparam(pthread_self(), &out->policy, &sp);
    out->priority = sp.sched_priority;
    return nullptr;
}

SchedSeen run_probe(int priority)
{
    SchedSeen seen;
    ozi_pthread_t tid;
    EXPECT_EQ(0, ozi_thread_create(&tid, sched_probe, &seen, 102400, priority));
    EXPECT_EQ(0, ozi_thread_join(tid, nullptr));
    return seen;
}

/* The calling thread's effective capability set (capabilities are per
 * thread), read and written without libcap. */
bool caps(bool set, __user_cap_data_struct data[2])
{
    __user_cap_header_struct hdr = {_LINUX_CAPABILITY_VERSION_3, 0};
    return syscall(set ? SYS_capset : SYS_capget, &hdr, data) == 0;
}

/* Whether this thread may give a thread a real-time policy. */
bool realtime_allowed()
{
    SchedSeen seen;
    pthread_t t;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    struct sched_param sp;
    sp.sched_priority = 1;
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attr, SCHED_RR);
    pthread_attr_setschedparam(&attr, &sp);
    const bool ok = pthread_create(&t, &attr, sched_probe, &seen) == 0;
    pthread_attr_destroy(&attr);
    if (ok)
        pthread_join(t, nullptr);
    return ok;
}

/* A priority from 1 to 99 gets round-robin real time at that priority where
 * the process may use it; a priority outside that range, the default. */
TEST(Core, RealtimePriorityIsAppliedWherePermitted)
{
    ozi_host_clear_faults();
    const bool allowed = realtime_allowed();
    SchedSeen rt = run_probe(90);
    if (allowed) {
        EXPECT_EQ(SCHED_RR, rt.policy);
        EXPECT_EQ(90, rt.priority);
    } else {
        EXPECT_EQ(SCHED_OTHER, rt.policy);
    }
    for (int priority : {-1, 0, 100}) {
        SchedSeen plain = run_probe(priority);
        EXPECT_EQ(SCHED_OTHER, plain.policy) << priority;
    }
}

/* Without the right to real time (no CAP_SYS_NICE, RLIMIT_RTPRIO 0) the
 * thread is still created, with the default policy. */
TEST(Core, RealtimeRefusedFallsBackToDefaultPolicy)
{
    ozi_host_clear_faults();
    struct rlimit old_rt;
    ASSERT_EQ(0, getrlimit(RLIMIT_RTPRIO, &old_rt));
    struct rlimit no_rt = {0, old_rt.rlim_max};
    ASSERT_EQ(0, setrlimit(RLIMIT_RTPRIO, &no_rt));
    __user_cap_data_struct saved[2], dropped[2];
    const bool have_caps = caps(false, saved);
    if (have_caps) {
        std::memcpy(dropped, saved, sizeof saved);
        dropped[CAP_SYS_NICE / 32].effective &= ~(1u << (CAP_SYS_NICE % 32));
        caps(true, dropped);
    }
    const bool allowed = realtime_allowed();
    SchedSeen seen;
    if (!allowed)
        seen = run_probe(90);
    if (have_caps)
        caps(true, saved);
    setrlimit(RLIMIT_RTPRIO, &old_rt);
    if (allowed)
        GTEST_SKIP() << "this environment does not let the test take the real-time right away";
    EXPECT_EQ(SCHED_OTHER, seen.policy);
}

TEST(Core, PrintWritesTheLine)
{
    tvrtest::LogCapture capture;
    ozi_print(MODULE_ID_APP, LOG_LEVEL_NOTICE, "[%s:%d] hello %s\n", "fn", 42, "world");
    EXPECT_EQ("[fn:42] hello world\n", capture.take());
}

/* On the system clock a sleep is never shorter than asked (a busy machine
 * may make it longer). */
TEST(Core, SleepWaitsAtLeastTheTime)
{
    struct timespec a, b;
    clock_gettime(CLOCK_MONOTONIC, &a);
    ozi_sleep_ms(30);
    clock_gettime(CLOCK_MONOTONIC, &b);
    long ms = (b.tv_sec - a.tv_sec) * 1000 + (b.tv_nsec - a.tv_nsec) / 1000000;
    EXPECT_GE(ms, 30);
}

TEST(Isp, MissingFileGivesNoticeAndBuiltInTuning)
{
    ozi_host_clear_faults();
    ASSERT_EQ(0, ozi_vi_open(0));
    tvrtest::ScratchDir dir("ozi_test");
    std::string path = dir / "missing.conf";
    tvrtest::LogCapture capture;
    int rc = ozi_vi_load_sensor_cfg(0, path.c_str());
    std::string out = capture.take();
    EXPECT_EQ(0, rc);
    EXPECT_NE(std::string::npos, out.find("not found")) << out;
    EXPECT_NE(std::string::npos, out.find(path)) << out;
    EXPECT_EQ(0, ozi_vi_close(0));
}

TEST(Isp, ExistingFileIsLoadedAndUnreadableOneFails)
{
    ozi_host_clear_faults();
    ASSERT_EQ(0, ozi_vi_open(0));
    tvrtest::ScratchDir dir("ozi_test");
    std::string path = dir / "isp.conf";
    {
        std::ofstream f(path, std::ios::binary);
        f << "opaque\x01\x02 tuning";
    }
    tvrtest::LogCapture capture;
    EXPECT_EQ(0, ozi_vi_load_sensor_cfg(0, path.c_str()));
    std::string out = capture.take();
    EXPECT_NE(std::string::npos, out.find("loaded")) << out;

    tvrtest::LogCapture capture2;
    EXPECT_NE(0, ozi_vi_load_sensor_cfg(0, "/tmp")); /* a directory is no tuning file */
    capture2.take();
    EXPECT_EQ(0, ozi_vi_close(0));
}

void *noop(void *)
{
    return nullptr;
}

/* One row per operation whose failure the daemon handles: the call must
 * succeed when no fault is set, so a failing call proves the injection. */
struct FaultRow {
    const char *op;
    std::function<int()> call;
    std::function<void()> undo; /* undoes a successful call */
};

TEST(Fault, NamedOperationsFailTheGivenNumberOfTimes)
{
    static unsigned char pcm[512];
    static unsigned char picture[64 * 64 * 3 / 2];
    int venc = -1, aenc = -1, ai = -1;
    struct venc_param vp;
    std::memset(&vp, 0, sizeof vp);
    vp.width = 64;
    vp.height = 64;
    vp.fps = 10;
    vp.goplen = 10;
    vp.target_kbps = 100;
    vp.max_kbps = 100;
    vp.minqp = 20;
    vp.maxqp = 50;
    struct aenc_param ap;
    std::memset(&ap, 0, sizeof ap);
    ap.aenc_data_attr = {AUDIO_SAMPLE_RATE_8000, 16, AUDIO_CHANNEL_MONO};
    ap.type = OZI_AUDIO_TYPE_AAC;
    struct ozi_audio_in_param aip;
    std::memset(&aip, 0, sizeof aip);
    aip.pcm_data_attr = {AUDIO_SAMPLE_RATE_8000, 16, AUDIO_CHANNEL_MONO};
    aip.dev_id = DEV_ADC;
    VI_DEV_ATTR dev;
    std::memset(&dev, 0, sizeof dev);
    VI_CHN_ATTR chn;
    std::memset(&chn, 0, sizeof chn);
    chn.chn_id = 1;
    chn.res = {64, 64};
    chn.frame_rate = 10;
    chn.frame_depth = 2;
    RECTANGLE_S rect;
    struct sdk_run_config cfg;
    std::memset(&cfg, 0, sizeof cfg);

    ozi_host_clear_faults();
    ASSERT_EQ(0, ozi_vi_open(0));
    ASSERT_EQ(0, ozi_venc_open(&vp, &venc));
    ASSERT_EQ(0, ozi_aenc_open(&ap, &aenc));
    ASSERT_EQ(0, ozi_ai_open(&aip, &ai));

    const FaultRow rows[] = {
        {"ozi_sdk_init", [&] { return ozi_sdk_init(&cfg); }, [] { ozi_sdk_exit(); }},
        {"ozi_vi_open", [] { return ozi_vi_open(0); }, nullptr},
        {"ozi_vi_load_sensor_cfg", [] { return ozi_vi_load_sensor_cfg(0, "/nonexistent/isp"); },
         nullptr},
        {"ozi_vi_get_sensor_resolution", [&] { return ozi_vi_get_sensor_resolution(0, &rect); },
         nullptr},
        {"ozi_vi_set_dev_attr", [&] { return ozi_vi_set_dev_attr(0, &dev); }, nullptr},
        {"ozi_vi_set_chn_attr", [&] { return ozi_vi_set_chn_attr(1, &chn); }, nullptr},
        {"ozi_vi_enable_dev", [] { return ozi_vi_enable_dev(0); }, nullptr},
        {"ozi_vi_enable_chn", [] { return ozi_vi_enable_chn(1); }, [] { ozi_vi_disable_chn(1); }},
        {"ozi_venc_open", [&] { int h; int rc = ozi_venc_open(&vp, &h); if (!rc) ozi_venc_close(h); return rc; },
         nullptr},
        {"ozi_venc_encode_frame",
         [&] {
             struct video_stream s;
             int rc = ozi_venc_encode_frame(venc, picture, sizeof picture, nullptr, &s);
             if (!rc)
                 ozi_venc_release_stream(venc, &s);
             return rc;
         },
         nullptr},
        /* one microphone: it is closed first, and is open again at the end */
        {"ozi_ai_open", [&] { ozi_ai_close(ai); return ozi_ai_open(&aip, &ai); }, nullptr},
        {"ozi_ai_set_source", [&] { return ozi_ai_set_source(ai, AI_SOURCE_MIC); }, nullptr},
        {"ozi_ai_start_capture", [&] { return ozi_ai_start_capture(ai); },
         [&] { ozi_ai_stop_capture(ai); }},
        {"ozi_aenc_open", [&] { int h; int rc = ozi_aenc_open(&ap, &h); if (!rc) ozi_aenc_close(h); return rc; },
         nullptr},
        {"ozi_aenc_send_frame",
         [&] {
             struct frame f;
             std::memset(&f, 0, sizeof f);
             f.data = pcm;
             f.len = sizeof pcm;
             return ozi_aenc_send_frame(aenc, &f, 0);
         },
         nullptr},
        {"ozi_thread_create",
         [] {
             ozi_pthread_t t;
             int rc = ozi_thread_create(&t, noop, nullptr, 102400, -1);
             if (!rc)
                 ozi_thread_join(t, nullptr);
             return rc;
         },
         nullptr},
        /* Take-down and setting calls; a failed one leaves things as they
         * were, so a close that failed has the handle still open. */
        {"ozi_sdk_exit", [] { return ozi_sdk_exit(); }, nullptr},
        {"ozi_print", [] { return ozi_print(MODULE_ID_APP, LOG_LEVEL_INFO, "%s", ""); }, nullptr},
        {"ozi_vi_disable_chn", [] { return ozi_vi_disable_chn(1); }, nullptr},
        {"ozi_vi_disable_dev", [] { return ozi_vi_disable_dev(0); }, nullptr},
        {"ozi_vi_close", [] { return ozi_vi_close(0); }, [] { ozi_vi_open(0); }},
        {"ozi_venc_close", [&] { return ozi_venc_close(venc); }, [&] { ozi_venc_open(&vp, &venc); }},
        {"ozi_venc_request_idr", [&] { return ozi_venc_request_idr(venc); }, nullptr},
        {"ozi_venc_release_stream",
         [&] {
             static struct video_stream s;
             if (!s.data && ozi_venc_encode_frame(venc, picture, sizeof picture, nullptr, &s) != 0)
                 return -2;
             int rc = ozi_venc_release_stream(venc, &s);
             if (rc == 0)
                 s.data = nullptr; /* given back: encode another for the next call */
             return rc;
         },
         nullptr},
        {"ozi_ai_close", [&] { return ozi_ai_close(ai); }, [&] { ozi_ai_open(&aip, &ai); }},
        {"ozi_ai_enable_nr", [&] { return ozi_ai_enable_nr(ai, 1); }, nullptr},
        {"ozi_ai_enable_agc", [&] { return ozi_ai_enable_agc(ai, 1); }, nullptr},
        {"ozi_ai_enable_aec", [&] { return ozi_ai_enable_aec(ai, 1); }, nullptr},
        {"ozi_ai_set_gain", [&] { return ozi_ai_set_gain(ai, 8); }, nullptr},
        {"ozi_ai_stop_capture", [&] { return ozi_ai_stop_capture(ai); }, nullptr},
        {"ozi_aenc_close", [&] { return ozi_aenc_close(aenc); }, [&] { ozi_aenc_open(&ap, &aenc); }},
        {"ozi_aenc_set_attr",
         [&] {
             struct aenc_attr attr = {AENC_AAC_SAVE_FRAME_HEAD};
             return ozi_aenc_set_attr(aenc, &attr);
         },
         nullptr},
        {"ozi_thread_set_name", [] { return ozi_thread_set_name("fault_probe"); }, nullptr},
        {"ozi_thread_detach",
         [] {
             ozi_pthread_t t;
             if (ozi_thread_create(&t, noop, nullptr, 102400, -1) != 0)
                 return -2;
             int rc = ozi_thread_detach(t);
             if (rc != 0)
                 pthread_join(t, nullptr); /* still joinable */
             return rc;
         },
         nullptr},
        {"ozi_thread_join",
         [] {
             ozi_pthread_t t;
             if (ozi_thread_create(&t, noop, nullptr, 102400, -1) != 0)
                 return -2;
             int rc = ozi_thread_join(t, nullptr);
             if (rc != 0)
                 pthread_join(t, nullptr); /* the failed join left it as it was */
             return rc;
         },
         nullptr},
    };
    ozi_vi_close(0); /* the ai handle stays; the table reopens vi itself */
    for (const FaultRow &row : rows) {
        SCOPED_TRACE(row.op);
        ozi_host_clear_faults();
        if (std::strcmp(row.op, "ozi_vi_open") != 0) {
            ASSERT_EQ(0, ozi_vi_open(0));
        }
        ASSERT_EQ(0, ozi_host_fail(row.op, 1, 2));
        EXPECT_EQ(0, row.call()) << "first call is let through";
        if (row.undo)
            row.undo();
        EXPECT_NE(0, row.call());
        EXPECT_NE(0, row.call());
        EXPECT_EQ(0, row.call()) << "the rule is used up";
        if (row.undo)
            row.undo();
        EXPECT_EQ(4, ozi_host_call_count(row.op));
        ozi_vi_close(0);
    }
    ozi_host_clear_faults();
    EXPECT_EQ(0, ozi_venc_close(venc));
    EXPECT_EQ(0, ozi_aenc_close(aenc));
    EXPECT_EQ(0, ozi_ai_close(ai));
}

} // namespace
