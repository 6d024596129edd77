/*
 * test_avsrc.cpp - media source core: bring-up and its undoing, channel
 * names and stream descriptions, I-frame dates, encoder and audio
 * parameters computed from the settings, the audio queue's trim.
 *
 * The platform's take-down calls are wrapped at link time (-Wl,--wrap) so
 * the order in which a failed bring-up is undone can be checked.
 */
#include "daemon_test_util.h"

#include <sys/time.h>
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "tvr_avsrc_priv.h"

using namespace tvrtest;

/* ---- recorded take-down calls ------------------------------------------- */

namespace {
std::mutex g_calls_mutex;
std::vector<std::string> g_calls; /* guarded by g_calls_mutex */

void record_call(const char *name, int arg)
{
    std::lock_guard<std::mutex> lock(g_calls_mutex);
    g_calls.push_back(std::string(name) + "(" + (arg < 0 ? "" : std::to_string(arg)) + ")");
}

std::vector<std::string> take_calls()
{
    std::lock_guard<std::mutex> lock(g_calls_mutex);
    std::vector<std::string> v;
    v.swap(g_calls);
    return v;
}
} // namespace

extern "C" {
int __real_ozi_vi_disable_chn(int chn);
int __real_ozi_vi_disable_dev(int dev);
int __real_ozi_vi_close(int dev);
int __real_ozi_ai_close(int handle);
int __real_ozi_sdk_exit(void);

int __wrap_ozi_vi_disable_chn(int chn)
{
    record_call("vi_disable_chn", chn);
    return __real_ozi_vi_disable_chn(chn);
}
int __wrap_ozi_vi_disable_dev(int dev)
{
    record_call("vi_disable_dev", dev);
    return __real_ozi_vi_disable_dev(dev);
}
int __wrap_ozi_vi_close(int dev)
{
    record_call("vi_close", dev);
    return __real_ozi_vi_close(dev);
}
int __wrap_ozi_ai_close(int handle)
{
    (void)handle;
    record_call("ai_close", -1);
    return __real_ozi_ai_close(handle);
}
int __wrap_ozi_sdk_exit(void)
{
    record_call("sdk_exit", -1);
    return __real_ozi_sdk_exit();
}
}

/* ---- bring-up ----------------------------------------------------------- */

TEST_F(AvSourceTest, SecondInitIsANoOpThatSaysSo)
{
    tvr_mirel_exit_av();
    EXPECT_EQ(tvr_avsrc->flag_av_init, 0);
    EXPECT_EQ(tvr_mirel_init_av("tavro_mirel.conf"), 0);
    EXPECT_EQ(tvr_avsrc->flag_av_init, 1);
    LogCapture log;
    EXPECT_EQ(tvr_mirel_init_av("no/such/file.conf"), 1);
    std::string out = log.take();
    EXPECT_NE(out.find("[tvr_mirel_init_av:"), std::string::npos) << out;
    EXPECT_NE(out.find("] av input had been enabled! \n"), std::string::npos) << out;
}

TEST_F(AvSourceTest, BringUpLogsVersionsAndComputesAudioInterval)
{
    tvr_mirel_exit_av();
    LogCapture log;
    ASSERT_EQ(tvr_mirel_init_av("tavro_mirel.conf"), 0);
    std::string out = log.take();
    const std::string stars = "*****************************************\n";
    EXPECT_NE(out.find(stars + "** ai version: "), std::string::npos) << out;
    EXPECT_NE(out.find(stars + "** vi version: "), std::string::npos) << out;
    EXPECT_LT(out.find("** ai version: "), out.find("** vi version: "));
    EXPECT_NE(out.find("set ai source AI_SOURCE_MIC success\n"), std::string::npos);
    EXPECT_NE(out.find("get device res w:["), std::string::npos);
    EXPECT_EQ(tvr_avsrc->ai_frame_interval, 32);
    EXPECT_EQ(tvr_avsrc->resolutions[4].width, 1920u);
    EXPECT_STREQ(tvr_avsrc->resolutions[3].str, "DE_VIDEO_SIZE_960P");
    EXPECT_EQ(tvr_avsrc->main_video_param.chnid, 0);
    EXPECT_EQ(tvr_avsrc->sub_video_param.chnid, 1);
}

