// Source registry and library interface against recording fake sources and
// a recording stand-in for the RTSP server.
#include <gtest/gtest.h>

#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "dovu.h"
#include "fake_rtsp.h"
#include "ll_log.h"
#include "support/log_capture.h"

namespace {

// What a fake source saw and what it answers.
struct fake_source {
    int init_calls = 0, exit_calls = 0, info_calls = 0;
    int vstart_calls = 0, astart_calls = 0, vrelease_calls = 0, arelease_calls = 0;
    int vdata_calls = 0, adata_calls = 0;
    int32_t init_result = 0;
    int32_t info_result = 0;
    bool video_fails = false, audio_fails = false;
    std::string last_conf, last_chn;
    void *last_vrelease = reinterpret_cast<void *>(1), *last_arelease = reinterpret_cast<void *>(1);
    void *last_data_handle = nullptr;
    audio_info *last_ainfo = nullptr;
    video_info *last_vinfo = nullptr;
    int vhandle = 0, ahandle = 0;  // addresses serve as stream handles
};

fake_source fakes[2];

template <int N>
struct ops {
    static int32_t init(const char *conf)
    {
        fakes[N].init_calls++;
        fakes[N].last_conf = conf ? conf : "(null)";
        return fakes[N].init_result;
    }
    static void exit_src()
    {
        fakes[N].exit_calls++;
        fake_events.push_back("exit:" + std::to_string(N));
    }
    static int32_t info(void *chnid, audio_info *a, video_info *v)
    {
        fakes[N].info_calls++;
        fakes[N].last_chn = static_cast<const char *>(chnid);
        fakes[N].last_ainfo = a;
        fakes[N].last_vinfo = v;
        return fakes[N].info_result;
    }
    static void *vstart(void *chnid)
    {
        fakes[N].vstart_calls++;
        fakes[N].last_chn = static_cast<const char *>(chnid);
        fake_events.push_back("vstart:" + std::to_string(N));
        return fakes[N].video_fails ? nullptr : &fakes[N].vhandle;
    }
    static void *astart(void *)
    {
        fakes[N].astart_calls++;
        fake_events.push_back("astart:" + std::to_string(N));
        return fakes[N].audio_fails ? nullptr : &fakes[N].ahandle;
    }
    static void vrelease(void *h)
    {
        fakes[N].vrelease_calls++;
        fakes[N].last_vrelease = h;
        fake_events.push_back("vrelease:" + std::to_string(N));
    }
    static void arelease(void *h)
    {
        fakes[N].arelease_calls++;
        fakes[N].last_arelease = h;
        fake_events.push_back("arelease:" + std::to_string(N));
    }
    static void vdata(void *h, unsigned char *buff, unsigned int *size, unsigned long long *ts)
    {
        fakes[N].vdata_calls++;
        fakes[N].last_data_handle = h;
        memcpy(buff, "\x00\x00\x00\x01\x65", 5);
        *size = 5;
        *ts = 1234567ULL + N;
    }
    static void adata(void *h, unsigned char *buff, unsigned int *size, unsigned long long *ts)
    {
        fakes[N].adata_calls++;
        fakes[N].last_data_handle = h;
        buff[0] = 0xff;
        *size = 1;
        *ts = 42;
    }
    static src_ops table()
    {
        return src_ops{init, exit_src, info,
                       stream_ops{vstart, vrelease, vdata},
                       stream_ops{astart, arelease, adata}};
    }
};

class Registry : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (auto &f : fakes)
            f = fake_source();
        fake_rtsp = fake_rtsp_state();
        fake_events.clear();
        ASSERT_EQ(dovu_init("dovu.conf"), 0);
    }
    void TearDown() override { dovu_exit(); }
    void *reg(int n, const char *name)
    {
        src_ops t = n == 0 ? ops<0>::table() : ops<1>::table();
        return dovu_register_av_source(name, "tavro_mirel.conf", &t);
    }
};

