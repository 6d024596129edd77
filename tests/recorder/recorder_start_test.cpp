/*
 * The recorder in process, on the host platform: start failures and what
 * they give back, and short recordings with each track setting.  Settings
 * come from rec_test_config (640x360, two-second segments, a temporary
 * record directory); log lines are captured by wrapping ozi_print.
 */
#include <gtest/gtest.h>

#include <stdio.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "../daemon/daemon_test_util.h"
#include "../mux/mux_test_media.h"
#include "ozi_host.h"
#include "rec_test_config.h"
#include "support/log_capture.h"
#include "support/scratch_dir.h"
#include "tvr_record.h"

namespace fs = std::filesystem;

namespace {

/* A line of the log as tagged_print.cpp writes it, "<module>/<level>
 * <text>", taken apart; `text` ends with its newline. */
struct LogLine {
    int module, level;
    std::string text;
};

std::vector<LogLine> lines(const tvrtest::LogCapture &log)
{
    std::vector<LogLine> out;
    for (const std::string &l : log.lines()) {
        LogLine x{};
        int n = 0;
        if (sscanf(l.c_str(), "%d/%d%n", &x.module, &x.level, &n) == 2 && l[size_t(n)] == ' ')
            out.push_back({x.module, x.level, l.substr(size_t(n) + 1) + "\n"});
    }
    return out;
}

/* The error line "[tvr_mirel_record_start:<n>] <msg>" was logged. */
bool start_error(const tvrtest::LogCapture &log, const std::string &msg)
{
    const std::string head = "[tvr_mirel_record_start:";
    for (auto &l : lines(log)) {
        if (l.module == MODULE_ID_APP && l.level == LOG_LEVEL_ERROR &&
            l.text.compare(0, head.size(), head) == 0 &&
            l.text.size() > msg.size() &&
            l.text.compare(l.text.size() - msg.size(), msg.size(), msg) == 0 &&
            l.text.find("] ") + 2 + msg.size() == l.text.size())
            return true;
    }
    return false;
}

} // namespace

namespace {

/* Every video frame thread_mux hands the muxer, and stalls of thread_mux:
 * the write numbered `stall_at` (1-based) first waits until the encoder has
 * made `stall_frames` more frames. */
struct MuxSpy {
    std::mutex mutex;  /* guards every field */
    std::vector<video_stream> written;
    std::vector<size_t> stall_at;
    int stall_frames = 0;

    void reset(std::vector<size_t> at, int frames)
    {
        std::lock_guard<std::mutex> lock(mutex);
        written.clear();
        stall_at = std::move(at);
        stall_frames = frames;
    }
    size_t count()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return written.size();
    }
    std::vector<video_stream> frames()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return written;
    }
} mux_spy;

} // namespace

extern "C" int __real_ozi_mux_add_video(int handle, struct video_stream *stream);
extern "C" int __wrap_ozi_mux_add_video(int handle, struct video_stream *stream)
{
    int stall = 0;
    {
        std::lock_guard<std::mutex> lock(mux_spy.mutex);
        mux_spy.written.push_back(*stream);
        const auto &at = mux_spy.stall_at;
        if (std::find(at.begin(), at.end(), mux_spy.written.size()) != at.end())
            stall = mux_spy.stall_frames;
    }
    if (stall) {
        /* Sleeps on the platform's clock, so that a test on its manual
         * clock moves time on meanwhile; bounded only so that a stuck
         * encoder fails the test, not hangs it. */
        const int until = ozi_host_call_count("ozi_venc_encode_frame") + stall;
        for (int i = 0; i < 20000 && ozi_host_call_count("ozi_venc_encode_frame") < until; i++)
            ozi_sleep_ms(10);
    }
    return __real_ozi_mux_add_video(handle, stream);
}