struct BringUpFailure {
    const char *op;
    int skip;
    const char *log_line;
    std::vector<std::string> undo; /* take-down calls, in order */
};

class BringUpFailureTest : public testing::TestWithParam<BringUpFailure> {
protected:
    void TearDown() override
    {
        ozi_host_clear_faults();
        take_calls();
    }
};

TEST_P(BringUpFailureTest, FailsAndUndoesInOrder)
{
    const BringUpFailure &c = GetParam();
    tvr_mirel_exit_av();
    ozi_host_clear_faults();
    take_calls();
    ASSERT_EQ(ozi_host_fail(c.op, c.skip, 1), 0);
    LogCapture log;
    EXPECT_EQ(tvr_mirel_init_av("tavro_mirel.conf"), -1);
    std::string out = log.take();
    EXPECT_NE(out.find(c.log_line), std::string::npos) << out;
    EXPECT_EQ(take_calls(), c.undo);
    EXPECT_EQ(tvr_avsrc->flag_av_init, 0);
    EXPECT_EQ(tvr_avsrc->ai_handle, -1);

    /* Nothing was left half up: the next bring-up succeeds and gives pictures. */
    ozi_host_clear_faults();
    ASSERT_EQ(tvr_mirel_init_av("tavro_mirel.conf"), 0);
    void *h = start_video("sub");
    ASSERT_NE(h, nullptr);
    unsigned char *buf = static_cast<unsigned char *>(std::malloc(DOVU_STREAM_BUF_SIZE));
    unsigned int size = 0;
    unsigned long long ts = 0;
    EXPECT_TRUE(wait_until([&] {
        tvr_mirel_get_vstrm_data(h, buf, &size, &ts);
        return size > 0;
    }, 3000));
    std::free(buf);
    tvr_mirel_venc_release(h);
}

const std::vector<std::string> kAll = {"vi_close(0)", "ai_close()", "sdk_exit()"};

INSTANTIATE_TEST_SUITE_P(
    Steps, BringUpFailureTest,
    testing::Values(
        BringUpFailure{"ozi_sdk_init", 0, "", {}},
        BringUpFailure{"ozi_ai_open", 0, "*** ozi_ai_open failed. ***\n", {"sdk_exit()"}},
        BringUpFailure{"ozi_ai_set_source", 0, "] set ai source AI_SOURCE_MIC fail\n",
                       {"ai_close()", "sdk_exit()"}},
        BringUpFailure{"ozi_vi_open", 0, "] vi device open failed\n",
                       {"ai_close()", "sdk_exit()"}},
        BringUpFailure{"ozi_vi_load_sensor_cfg", 0,
                       "] vi device load isp cfg [/etc/config/isp_gc2063_mipi_2lane_h3b.conf] "
                       "failed!\n",
                       kAll},
        BringUpFailure{"ozi_vi_get_sensor_resolution", 0, "] Can't get device resolution\n",
                       kAll},
        BringUpFailure{"ozi_vi_set_dev_attr", 0, "] vi device set attribute failed!\n", kAll},
        BringUpFailure{"ozi_vi_set_chn_attr", 0, "] vi set main channel attribute failed!\n",
                       kAll},
        BringUpFailure{"ozi_vi_set_chn_attr", 1, "] vi set sub channel attribute failed!\n",
                       kAll},
        BringUpFailure{"ozi_vi_enable_dev", 0, "] vi device enable  failed!\n", kAll},
        BringUpFailure{"ozi_vi_enable_chn", 0, "] vi main channel enable failed!\n",
                       {"vi_disable_dev(0)", "vi_close(0)", "ai_close()", "sdk_exit()"}},
        BringUpFailure{"ozi_vi_enable_chn", 1, "] vi sub channel enable failed!\n",
                       {"vi_disable_chn(0)", "vi_disable_dev(0)", "vi_close(0)", "ai_close()",
                        "sdk_exit()"}}),
    [](const testing::TestParamInfo<BringUpFailure> &info) {
        return std::string(info.param.op + 4) + "_" + std::to_string(info.param.skip);
    });