TEST(RegistryLifecycle, InitOpensEmptyLogStartsServerAndAnnounces)
{
    {
        std::ofstream old("/tmp/dovu.log");
        old << "left over from an earlier run\n";
    }
    fake_rtsp = fake_rtsp_state();
    tvrtest::LogCapture capture;
    EXPECT_EQ(dovu_init("dovu.conf"), 0);
    const std::string out = capture.take();

    struct stat sb;
    ASSERT_EQ(stat("/tmp/dovu.log", &sb), 0);
    EXPECT_EQ(sb.st_size, 0);
    EXPECT_EQ(ll_get_log_level(), LOG_LEVEL_DEBUG);
    EXPECT_EQ(fake_rtsp.create_calls, 1);
    EXPECT_EQ(fake_rtsp.last_conf_handle, 0);
    const std::regex notice(
        R"(\[INFO\]\[\d{2}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}:\d{3}\]DOVU[^\n]*, current version 1\.0[A-Z][a-z]{2} [ 0-9]\d \d{4}\n)");
    EXPECT_TRUE(std::regex_match(out, notice)) << out;
    EXPECT_EQ(dovu_init("dovu.conf"), 0);  // already initialised: ignored
    EXPECT_EQ(fake_rtsp.create_calls, 1);

    dovu_exit();
    EXPECT_EQ(fake_rtsp.destroy_calls, 1);
    // A second init after exit works the same way.
    EXPECT_EQ(dovu_init(""), 0);
    EXPECT_EQ(fake_rtsp.last_conf_handle, -1);  // rejected path: handle -1
    dovu_exit();
}

TEST(RegistryLifecycle, RegistrationOutsideInitIsRefused)
{
    for (auto &f : fakes)
        f = fake_source();
    src_ops t = ops<0>::table();
    ll_set_log_level(LOG_LEVEL_DEBUG);
    tvrtest::LogCapture capture;
    EXPECT_EQ(dovu_register_av_source("tavro_mirel", "c", &t), nullptr);
    std::string out = capture.take();
    EXPECT_TRUE(std::regex_match(
        out, std::regex(R"(\[ERROR\]\[[-0-9: ]{21}\]\[dovu_register_av_source:\d+\]dovu is not initialized!\n)")))
        << out;

    dovu_init("dovu.conf");
    dovu_exit();
    EXPECT_EQ(dovu_register_av_source("tavro_mirel", "c", &t), nullptr);
    EXPECT_EQ(fakes[0].init_calls, 0);
    void *v = nullptr, *a = nullptr;
    EXPECT_EQ(dovu_start_avstream("", const_cast<char *>("main"), &v, &a), nullptr);
}

TEST_F(Registry, DuplicateNameIsRefusedAndFirstStaysUsable)
{
    void *first = reg(0, "tavro_mirel");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(fakes[0].init_calls, 1);
    EXPECT_EQ(fakes[0].last_conf, "tavro_mirel.conf");

    tvrtest::LogCapture capture;
    EXPECT_EQ(reg(1, "tavro_mirel"), nullptr);
    std::string out = capture.take();
    EXPECT_TRUE(std::regex_match(
        out, std::regex(R"(\[ERROR\]\[[-0-9: ]{21}\]\[dovu_register_av_source:\d+\]src_name:tavro_mirel was resgistered\n)")))
        << out;
    EXPECT_EQ(fakes[1].init_calls, 0);

    void *v = nullptr, *a = nullptr;
    EXPECT_EQ(dovu_start_avstream("tavro_mirel", const_cast<char *>("main"), &v, &a), first);
    EXPECT_EQ(v, &fakes[0].vhandle);
    EXPECT_EQ(a, &fakes[0].ahandle);
    EXPECT_EQ(fakes[1].vstart_calls, 0);
}

TEST_F(Registry, FailingInitSourceKeepsTheNameUntilExit)
{
    fakes[0].init_result = -1;
    EXPECT_EQ(reg(0, "cam"), nullptr);
    EXPECT_EQ(fakes[0].init_calls, 1);
    EXPECT_EQ(reg(1, "cam"), nullptr);  // name still taken
    EXPECT_EQ(fakes[1].init_calls, 0);

    // A positive answer (already initialised) is success.
    fakes[1].init_result = 3;
    EXPECT_NE(reg(1, "other"), nullptr);

    dovu_exit();
    EXPECT_EQ(fakes[0].exit_calls, 1);
    EXPECT_EQ(fakes[1].exit_calls, 1);
    dovu_init("dovu.conf");  // for TearDown
}