namespace {

class RecorderStart : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_NE(dir_, "");
        rec_test_record = record_conf{1, 0, 0, MUX_TYPE_MP4, 2, "", 0};
        snprintf(rec_test_record.save_path, sizeof rec_test_record.save_path, "%s", dir_.c_str());
        ozi_host_clear_faults();
        ASSERT_EQ(tvr_mirel_init_av("tavro_mirel.conf"), 0);
    }
    void TearDown() override
    {
        tvr_mirel_record_release();
        tvr_mirel_exit_av();
    }
    static int video_users() { return tvr_avsrc->main_video_param.ref_count; }
    static int audio_users() { return tvr_avsrc->main_audio_param.ref_count; }
    /* Record files filed in date directories, relative to the record dir. */
    std::vector<std::string> filed() const
    {
        std::vector<std::string> out;
        for (auto &e : fs::recursive_directory_iterator(dir_))
            if (e.is_regular_file() && e.path().parent_path() != dir_)
                out.push_back(fs::relative(e.path(), dir_).string());
        std::sort(out.begin(), out.end());
        return out;
    }
    std::vector<std::string> top() const
    {
        std::vector<std::string> out;
        for (auto &e : fs::directory_iterator(dir_))
            if (!e.is_directory())
                out.push_back(e.path().filename().string());
        return out;
    }
    tvrtest::ScratchDir scratch_{"tvr_rec_start"};
    std::string dir_ = scratch_.path();
};

TEST(RecorderStartNoSource, FailsWithoutMediaSource)
{
    tvrtest::LogCapture log;
    EXPECT_EQ(tvr_mirel_record_start(), -1);
    EXPECT_TRUE(start_error(log, "not init av input\n"));
}

TEST_F(RecorderStart, MissingRecordDirectoryLeavesEncodersUntouched)
{
    snprintf(rec_test_record.save_path, sizeof rec_test_record.save_path, "%s/missing",
             dir_.c_str());
    tvrtest::LogCapture log;
    EXPECT_EQ(tvr_mirel_record_start(), -1);
    EXPECT_TRUE(start_error(log, "record save path " + dir_ + "/missing not exist\n"));
    EXPECT_EQ(video_users(), 0);
    EXPECT_EQ(audio_users(), 0);
    EXPECT_EQ(ozi_host_call_count("ozi_venc_open"), 0);
    EXPECT_FALSE(fs::exists(dir_ + "/missing"));
}

TEST_F(RecorderStart, UnknownChannelFailsSilently)
{
    rec_test_record.channel = 2;
    tvrtest::LogCapture log;
    EXPECT_EQ(tvr_mirel_record_start(), -1);
    EXPECT_EQ(lines(log).size(), 0u);
    EXPECT_EQ(video_users(), 0);
}

TEST_F(RecorderStart, FailuresGiveEverythingBack)
{
    struct Row {
        const char *op;
        int skip;
        const char *line;
    } rows[] = {
        {"ozi_venc_open", 0, "tvr_mirel_venc_start failed\n"},
        {"ozi_aenc_open", 0, "tvr_mirel_aenc_start failed\n"},
        {"ozi_mux_open", 0, "ozi_mux_open error\n"},
        {"ozi_thread_create", 2, "thread_mux create failed\n"},  /* after both workers */
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.op);
        tvrtest::LogCapture log;
        ozi_host_clear_faults();
        ASSERT_EQ(ozi_host_fail(r.op, r.skip, 1), 0);
        EXPECT_EQ(tvr_mirel_record_start(), -1);
        EXPECT_TRUE(start_error(log, r.line));
        EXPECT_TRUE(start_error(log, "tvr_mirel_record_start failed\n"));
        EXPECT_EQ(video_users(), 0);
        EXPECT_EQ(audio_users(), 0);
        ozi_host_clear_faults();
    }
}

/* A take-down call of the platform that fails once is reported, and the
 * recorder still gives everything back. */
TEST_F(RecorderStart, TakeDownFailuresAreReported)
{
    struct Row {
        const char *op;
        const char *line;
    } rows[] = {
        {"ozi_thread_join", "] ozi_thread_join (thread_mux) failed\n"},
        {"ozi_mux_close", "] ozi_mux_close failed\n"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.op);
        ozi_host_clear_faults();
        ASSERT_EQ(tvr_mirel_record_start(), 0);
        tvrtest::LogCapture log;
        ASSERT_EQ(ozi_host_fail(r.op, 0, 1), 0);
        tvr_mirel_record_release();
        bool seen = false;
        for (auto &l : lines(log))
            seen = seen || (l.level == LOG_LEVEL_ERROR &&
                            l.text.find("[tvr_mirel_record_release:") == 0 &&
                            l.text.find(r.line) != std::string::npos);
        EXPECT_TRUE(seen);
        EXPECT_EQ(video_users(), 0);
        EXPECT_EQ(audio_users(), 0);
    }
    ozi_host_clear_faults();
}