TEST_F(AvSourceTest, ExitTakesDownAudioThenVideoThenSdk)
{
    take_calls();
    tvr_mirel_exit_av();
    std::vector<std::string> expect = {"ai_close()", "vi_disable_chn(0)", "vi_disable_chn(1)",
                                       "vi_disable_dev(0)", "vi_close(0)", "sdk_exit()"};
    EXPECT_EQ(take_calls(), expect);
    take_calls();
    tvr_mirel_exit_av(); /* a second exit has nothing left to take down */
    EXPECT_TRUE(take_calls().empty());
}

/* ---- names and stream descriptions -------------------------------------- */

struct NameCase {
    const char *name;
    int result;
    int fps;
};

TEST_F(AvSourceTest, StreamInfoByChannelName)
{
    const NameCase cases[] = {
        {"main", 0, 25}, {"main_ch", 0, 25}, {"sub", 0, 20},   {"sub_ch", 0, 20},
        {"Main", -1, 0}, {"SUB", -1, 0},     {"", -1, 0},      {"main ", -1, 0},
        {"mai", -1, 0},  {"sub_ch2", -1, 0}, {"tavro_mirel", -1, 0},
    };
    for (const NameCase &c : cases) {
        SCOPED_TRACE(c.name);
        audio_info a;
        video_info v;
        std::memset(&a, 0x5a, sizeof a);
        std::memset(&v, 0x5a, sizeof v);
        EXPECT_EQ(tvr_mirel_get_stream_info(const_cast<char *>(c.name), &a, &v), c.result);
        if (c.result == 0) {
            EXPECT_EQ(a.type, AUDIO_TYPE_AAC);
            EXPECT_EQ(a.sample_rate, 8000);
            EXPECT_EQ(a.channel, 1);
            EXPECT_EQ(v.type, VIDEO_TYPE_H264);
            EXPECT_EQ(v.fps, c.fps);
        } else {
            EXPECT_EQ(a.sample_rate, 0x5a5a5a5a) << "outputs written on refusal";
            EXPECT_EQ(v.fps, 0x5a5a5a5a);
        }
    }
    audio_info a;
    video_info v;
    EXPECT_EQ(tvr_mirel_get_stream_info(nullptr, &a, &v), -1);
    EXPECT_EQ(tvr_mirel_get_stream_info(const_cast<char *>("main"), nullptr, &v), -1);
    EXPECT_EQ(tvr_mirel_get_stream_info(const_cast<char *>("main"), &a, nullptr), -1);
}

TEST(ChannelNames, StartRefusesUnknownNames)
{
    for (const char *name : {"Main", "", "sub ", "main_sub", "0"}) {
        EXPECT_EQ(start_video(name), nullptr) << name;
        EXPECT_EQ(start_audio(name), nullptr) << name;
    }
    EXPECT_EQ(tvr_mirel_venc_start(nullptr), nullptr);
    EXPECT_EQ(tvr_mirel_aenc_start(nullptr), nullptr);
    EXPECT_EQ(tvr__chn_from_name("main_ch"), 0);
    EXPECT_EQ(tvr__chn_from_name("sub_ch"), 1);
}