TEST_F(Registry, SourceSelectionByName)
{
    void *v = nullptr, *a = nullptr;
    // Empty registry: nothing is found, nothing is written.
    EXPECT_EQ(dovu_start_avstream("", const_cast<char *>("main"), &v, &a), nullptr);
    EXPECT_EQ(v, nullptr);

    void *s0 = reg(0, "alpha");
    void *s1 = reg(1, "beta");
    ASSERT_TRUE(s0 && s1);
    struct {
        const char *name;
        void *want;
        int fake;  // -1: no source called
    } cases[] = {
        {"", s0, 0},       // no source part: the first registered
        {"alpha", s0, 0},
        {"beta", s1, 1},
        {"Beta", nullptr, -1},
        {"gamma", nullptr, -1},
        {"alph", nullptr, -1},
    };
    for (const auto &c : cases) {
        for (auto &f : fakes)
            f.vstart_calls = f.astart_calls = 0;
        v = a = reinterpret_cast<void *>(0x1);
        EXPECT_EQ(dovu_start_avstream(c.name, const_cast<char *>("sub"), &v, &a), c.want)
            << c.name;
        for (int n = 0; n < 2; ++n) {
            EXPECT_EQ(fakes[n].vstart_calls, n == c.fake ? 1 : 0) << c.name;
            EXPECT_EQ(fakes[n].astart_calls, n == c.fake ? 1 : 0) << c.name;
        }
        if (c.fake >= 0) {
            EXPECT_EQ(v, &fakes[c.fake].vhandle);
            EXPECT_EQ(fakes[c.fake].last_chn, "sub");
        } else {
            EXPECT_EQ(v, reinterpret_cast<void *>(0x1)) << "handle written for " << c.name;
        }
    }
}

TEST_F(Registry, NamesAreCutTo29Characters)
{
    const std::string n29(29, 'n');
    void *s = reg(0, n29.c_str());
    ASSERT_NE(s, nullptr);
    void *v, *a;
    EXPECT_EQ(dovu_start_avstream(n29.c_str(), const_cast<char *>("main"), &v, &a), s);

    const std::string n30 = std::string(29, 'm') + "X";
    void *s30 = reg(1, n30.c_str());
    ASSERT_NE(s30, nullptr);
    EXPECT_EQ(dovu_start_avstream(n30.substr(0, 29).c_str(), const_cast<char *>("main"), &v, &a),
              s30);
    EXPECT_EQ(dovu_start_avstream(n30.c_str(), const_cast<char *>("main"), &v, &a), nullptr);
    // The cut name is taken.
    EXPECT_EQ(reg(0, (std::string(29, 'm') + "Y").c_str()), nullptr);
}

TEST_F(Registry, StreamStartWithOneOrNoMedium)
{
    void *s = reg(0, "cam");
    void *v, *a;

    fakes[0].video_fails = true;
    EXPECT_EQ(dovu_start_avstream("cam", const_cast<char *>("main"), &v, &a), s);
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(a, &fakes[0].ahandle);

    fakes[0].audio_fails = true;
    fake_events.clear();
    EXPECT_EQ(dovu_start_avstream("cam", const_cast<char *>("main"), &v, &a), nullptr);
    // Both starts were tried, video first, and nothing was released.
    EXPECT_EQ(fake_events, (std::vector<std::string>{"vstart:0", "astart:0"}));
    EXPECT_EQ(fakes[0].vrelease_calls + fakes[0].arelease_calls, 0);
}

TEST_F(Registry, ReleasePassesBothHandlesEvenNull)
{
    void *s = reg(0, "cam");
    fake_events.clear();
    dovu_release_avstream(s, nullptr, &fakes[0].ahandle);
    EXPECT_EQ(fake_events, (std::vector<std::string>{"vrelease:0", "arelease:0"}));
    EXPECT_EQ(fakes[0].last_vrelease, nullptr);
    EXPECT_EQ(fakes[0].last_arelease, &fakes[0].ahandle);
}

