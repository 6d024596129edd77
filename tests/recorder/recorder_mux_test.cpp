/*
 * Start-up recovery with the platform muxer's real repair: a child process
 * records a segment and is killed with SIGKILL in the middle of it; the
 * recovery must file a playable recording under the repaired name, dated
 * by the segment's start, and leave nothing at the top of the directory.
 */
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>

#include <filesystem>

#include "../mux/mux_test_media.h"
#include "ozi_host.h"
#include "ozi_mux.h"
#include "support/scratch_dir.h"
#include "tvr_record.h"

namespace fs = std::filesystem;

namespace {

/* Records `frames` video frames (and the audio up to them) into path, then
 * dies without stopping the muxer.  Runs in the child; never returns. */
[[noreturn]] void record_and_die(const muxtest::Media &m, const std::string &path, int type,
                                 size_t frames)
{
    /* The muxer journals on the platform's clock: moved on 40 ms a frame, as
     * in a camera's run, it writes the journal as often as in one. */
    ozi_host_clock_manual();
    ozi_mux_input in = muxtest::input_320x240((enum ozi_mux_type)type);
    int h = -1;
    if (ozi_mux_open(&in, &h) != 0)
        _exit(2);
    std::string p = path;
    ozi_mux_start_param sp{};
    sp.file_path = &p[0];
    if (ozi_mux_start(h, &sp) != 0)
        _exit(3);
    size_t a = 0;
    for (size_t i = 0; i < frames && i < m.video.size(); i++) {
        video_stream vs{};
        vs.data = const_cast<unsigned char *>(m.video[i].data());
        vs.len = (uint32_t)m.video[i].size();
        vs.ts = 1000 + i * 40;
        vs.seq_no = (uint32_t)i;
        vs.frame_type = m.key[i] ? FRAME_TYPE_I : FRAME_TYPE_P;
        if (ozi_mux_add_video(h, &vs) != 0)
            _exit(4);
        for (; a < m.audio.size() && a * 128 <= i * 40; a++) {
            audio_stream as{};
            as.data = const_cast<unsigned char *>(m.audio[a].data());
            as.len = (uint32_t)m.audio[a].size();
            as.ts = 1000 + a * 128;
            ozi_mux_add_audio(h, &as);
        }
        /* A camera's 40 ms between frames leave the sync thread time to
         * catch up; here it is waited for. */
        ozi_mux_wait_synced(h);
        ozi_host_clock_advance_us(40000);
    }
    raise(SIGKILL);
    _exit(5);
}

class RecorderMux : public ::testing::TestWithParam<int> {
protected:
    static void SetUpTestSuite()
    {
        tvrtest::ScratchDir scratch("tvr_rec_media");
        media_ = new muxtest::Media(muxtest::make_media(scratch.path()));
    }
    static void TearDownTestSuite()
    {
        delete media_;
        media_ = nullptr;
    }
    static muxtest::Media *media_;

    void SetUp() override { ASSERT_NE(dir_, ""); }
    tvrtest::ScratchDir scratch_{"tvr_rec_mux"};
    std::string dir_ = scratch_.path();
};

TEST_P(RecorderMux, KilledSegmentIsRepairedAndFiledByItsStart)
{
    const int type = GetParam();
    const std::string ext = type == MUX_TYPE_MP4 ? ".mp4" : ".avi";
    const muxtest::Media &media = *media_;
    ASSERT_TRUE(media.error.empty()) << media.error;

    const std::string tmp = dir_ + "/recording_now_tmp" + ext;
    const time_t t0 = time(nullptr);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0)
        record_and_die(media, tmp, type, 75);  /* 3 s of video */
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "child status " << status;
    ASSERT_TRUE(fs::exists(tmp));

    EXPECT_EQ(rec_recover_dir(dir_.c_str(), ozi_mux_fix_file), 0);

    std::vector<std::string> top, filed;
    for (auto &e : fs::directory_iterator(dir_)) {
        if (e.is_directory()) {
            for (auto &f : fs::directory_iterator(e.path()))
                filed.push_back(fs::relative(f.path(), dir_).string());
        } else {
            top.push_back(e.path().filename().string());
        }
    }
    EXPECT_TRUE(top.empty()) << "left at the top: " << top.front();
    ASSERT_EQ(filed.size(), 1u);

    /* Named from the segment's start (the wall clock when it began). */
    strm_date d;
    tvr_date_from_time(&d, t0);
    char day[REC_DATE_DIR_LEN];
    rec_date_dir_name(day, sizeof day, &d);
    const std::string &f = filed[0];
    ASSERT_EQ(f.size(), 8 + 1 + 6 + 1 + 8 + 4) << f;
    EXPECT_EQ(f.substr(0, 8), day) << f;
    const int hms = std::stoi(f.substr(9, 6));
    const int start_s = hms / 10000 * 3600 + hms / 100 % 100 * 60 + hms % 100;
    const int t0_s = d.hour * 3600 + d.min * 60 + d.sec;
    EXPECT_LE(std::abs(start_s - t0_s), 1) << f;
    EXPECT_EQ(f.substr(f.size() - 4), ext);
    const long ms = std::stol(f.substr(16, 8));
    /* Up to a second of journal may be lost with the process. */
    EXPECT_GE(ms, 1900) << f;
    EXPECT_LE(ms, 3100) << f;

    const std::string path = dir_ + "/" + f;
    EXPECT_EQ(muxtest::decode_errors(path), "");
    muxtest::Probe pr = muxtest::probe(path);
    ASSERT_NE(pr.find("video"), nullptr) << pr.raw;
    EXPECT_NEAR(pr.duration * 1000, ms, 300) << pr.raw;
}