TEST(StreamDate, FilledFromLocalWallClock)
{
    EXPECT_EQ(set_stream_entry_date(nullptr), -1);
    strm_date d;
    std::memset(&d, 0, sizeof d);
    /* Read with the same clock as the date: time() may run on a coarser
     * clock and still show the previous second. */
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    time_t before = tv.tv_sec;
    ASSERT_EQ(set_stream_entry_date(&d), 0);
    gettimeofday(&tv, nullptr);
    time_t after = tv.tv_sec;
    struct tm tm;
    /* The date lies between two readings of the clock taken around it. */
    bool matched = false;
    for (time_t t = before; t <= after; t++) {
        localtime_r(&t, &tm);
        matched |= d.year == tm.tm_year + 1900 && d.mon == tm.tm_mon + 1 &&
                   d.day == tm.tm_mday && d.hour == tm.tm_hour && d.min == tm.tm_min &&
                   d.sec == tm.tm_sec;
    }
    EXPECT_TRUE(matched) << d.year << "-" << d.mon << "-" << d.day << " " << d.hour << ":"
                         << d.min << ":" << d.sec;
}

/* ---- parameters from the settings --------------------------------------- */

TEST(VencParam, MainAndSubFromCompiledInSettings)
{
    const video_conf *conf = tvr_get_video_conf();
    struct venc_param p;
    EXPECT_EQ(tvr__fill_venc_param(conf, &tvr__resolutions[conf->main_res_idx], 1, &p), 0);
    EXPECT_EQ(p.width, 1920);
    EXPECT_EQ(p.height, 1080);
    EXPECT_EQ(p.fps, 25);
    EXPECT_EQ(p.goplen, 50);
    EXPECT_EQ(p.target_kbps, 2048);
    EXPECT_EQ(p.max_kbps, 2048);
    EXPECT_EQ(p.br_mode, BR_MODE_CBR);
    EXPECT_EQ(p.initqp, 38);
    EXPECT_EQ(p.minqp, 25);
    EXPECT_EQ(p.maxqp, 50);
    EXPECT_EQ(p.profile, PROFILE_MAIN);
    EXPECT_EQ(p.enc_out_type, H264_ENC_TYPE);
    EXPECT_EQ(p.chroma_mode, CHROMA_4_2_0);
    EXPECT_EQ(p.jpeg_qlevel, JPEG_QLEVEL_DEFAULT);
    EXPECT_EQ(p.max_picture_size, 0u);
    EXPECT_EQ(p.enc_level, 30);
    EXPECT_EQ(p.smart_mode, SMART_DISABLE);
    EXPECT_EQ(p.smart_goplen, 100);
    EXPECT_EQ(p.smart_quality, 50);
    EXPECT_EQ(p.smart_static_value, 0);

    EXPECT_EQ(tvr__fill_venc_param(conf, &tvr__resolutions[conf->sub_res_idx], 0, &p), 0);
    EXPECT_EQ(p.width, 640);
    EXPECT_EQ(p.height, 360);
    EXPECT_EQ(p.fps, 20);
    EXPECT_EQ(p.goplen, 40);
    EXPECT_EQ(p.target_kbps, 512);
    EXPECT_EQ(p.max_kbps, 2048);

    video_conf other = *conf;
    other.encoder = 1;
    EXPECT_EQ(tvr__fill_venc_param(&other, &tvr__resolutions[0], 0, &p), 1);
    EXPECT_EQ(p.enc_out_type, H264_ENC_TYPE);
    EXPECT_EQ(p.profile, PROFILE_MAIN);
}

TEST_F(AvSourceTest, NonH264SettingStillOpensH264WithNotice)
{
    video_conf other = *tvr_get_video_conf();
    other.encoder = 1;
    const video_conf *saved = tvr_avsrc->video_conf;
    tvr_avsrc->video_conf = &other;
    LogCapture log;
    void *h = start_video("sub");
    std::string out = log.take();
    tvr_avsrc->video_conf = saved;
    ASSERT_NE(h, nullptr);
    EXPECT_NE(out.find("] only supoort H264 encoding in this app\n"), std::string::npos) << out;
    EXPECT_NE(out.find("fps:20, target_kbps:512, br_mode:0, initqp:38, encoder_type:0\n"),
              std::string::npos) << out;
    tvr_mirel_venc_release(h);
}

