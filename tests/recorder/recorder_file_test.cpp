/*
 * Record file names, filing of finished segments and the start-up
 * recovery, on temporary directories.  The repair step is a test double
 * here; recorder_mux_test runs the recovery with the platform's muxer.
 */
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "support/log_capture.h"
#include "support/scratch_dir.h"
#include "tvr_record.h"

namespace fs = std::filesystem;

namespace {

const strm_date kDate = {2023, 2, 10, 16, 35, 8, 0};

TEST(RecorderNames, Table)
{
    struct Row {
        strm_date d;
        uint64_t ms;
        int type;
        const char *dir;
        const char *final_name;
        const char *repaired;
    } rows[] = {
        {kDate, 62000, MUX_TYPE_MP4, "20230210", "tavro_163508_00062000.mp4", "163508_00062000.mp4"},
        {kDate, 61480, MUX_TYPE_AVI, "20230210", "tavro_163508_00061480.avi", "163508_00061480.avi"},
        {{2023, 12, 31, 23, 59, 30, 0}, 62000, MUX_TYPE_MP4, "20231231",
         "tavro_235930_00062000.mp4", "235930_00062000.mp4"},
        {{2024, 1, 2, 0, 0, 0, 0}, 0, MUX_TYPE_MP4, "20240102", "tavro_000000_00000000.mp4",
         "000000_00000000.mp4"},
        {kDate, 99999999, MUX_TYPE_MP4, "20230210", "tavro_163508_99999999.mp4",
         "163508_99999999.mp4"},
        {kDate, 100000000, MUX_TYPE_MP4, "20230210", "tavro_163508_100000000.mp4",
         "163508_100000000.mp4"},
        {kDate, 18446744073709551615ull, MUX_TYPE_AVI, "20230210",
         "tavro_163508_18446744073709551615.avi", "163508_18446744073709551615.avi"},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.final_name);
        char dir[REC_DATE_DIR_LEN], name[REC_FILE_NAME_LEN], rep[REC_FILE_NAME_LEN];
        rec_date_dir_name(dir, sizeof dir, &r.d);
        ASSERT_GE(rec_final_name(name, sizeof name, &r.d, r.ms, r.type), 0);
        ASSERT_GE(rec_repaired_name(rep, sizeof rep, &r.d, r.ms, r.type), 0);
        EXPECT_STREQ(dir, r.dir);
        EXPECT_STREQ(name, r.final_name);
        EXPECT_STREQ(rep, r.repaired);
    }
}

TEST(RecorderNames, TemporaryPathAndUnknownContainer)
{
    char buf[REC_TMP_PATH_LEN] = "unchanged";
    EXPECT_EQ(rec_tmp_path(buf, sizeof buf, "/mnt/TVR_RECORD", 2), -1);
    EXPECT_STREQ(buf, "unchanged");
    EXPECT_EQ(rec_final_name(buf, sizeof buf, &kDate, 1, 2), -1);
    rec_tmp_path(buf, sizeof buf, "/mnt/TVR_RECORD", MUX_TYPE_MP4);
    EXPECT_STREQ(buf, "/mnt/TVR_RECORD/recording_now_tmp.mp4");
    rec_tmp_path(buf, sizeof buf, "/mnt/TVR_RECORD", MUX_TYPE_AVI);
    EXPECT_STREQ(buf, "/mnt/TVR_RECORD/recording_now_tmp.avi");
    /* Cut to fit, never overrun. */
    char small[12];
    rec_final_name(small, sizeof small, &kDate, 62000, MUX_TYPE_MP4);
    EXPECT_STREQ(small, "tavro_16350");
}