/* The encoder workers and the recorder's thread pace on the platform's
 * clock: the recording tests run on its manual clock and move time on. */
constexpr int kRecorderThreads = 3;   /* video and audio workers, thread_mux */

TEST_F(RecorderStart, RecordsSegmentsAndFilesTheOpenOneAtRelease)
{
    tvrtest::ManualClock clock(kRecorderThreads);
    ASSERT_EQ(tvr_mirel_record_start(), 0);
    EXPECT_EQ(video_users(), 1);
    EXPECT_EQ(audio_users(), 1);
    /* I frames every 2 s: the first segment closes 4000 ms after its start. */
    EXPECT_TRUE(clock.run_until([&] { return !filed().empty(); }, 6500));
    EXPECT_TRUE(clock.run(1000)); /* into the next segment, opened at that I frame */
    clock.stop();
    tvr_mirel_record_release();
    EXPECT_EQ(video_users(), 0);
    EXPECT_EQ(audio_users(), 0);

    /* Both may start within one second of the wall clock that names them,
     * so the name's duration part decides the order: look for the first. */
    const auto files = filed();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_NE(files[0].find("/tavro_"), std::string::npos);
    EXPECT_EQ(std::count_if(files.begin(), files.end(), [](const std::string &f) {
                  return f.substr(f.size() - 13) == "_00004000.mp4";
              }), 1) << files[0] << " " << files[1];
    EXPECT_TRUE(top().empty()) << top().front();
    for (auto &f : files) {
        SCOPED_TRACE(f);
        EXPECT_EQ(muxtest::decode_errors(dir_ + "/" + f), "");
        muxtest::Probe p = muxtest::probe(dir_ + "/" + f);
        ASSERT_NE(p.find("video"), nullptr) << p.raw;
        ASSERT_NE(p.find("audio"), nullptr) << p.raw;
        EXPECT_GT(p.find("audio")->packets, 0);
        EXPECT_EQ(p.find("video")->width, 640);
    }
}

TEST_F(RecorderStart, VideoOnlyKeepsAnotherUsersAudioQueueDrained)
{
    rec_test_record.track = 1;
    tvrtest::ManualClock clock(kRecorderThreads); /* the audio worker runs for the other user */
    void *audio = tvr_mirel_aenc_start((void *)"main");  /* another user */
    ASSERT_NE(audio, nullptr);
    ASSERT_EQ(tvr_mirel_record_start(), 0);
    EXPECT_EQ(audio_users(), 1);
    int most = 0;
    for (int i = 0; i < 30; i++) {
        ASSERT_TRUE(clock.run(100));
        audio_chn_param *a = &tvr_avsrc->main_audio_param;
        pthread_rwlock_rdlock(&a->rwlock_aenc_data_list);
        int n = 0;
        struct list_head *pos;
        list_for_each(pos, &a->list_head_aenc_data_list) n++;
        pthread_rwlock_unlock(&a->rwlock_aenc_data_list);
        most = std::max(most, n);
    }
    /* 3 s of audio is about 23 frames; taken entries leave at the next one. */
    EXPECT_LE(most, 6);
    clock.stop();
    tvr_mirel_record_release();
    tvr_mirel_aenc_release(audio);
    const auto files = filed();
    ASSERT_EQ(files.size(), 1u);
    muxtest::Probe p = muxtest::probe(dir_ + "/" + files[0]);
    ASSERT_NE(p.find("video"), nullptr) << p.raw;
    EXPECT_TRUE(!p.find("audio") || p.find("audio")->packets <= 0) << p.raw;
}