/* What a new segment may find at the temporary path. */
enum TmpState { kFinished, kFinishedStaleSides, kTorn, kTornNoSides, kRepairedNoSides, kRepairedWithSides };

struct TmpCase {
    const char *what;
    TmpState state;
    const char *prefix;  /* of the filed name; null when nothing is filed */
};

const TmpCase kTmpCases[] = {
    {"finished, side files gone", kFinished, "tavro_"},
    {"finished, stale side files", kFinishedStaleSides, "tavro_"},
    {"torn, with side files", kTorn, ""},
    {"torn, side files gone", kTornNoSides, nullptr},
    {"repaired, side files gone", kRepairedNoSides, "tavro_"},
    {"repaired, side files still there", kRepairedWithSides, "tavro_"},
};

TEST_P(RecorderMux, TemporaryPathIsNeverAnObstacle)
{
    const int type = GetParam();
    const bool mp4 = type == MUX_TYPE_MP4;
    const muxtest::Media &media = *media_;
    ASSERT_TRUE(media.error.empty()) << media.error;
    ozi_mux_set_journal_interval(0);
    for (const TmpCase &c : kTmpCases) {
        SCOPED_TRACE(c.what);
        scratch_.clear();
        const std::string tmp = dir_ + "/recording_now_tmp" + (mp4 ? ".mp4" : ".avi");
        const std::vector<std::string> sides =
            mp4 ? std::vector<std::string>{tmp + ".moov", tmp + ".stbl"} : std::vector<std::string>{tmp + ".idx"};
        const std::vector<std::string> files = [&] {
            std::vector<std::string> v = sides;
            v.insert(v.begin(), tmp);
            return v;
        }();
        ozi_mux_input in = muxtest::input_320x240((enum ozi_mux_type)type);
        int h = -1;
        ASSERT_EQ(ozi_mux_open(&in, &h), 0);
        std::string p = tmp;
        ozi_mux_start_param sp{};
        sp.file_path = &p[0];
        ASSERT_EQ(ozi_mux_start(h, &sp), 0);
        for (size_t i = 0; i < 50; i++) {
            video_stream vs{};
            vs.data = const_cast<unsigned char *>(media.video[i].data());
            vs.len = (uint32_t)media.video[i].size();
            vs.ts = 1000 + i * 40;
            vs.frame_type = media.key[i] ? FRAME_TYPE_I : FRAME_TYPE_P;
            ASSERT_EQ(ozi_mux_add_video(h, &vs), 0);
        }
        ASSERT_EQ(ozi_mux_wait_synced(h), 0);
        /* The files as a crash now would leave them. */
        std::vector<muxtest::Bytes> crash;
        for (const std::string &f : files)
            crash.push_back(muxtest::read_file(f));
        ASSERT_EQ(ozi_mux_close(h), 0);
        if (c.state != kFinished && c.state != kFinishedStaleSides)
            for (size_t i = 0; i < files.size(); i++)
                muxtest::write_file(files[i], crash[i]);
        if (c.state == kFinishedStaleSides)
            for (size_t i = 1; i < files.size(); i++)
                muxtest::write_file(files[i], crash[i]);
        if (c.state == kRepairedNoSides || c.state == kRepairedWithSides) {
            FILE *r = fopen(tmp.c_str(), "rb+");
            FILE *a = fopen(sides[0].c_str(), "rb");
            FILE *b = mp4 ? fopen(sides[1].c_str(), "rb") : nullptr;
            mux_fileinfo info{};
            ASSERT_EQ(ozi_mux_fix_file(r, mp4 ? nullptr : a, mp4 ? a : nullptr, b, (enum ozi_mux_type)type, &info), 0);
            fclose(r);
            fclose(a);
            if (b)
                fclose(b);
        }
        if (c.state == kTornNoSides || c.state == kRepairedNoSides)
            for (const std::string &f : sides)
                fs::remove(f);
        const muxtest::Bytes before = muxtest::read_file(tmp);

        EXPECT_EQ(rec_clear_tmp_path(dir_.c_str(), type, ozi_mux_fix_file), 0);

        std::vector<std::string> top, filed;
        for (auto &e : fs::directory_iterator(dir_)) {
            if (e.is_directory())
                for (auto &f : fs::directory_iterator(e.path()))
                    filed.push_back(f.path().string());
            else
                top.push_back(e.path().filename().string());
        }
        EXPECT_TRUE(top.empty()) << "left at the top: " << top.front();
        if (!c.prefix) {
            EXPECT_TRUE(filed.empty());
            continue;
        }
        ASSERT_EQ(filed.size(), 1u);
        const std::string name = fs::path(filed[0]).filename().string();
        EXPECT_EQ(name.rfind(c.prefix, 0), 0u) << name;
        /* 50 frames of 40 ms, whole or less the journal's last record. */
        const long ms = std::stol(name.substr(strlen(c.prefix) + 7, 8));
        EXPECT_GE(ms, 1900) << name;
        EXPECT_LE(ms, 2000) << name;
        if (c.state != kTorn) {
            EXPECT_TRUE(muxtest::read_file(filed[0]) == before) << "a finished file was changed";
        }
        EXPECT_EQ(muxtest::decode_errors(filed[0]), "");
    }
    ozi_mux_set_journal_interval(1000);
}

muxtest::Media *RecorderMux::media_;

INSTANTIATE_TEST_SUITE_P(Containers, RecorderMux, ::testing::Values(MUX_TYPE_MP4, MUX_TYPE_AVI),
                         [](const ::testing::TestParamInfo<int> &i) {
                             return i.param == MUX_TYPE_MP4 ? std::string("mp4")
                                                            : std::string("avi");
                         });

} // namespace