void write_file(const std::string &path, const std::string &content)
{
    std::ofstream(path, std::ios::binary) << content;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

/* Every path under root, relative, sorted ("d/" for directories). */
std::set<std::string> tree(const std::string &root)
{
    std::set<std::string> out;
    for (auto &e : fs::recursive_directory_iterator(root)) {
        std::string rel = fs::relative(e.path(), root).string();
        out.insert(e.is_directory() ? rel + "/" : rel);
    }
    return out;
}

TEST(RecorderMkdir, CreatesParentsAndAcceptsExisting)
{
    tvrtest::ScratchDir t;
    EXPECT_EQ(rec_mkdir_p((t / "a/b/c").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(t / "a/b/c"));
    EXPECT_EQ(rec_mkdir_p((t / "a/b/c").c_str()), 0);
    EXPECT_EQ(rec_mkdir_p((t / "a//d/").c_str()), 0);
    EXPECT_TRUE(fs::is_directory(t / "a/d"));
    write_file(t / "f", "x");
    EXPECT_EQ(rec_mkdir_p((t / "f").c_str()), -1);
    EXPECT_EQ(rec_mkdir_p((t / "f/g").c_str()), -1);
    EXPECT_EQ(rec_mkdir_p(""), -1);
}

TEST(RecorderFiling, SegmentGoesIntoNewDateDirectoryUnderItsFinalName)
{
    tvrtest::ScratchDir t;
    write_file(t / "recording_now_tmp.mp4", "segment");
    tvrtest::LogCapture log;
    EXPECT_EQ(rec_file_segment(t.path().c_str(), (t / "recording_now_tmp.mp4").c_str(), &kDate,
                               62000, MUX_TYPE_MP4),
              0);
    EXPECT_EQ(read_file(t / "20230210/tavro_163508_00062000.mp4"), "segment");
    EXPECT_EQ(tree(t.path()),
              (std::set<std::string>{"20230210/", "20230210/tavro_163508_00062000.mp4"}));
    EXPECT_TRUE(log.has_line("254/4 save record file '" +
                             (t / "20230210/tavro_163508_00062000.mp4") + "' \n"));
}

TEST(RecorderFiling, SegmentAcrossMidnightStaysInTheDayItBegan)
{
    tvrtest::ScratchDir t;
    fs::create_directory(t / "20230210");
    write_file(t / "recording_now_tmp.avi", "late");
    const strm_date d = {2023, 2, 10, 23, 59, 30, 0};
    EXPECT_EQ(rec_file_segment(t.path().c_str(), (t / "recording_now_tmp.avi").c_str(), &d, 62000,
                               MUX_TYPE_AVI),
              0);
    EXPECT_EQ(read_file(t / "20230210/tavro_235930_00062000.avi"), "late");
}

TEST(RecorderFiling, ExistingRecordingIsNeverReplaced)
{
    tvrtest::ScratchDir t;
    fs::create_directory(t / "20230210");
    write_file(t / "20230210/tavro_163508_00062000.mp4", "old");
    write_file(t / "20230210/tavro_163508_00062000_1.mp4", "older");
    write_file(t / "recording_now_tmp.mp4", "new");
    EXPECT_EQ(rec_file_segment(t.path().c_str(), (t / "recording_now_tmp.mp4").c_str(), &kDate,
                               62000, MUX_TYPE_MP4),
              0);
    EXPECT_EQ(read_file(t / "20230210/tavro_163508_00062000.mp4"), "old");
    EXPECT_EQ(read_file(t / "20230210/tavro_163508_00062000_1.mp4"), "older");
    EXPECT_EQ(read_file(t / "20230210/tavro_163508_00062000_2.mp4"), "new");
}

/* The fake repair: reports `ms` (or fails) and dates the record file. */
struct FakeFix {
    static int result;
    static uint32_t ms;
    static time_t mtime;
    static int calls;
    static enum ozi_mux_type type;
    static bool side_ok;
    static int fix(FILE *rec, FILE *idx, FILE *moov, FILE *stbl, enum ozi_mux_type t,
                   struct mux_fileinfo *info)
    {
        calls++;
        type = t;
        side_ok = t == MUX_TYPE_MP4 ? (!idx && moov && stbl) : (idx && !moov && !stbl);
        EXPECT_EQ(info->total_ms, 0u);
        if (result != 0)
            return result;
        /* Writes through the stream as a real repair does. */
        fseek(rec, 0, SEEK_END);
        fputs("+fixed", rec);
        fflush(rec);
        struct timespec ts[2] = {{mtime, 0}, {mtime, 0}};
        futimens(fileno(rec), ts);
        info->total_ms = ms;
        return 0;
    }
    static void reset(int r, uint32_t m)
    {
        result = r;
        ms = m;
        calls = 0;
        side_ok = false;
    }
};
int FakeFix::result;
uint32_t FakeFix::ms;
time_t FakeFix::mtime;
int FakeFix::calls;
enum ozi_mux_type FakeFix::type;
bool FakeFix::side_ok;

time_t local_time(int y, int mo, int d, int h, int mi, int s)
{
    struct tm tm = {};
    tm.tm_year = y - 1900;
    tm.tm_mon = mo - 1;
    tm.tm_mday = d;
    tm.tm_hour = h;
    tm.tm_min = mi;
    tm.tm_sec = s;
    tm.tm_isdst = -1;
    return mktime(&tm);
}

TEST(RecorderRecovery, Cases)
{
    struct Row {
        const char *what;
        std::set<std::string> files;  /* at the top of the record directory */
        int fix_result;
        uint32_t ms;
        int calls;
        std::set<std::string> after;
    } rows[] = {
        {"mp4 with both side files is repaired and filed by its start time",
         {"recording_now_tmp.mp4", "recording_now_tmp.mp4.moov", "recording_now_tmp.mp4.stbl"}, 0,
         61480, 1, {"20230210/", "20230210/163508_00061480.mp4"}},
        {"avi with its index",
         {"recording_now_tmp.avi", "recording_now_tmp.avi.idx"}, 0, 5000, 1,
         {"20230210/", "20230210/163508_00005000.avi"}},
        {"mp4 without .moov is deleted with its .stbl",
         {"recording_now_tmp.mp4", "recording_now_tmp.mp4.stbl"}, 0, 1000, 0, {}},
        {"mp4 without .stbl", {"recording_now_tmp.mp4", "recording_now_tmp.mp4.moov"}, 0, 1000, 0,
         {}},
        {"avi without index", {"recording_now_tmp.avi"}, 0, 1000, 0, {}},
        {"side files alone", {"recording_now_tmp.mp4.moov", "recording_now_tmp.avi.idx"}, 0, 1000,
         0, {}},
        {"repair reporting 0 ms deletes all",
         {"recording_now_tmp.mp4", "recording_now_tmp.mp4.moov", "recording_now_tmp.mp4.stbl"}, 0,
         0, 1, {}},
        {"failed repair deletes all",
         {"recording_now_tmp.avi", "recording_now_tmp.avi.idx"}, -1, 1000, 1, {}},
        {"other names are left alone", {"notes.txt", "mp4"}, 0, 1000, 0, {"notes.txt", "mp4"}},
    };
    FakeFix::mtime = local_time(2023, 2, 10, 16, 35, 8);
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        tvrtest::ScratchDir t;
        for (auto &f : r.files)
            write_file(t / f, f);
        FakeFix::reset(r.fix_result, r.ms);
        EXPECT_EQ(rec_recover_dir(t.path().c_str(), FakeFix::fix), 0);
        EXPECT_EQ(FakeFix::calls, r.calls);
        if (r.calls) {
            EXPECT_TRUE(FakeFix::side_ok);
        }
        EXPECT_EQ(tree(t.path()), r.after);
    }
}

TEST(RecorderRecovery, RepairedFileKeepsContentAndLogsItsDestination)
{
    tvrtest::ScratchDir t;
    write_file(t / "recording_now_tmp.avi", "data");
    write_file(t / "recording_now_tmp.avi.idx", "idx");
    FakeFix::reset(0, 61480);
    FakeFix::mtime = local_time(2023, 2, 10, 23, 59, 59);
    tvrtest::LogCapture log;
    rec_recover_dir(t.path().c_str(), FakeFix::fix);
    EXPECT_EQ(FakeFix::type, MUX_TYPE_AVI);
    const std::string dest = t / "20230210/235959_00061480.avi";
    EXPECT_EQ(read_file(dest), "data+fixed");
    EXPECT_TRUE(log.has_line("254/4 save record file '" + dest + "' \n"));
}

TEST(RecorderRecovery, DateDirectoriesAreNotEntered)
{
    tvrtest::ScratchDir t;
    fs::create_directories(t / "20230210");
    write_file(t / "20230210/tavro_163508_00062000.mp4", "a");
    write_file(t / "20230210/recording_now_tmp.mp4", "b");
    fs::create_directories(t / "dir.mp4");
    const auto before = tree(t.path());
    FakeFix::reset(0, 1000);
    rec_recover_dir(t.path().c_str(), FakeFix::fix);
    EXPECT_EQ(FakeFix::calls, 0);
    EXPECT_EQ(tree(t.path()), before);
    EXPECT_EQ(read_file(t / "20230210/recording_now_tmp.mp4"), "b");
}

TEST(RecorderRecovery, MissingDirectoryDoesNothing)
{
    FakeFix::reset(0, 1000);
    EXPECT_EQ(rec_recover_dir("/nonexistent/tvr_rec", FakeFix::fix), 0);
    EXPECT_EQ(FakeFix::calls, 0);
}

TEST(RecorderRecovery, RepairedFileNeverReplacesAnExistingOne)
{
    tvrtest::ScratchDir t;
    fs::create_directories(t / "20230210");
    write_file(t / "20230210/163508_00061480.mp4", "kept");
    write_file(t / "recording_now_tmp.mp4", "x");
    write_file(t / "recording_now_tmp.mp4.moov", "m");
    write_file(t / "recording_now_tmp.mp4.stbl", "s");
    FakeFix::reset(0, 61480);
    FakeFix::mtime = local_time(2023, 2, 10, 16, 35, 8);
    rec_recover_dir(t.path().c_str(), FakeFix::fix);
    EXPECT_EQ(read_file(t / "20230210/163508_00061480.mp4"), "kept");
    EXPECT_EQ(read_file(t / "20230210/163508_00061480_1.mp4"), "x+fixed");
}

TEST(RecorderFiling, FailedMoveParksSegmentAndRecoveryFilesItLater)
{
    tvrtest::ScratchDir t;
    /* A regular file where the date directory should go. */
    write_file(t / "20230210", "blocker");
    write_file(t / "recording_now_tmp.mp4", "segment");
    EXPECT_EQ(rec_file_segment(t.path().c_str(), (t / "recording_now_tmp.mp4").c_str(), &kDate,
                               62000, MUX_TYPE_MP4),
              1);
    const std::string parked = t / "unfiled_20230210_tavro_163508_00062000.mp4";
    EXPECT_EQ(read_file(parked), "segment");
    EXPECT_FALSE(fs::exists(t / "recording_now_tmp.mp4"));

    /* The recovery neither repairs nor deletes it... */
    FakeFix::reset(0, 1000);
    rec_recover_dir(t.path().c_str(), FakeFix::fix);
    EXPECT_EQ(FakeFix::calls, 0);
    EXPECT_EQ(read_file(parked), "segment");

    /* ...and files it once the date directory can be made. */
    fs::remove(t / "20230210");
    rec_recover_dir(t.path().c_str(), FakeFix::fix);
    EXPECT_EQ(tree(t.path()),
              (std::set<std::string>{"20230210/", "20230210/tavro_163508_00062000.mp4"}));
    EXPECT_EQ(read_file(t / "20230210/tavro_163508_00062000.mp4"), "segment");
}

TEST(RecorderFiling, VanishedRecordDirectoryIsNotCreatedAgain)
{
    tvrtest::ScratchDir t;
    const std::string gone = t / "card";
    EXPECT_EQ(rec_file_segment(gone.c_str(), (gone + "/recording_now_tmp.mp4").c_str(), &kDate,
                               62000, MUX_TYPE_MP4),
              -1);
    EXPECT_FALSE(fs::exists(gone));
}

TEST(RecorderFiling, BothMovesFailingIsReported)
{
    tvrtest::ScratchDir t;
    EXPECT_EQ(rec_file_segment(t.path().c_str(), (t / "recording_now_tmp.mp4").c_str(), &kDate,
                               62000, MUX_TYPE_MP4),
              -1);
    EXPECT_FALSE(fs::exists(t / "20230210/tavro_163508_00062000.mp4"));
}

TEST(RecorderFiling, ReadOnlyDirectoryLeavesSegmentInPlace)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "root ignores directory permissions";
    tvrtest::ScratchDir t;
    write_file(t / "recording_now_tmp.mp4", "segment");
    fs::permissions(t.path(), fs::perms::owner_read | fs::perms::owner_exec);
    EXPECT_EQ(rec_file_segment(t.path().c_str(), (t / "recording_now_tmp.mp4").c_str(), &kDate,
                               62000, MUX_TYPE_MP4),
              -1);
    EXPECT_EQ(read_file(t / "recording_now_tmp.mp4"), "segment");
}

} // namespace