TEST_F(RecorderStart, AudioOnlyHoldsTheVideoChannelForTiming)
{
    rec_test_record.track = 2;
    tvrtest::ManualClock clock(kRecorderThreads);
    ASSERT_EQ(tvr_mirel_record_start(), 0);
    EXPECT_EQ(video_users(), 1);  /* held by the recorder alone */
    EXPECT_TRUE(clock.run_until([&] { return !filed().empty(); }, 6000));
    clock.stop();
    tvr_mirel_record_release();
    EXPECT_EQ(video_users(), 0);
    /* The first segment; the one filed at release may sort before it when
     * both start within one second of the wall clock that names them. */
    const auto files = filed();
    auto first = std::find_if(files.begin(), files.end(), [](const std::string &f) {
        return f.substr(f.size() - 13) == "_00004000.mp4";
    });
    ASSERT_NE(first, files.end()) << files.front();
    muxtest::Probe p = muxtest::probe(dir_ + "/" + *first);
    ASSERT_NE(p.find("audio"), nullptr) << p.raw;
    EXPECT_GT(p.find("audio")->packets, 20);
    EXPECT_TRUE(!p.find("video") || p.find("video")->packets <= 0) << p.raw;
}

/* A stop that cannot write the index (injected: the muxer keeps the side
 * files as when the card is full).  The segment is repaired from its side
 * files at once; if that fails too it is moved out of the next segment's
 * way, untouched, and the next start repairs it.  Never is the index-less
 * file filed. */
TEST_F(RecorderStart, FailedStopNeverFilesAnUnplayableFile)
{
    struct Row {
        const char *name;
        bool repair_fails;
    } rows[] = {{"repaired at once", false}, {"repaired at the next start", true}};
    auto kept = [this] {
        std::vector<std::string> v;
        for (const std::string &f : top())
            if (f.rfind("recording_kept_", 0) == 0)
                v.push_back(f);
        std::sort(v.begin(), v.end());
        return v;
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        tvrtest::ManualClock clock(kRecorderThreads);
        auto wait_for = [&clock](const std::function<bool()> &done) {
            return clock.run_until(done, 10000);
        };
        scratch_.clear();
        ozi_host_clear_faults();
        ASSERT_EQ(ozi_host_fail("ozi_mux_stop", 0, 1), 0);
        if (r.repair_fails) {
            ASSERT_EQ(ozi_host_fail("ozi_mux_fix_file", 0, 1), 0);
        }
        ASSERT_EQ(tvr_mirel_record_start(), 0);
        /* The first close fails; then the next segment starts writing. */
        ASSERT_TRUE(wait_for([&] { return r.repair_fails ? kept().size() == 3 : !filed().empty(); }))
            << "no repaired or kept segment";
        const std::string moov = dir_ + "/recording_now_tmp.mp4.moov";
        ASSERT_TRUE(wait_for([&] { return muxtest::file_size(moov) > 0; }));
        ASSERT_TRUE(clock.run(1000)); /* the next segment holds audio too */
        std::vector<long> sizes;
        for (const std::string &k : kept())
            sizes.push_back(muxtest::file_size(dir_ + "/" + k));
        clock.stop();
        tvr_mirel_record_release();
        if (r.repair_fails) {
            /* Untouched by the segment after it; the next start repairs it. */
            std::vector<long> now;
            for (const std::string &k : kept())
                now.push_back(muxtest::file_size(dir_ + "/" + k));
            EXPECT_EQ(now, sizes);
            ASSERT_EQ(tvr_mirel_record_start(), 0);
            tvr_mirel_record_release();
            EXPECT_TRUE(kept().empty());
        } else {
            EXPECT_TRUE(kept().empty());
        }
        EXPECT_TRUE(top().empty()) << top().front();
        const auto files = filed();
        ASSERT_GE(files.size(), 2u);
        for (auto &f : files) {
            SCOPED_TRACE(f);
            EXPECT_EQ(muxtest::decode_errors(dir_ + "/" + f), "");
            muxtest::Probe p = muxtest::probe(dir_ + "/" + f);
            ASSERT_NE(p.find("video"), nullptr) << p.raw;
            /* A recorder stopped at the opening I frame of a segment (the
             * quick start and release above) files that one frame, before
             * any audio of it exists. */
            if (f.find("_00000000.") == std::string::npos) {
                ASSERT_NE(p.find("audio"), nullptr) << p.raw;
            }
        }
        /* The failed segment, named with what the repair recovered of its
         * 4000 ms (the side files are written once a second; its audio may
         * run up to one AAC frame past the video).  Segments starting within
         * one wall-clock second sort by duration, so it is looked for. */
        EXPECT_EQ(std::count_if(files.begin(), files.end(), [](const std::string &f) {
                      const long ms = std::stol(f.substr(f.rfind('_') + 1));
                      return ms >= 2500 && ms <= 4128;
                  }), 1) << files[0] << " " << files[1];
    }
}