TEST_F(Registry, DataAndInfoPassThrough)
{
    void *s = reg(1, "cam");
    unsigned char buf[16] = {0};
    unsigned int size = 0;
    unsigned long long ts = 0;
    dovu_get_video_stream_data(s, &fakes[1].vhandle, buf, &size, &ts);
    EXPECT_EQ(fakes[1].vdata_calls, 1);
    EXPECT_EQ(fakes[1].last_data_handle, &fakes[1].vhandle);
    EXPECT_EQ(size, 5u);
    EXPECT_EQ(ts, 1234568ULL);
    EXPECT_EQ(buf[4], 0x65);

    dovu_get_audio_stream_data(s, &fakes[1].ahandle, buf, &size, &ts);
    EXPECT_EQ(fakes[1].adata_calls, 1);
    EXPECT_EQ(fakes[1].last_data_handle, &fakes[1].ahandle);
    EXPECT_EQ(size, 1u);
    EXPECT_EQ(ts, 42u);

    audio_info ai{};
    video_info vi{};
    fakes[1].info_result = -7;
    EXPECT_EQ(dovu_get_stream_info(s, const_cast<char *>("main"), &ai, &vi), -7);
    EXPECT_EQ(fakes[1].last_ainfo, &ai);
    EXPECT_EQ(fakes[1].last_vinfo, &vi);
    EXPECT_EQ(fakes[1].last_chn, "main");
}

TEST_F(Registry, TableIsCopiedAtRegistration)
{
    src_ops t = ops<0>::table();
    void *s = dovu_register_av_source("cam", "c", &t);
    t = ops<1>::table();  // the caller's table changes afterwards
    void *v, *a;
    EXPECT_EQ(dovu_start_avstream("cam", const_cast<char *>("main"), &v, &a), s);
    EXPECT_EQ(fakes[0].vstart_calls, 1);
    EXPECT_EQ(fakes[1].vstart_calls, 0);
}

TEST_F(Registry, NullHandlesAreHarmless)
{
    unsigned int size = 99;
    unsigned long long ts = 0;
    unsigned char buf[4];
    dovu_get_video_stream_data(nullptr, nullptr, buf, &size, &ts);
    EXPECT_EQ(size, 0u);
    size = 99;
    dovu_get_audio_stream_data(nullptr, nullptr, buf, &size, &ts);
    EXPECT_EQ(size, 0u);
    audio_info ai{};
    video_info vi{};
    EXPECT_EQ(dovu_get_stream_info(nullptr, nullptr, &ai, &vi), -1);
    dovu_release_avstream(nullptr, nullptr, nullptr);
    dovu_unregister_av_source(nullptr);
    EXPECT_EQ(dovu_register_av_source(nullptr, "c", nullptr), nullptr);
    void *v;
    EXPECT_EQ(dovu_start_avstream(nullptr, nullptr, &v, &v), nullptr);
}

TEST_F(Registry, UnregisterCallsExitOnceAndFreesTheName)
{
    void *s = reg(0, "cam");
    dovu_unregister_av_source(s);
    EXPECT_EQ(fakes[0].exit_calls, 1);
    void *v, *a;
    EXPECT_EQ(dovu_start_avstream("cam", const_cast<char *>("main"), &v, &a), nullptr);
    EXPECT_NE(reg(1, "cam"), nullptr);
    dovu_unregister_av_source(s);  // stale handle: ignored
    EXPECT_EQ(fakes[0].exit_calls, 1);
}

TEST_F(Registry, ExitStopsServerThenExitsSourcesInOrder)
{
    reg(1, "first");
    reg(0, "second");
    fake_events.clear();
    dovu_exit();
    EXPECT_EQ(fake_events, (std::vector<std::string>{"rtsp_destroy", "exit:1", "exit:0"}));
    EXPECT_NE(fake_rtsp.last_destroyed, nullptr);
    void *v, *a;
    EXPECT_EQ(dovu_start_avstream("", const_cast<char *>("main"), &v, &a), nullptr);
    dovu_init("dovu.conf");  // for TearDown
}

TEST_F(Registry, ConcurrentRegistrationsOfOneNameYieldOneSource)
{
    ll_set_log_level(LOG_LEVEL_DISABLE);
    for (int round = 0; round < 50; ++round) {
        std::atomic<int> ok{0};
        const std::string name = "race" + std::to_string(round);
        std::thread t0([&] { ok += reg(0, name.c_str()) != nullptr; });
        std::thread t1([&] { ok += reg(1, name.c_str()) != nullptr; });
        t0.join();
        t1.join();
        ASSERT_EQ(ok.load(), 1) << name;
    }
}

}  // namespace