TEST(AudioParams, FrameLengthAndInterval)
{
    struct Row {
        int rate, buf_len, interval;
    };
    const Row rows[] = {
        {8000, 512, 32},   {11025, 512, 32},  {12000, 512, 32},  {16000, 1024, 32},
        {22050, 1024, 32}, {24000, 1024, 32}, {31999, 1024, 32}, {32000, 2048, 32},
        {44100, 2048, 32}, {48000, 2048, 32},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.rate);
        EXPECT_EQ(ozi_get_dev_buf_len(r.rate), r.buf_len);
        EXPECT_EQ(get_audio_frame_interval(r.rate, 16, 1, r.buf_len), r.interval);
    }
    /* Below 32 ms is raised; above is kept; a zero rate counts 16000 B/s. */
    EXPECT_EQ(get_audio_frame_interval(44100, 16, 1, 2048), 32);
    EXPECT_EQ(get_audio_frame_interval(8000, 16, 1, 1024), 64);
    EXPECT_EQ(get_audio_frame_interval(0, 16, 1, 1600), 100);
    EXPECT_EQ(get_audio_frame_interval(8000, 8, 2, 1600), 100);
}

/* ---- audio queue trim --------------------------------------------------- */

namespace {
void count_release(aenc_stream_entry *e, void *ctx)
{
    static_cast<std::vector<uint64_t> *>(ctx)->push_back(e->stream.ts);
}

void push_entry(struct list_head *head, uint64_t ts, char flag)
{
    auto *e = static_cast<aenc_stream_entry *>(std::calloc(1, sizeof(aenc_stream_entry)));
    e->stream.ts = ts;
    e->flag = flag;
    list_add_tail(&e->list, head);
}

std::vector<uint64_t> queued_ts(struct list_head *head)
{
    std::vector<uint64_t> v;
    struct list_head *pos;
    list_for_each(pos, head) v.push_back(list_entry(pos, aenc_stream_entry, list)->stream.ts);
    return v;
}
} // namespace

TEST(AudioQueueTrim, RemovesFlaggedThenOldestBeyondCap)
{
    struct list_head head;
    INIT_LIST_HEAD(&head);
    std::vector<uint64_t> released;
    /* flags: 1 1 0 1 0 0 0 */
    const char flags[] = {1, 1, 0, 1, 0, 0, 0};
    for (int i = 0; i < 7; i++)
        push_entry(&head, 100 + i, flags[i]);

    EXPECT_EQ(tvr__aenc_queue_trim(&head, 10, count_release, &released), 4);
    EXPECT_EQ(released, (std::vector<uint64_t>{100, 101, 103}));
    EXPECT_EQ(queued_ts(&head), (std::vector<uint64_t>{102, 104, 105, 106}));

    released.clear();
    EXPECT_EQ(tvr__aenc_queue_trim(&head, 2, count_release, &released), 2);
    EXPECT_EQ(released, (std::vector<uint64_t>{102, 104}));
    EXPECT_EQ(queued_ts(&head), (std::vector<uint64_t>{105, 106}));

    released.clear();
    EXPECT_EQ(tvr__aenc_queue_trim(&head, 0, count_release, &released), 0);
    EXPECT_TRUE(list_empty(&head));
    EXPECT_EQ(released.size(), 2u);
}

TEST(AudioQueueTrim, DefaultCapCoversTheRecordersNeedAndStaysBelowTheEncodersLoans)
{
    /* At least a second of audio (the recorder holds back under half a
     * second) and fewer entries than the 64 frames an encoder lends. */
    for (int rate : {8000, 16000, 44100, 48000}) {
        int cap = tvr__aenc_queue_cap(rate);
        double seconds = static_cast<double>(cap) * kAacSamplesPerFrame / rate;
        EXPECT_GE(seconds, 1.0) << rate;
        EXPECT_LT(cap, 64) << rate;
    }
    tvr__aenc_set_queue_cap(7);
    EXPECT_EQ(tvr__aenc_queue_cap(8000), 7);
    tvr__aenc_set_queue_cap(0);
    EXPECT_EQ(tvr__aenc_queue_cap(8000), 33);
}