/* thread_mux held up for several frames: within the queue's bound every
 * frame is still written, in order (capture numbers follow on); beyond it
 * frames are lost, logged, and writing resumes at an I frame, so every
 * file still decodes cleanly. */
TEST_F(RecorderStart, StalledRecorderWritesEveryFrameOrResumesAtAnIFrame)
{
    struct Row {
        const char *name;
        std::vector<size_t> stall_at;
        int stall_frames;
        bool loses;
    } rows[] = {
        {"three stalls of 8 frames", {20, 50, 80}, 8, false},
        {"one stall of 40 frames", {20}, 40, true},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.name);
        scratch_.clear();
        mux_spy.reset(r.stall_at, r.stall_frames);
        tvrtest::LogCapture log;
        /* On the manual clock the encoder makes a frame only as time moves
         * on, and time moves on only once the recorder has done all it can:
         * whether a stall loses frames does not depend on the machine. */
        tvrtest::ManualClock clock(kRecorderThreads);
        ASSERT_EQ(tvr_mirel_record_start(), 0);
        EXPECT_TRUE(clock.run_until([&] { return mux_spy.count() >= 110; }, 15000));
        clock.stop();
        tvr_mirel_record_release();
        const std::vector<video_stream> w = mux_spy.frames();
        mux_spy.reset({}, 0);
        ASSERT_GE(w.size(), 110u);
        EXPECT_EQ(w[0].frame_type, FRAME_TYPE_I);
        int gaps = 0;
        for (size_t i = 1; i < w.size(); i++) {
            if (w[i].seq_no == w[i - 1].seq_no + 1)
                continue;
            gaps++;
            EXPECT_EQ(w[i].frame_type, FRAME_TYPE_I)
                << "P frame " << w[i].seq_no << " written after frame " << w[i - 1].seq_no;
        }
        const auto all = lines(log);
        const bool lost_logged =
            std::any_of(all.begin(), all.end(), [](const LogLine &l) {
                return l.text.find("video frames lost in the queue, recording resumes at the "
                                   "next I frame\n") != std::string::npos;
            });
        EXPECT_EQ(gaps > 0, r.loses) << gaps << " gaps";
        EXPECT_EQ(lost_logged, r.loses);
        for (auto &f : filed()) {
            SCOPED_TRACE(f);
            EXPECT_EQ(muxtest::decode_errors(dir_ + "/" + f), "");
        }
    }
}

TEST_F(RecorderStart, StartRepairsWhatAnEarlierRunLeft)
{
    /* A leftover that cannot be repaired is deleted before recording. */
    muxtest::write_file(dir_ + "/recording_now_tmp.mp4", muxtest::Bytes(100, 1));
    muxtest::write_file(dir_ + "/recording_now_tmp.mp4.stbl", muxtest::Bytes(10, 2));
    tvrtest::ManualClock clock(kRecorderThreads);
    ASSERT_EQ(tvr_mirel_record_start(), 0);
    EXPECT_TRUE(clock.run_until(
        [&] { return muxtest::file_size(dir_ + "/recording_now_tmp.mp4.moov") >= 0; }, 3000));
    EXPECT_TRUE(clock.run(500));
    clock.stop();
    tvr_mirel_record_release();
    /* Only the new segment, filed at release; the leftover is gone. */
    EXPECT_TRUE(top().empty());
    const auto files = filed();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(muxtest::decode_errors(dir_ + "/" + files[0]), "");
}

} // namespace
