/*
 * Retention: which finished segments go first, and the deletion itself on
 * a directory where nothing can satisfy the minimum (so that everything
 * retention may touch goes, and nothing else).
 */
#include <gtest/gtest.h>

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "support/log_capture.h"
#include "support/scratch_dir.h"
#include "tvr_record_space.h"

namespace fs = std::filesystem;

namespace {

TEST(RecorderSpace, SegmentNames)
{
    const struct {
        const char *dir, *name;
        bool ok;
    } rows[] = {
        {"20230210", "tavro_163508_00062000.mp4", true},
        {"20230210", "163508_00061480.avi", true},
        {"20230210", "tavro_163508_00062000_2.mp4", true},
        {"20230210", "tavro_163508_00062000.mp4.moov", false},
        {"20230210", "notes.mp4", false},
        {"20230210", "tavro_1635_00062000.mp4", false},
        {"2023021", "tavro_163508_00062000.mp4", false},
        {"holidays", "tavro_163508_00062000.mp4", false},
        {"20230210", "163508_0006.mp4", false},
    };
    for (const auto &r : rows)
        EXPECT_EQ(rec_space_is_segment(r.dir, r.name), r.ok) << r.dir << "/" << r.name;
}

TEST(RecorderSpace, OldestDayThenEarliestStartGoFirst)
{
    /* Listed in directory order, not time order. */
    const std::vector<rec_space_item> items = {
        {"20230211", "tavro_000004_00004000.mp4", 100},  /* 0 */
        {"20230210", "tavro_235958_00004000.mp4", 100},  /* 1 */
        {"20230210", "120000_00004000.mp4", 100},        /* 2: repaired, same day, earlier */
        {"20230211", "tavro_000000_00004000.mp4", 100},  /* 3 */
        {"20221231", "tavro_120000_00004000.avi", 300},  /* 4: previous year */
        {"20230210", "tavro_120000_00004000_1.mp4", 100}, /* 5: same start as 2 */
    };
    const struct {
        const char *what;
        uint64_t free_bytes, min_free;
        std::vector<size_t> expect;
    } rows[] = {
        {"enough free space: nothing", 1000, 1000, {}},
        {"one old file is enough", 900, 1000, {4}},
        {"exactly reached", 600, 1000, {4, 2}},
        {"same start: the plain name first", 500, 1000, {4, 2, 5}},
        {"across days in order", 300, 1000, {4, 2, 5, 1, 3}},
        {"not enough even with all: all", 0, 100000, {4, 2, 5, 1, 3, 0}},
        {"no minimum", 0, 0, {}},
    };
    for (const auto &r : rows)
        EXPECT_EQ(rec_space_pick(items, r.free_bytes, r.min_free), r.expect) << r.what;
}

TEST(RecorderSpace, DeletesOnlyFinishedSegmentsAndEmptiedDays)
{
    tvrtest::ScratchDir scratch("tvr_rec_space");
    ASSERT_NE(scratch.path(), "");
    const std::string &root = scratch.path();
    const std::set<std::string> kept = {
        "recording_now_tmp.mp4", "recording_now_tmp.mp4.stbl", "unfiled_20230209_tavro_101010_00004000.mp4",
        "20230211/notes.txt", "holidays/tavro_101010_00004000.mp4",
    };
    const std::set<std::string> gone = {
        "20230210/tavro_101010_00004000.mp4", "20230210/101014_00004000.mp4",
        "20230211/tavro_000000_00004000.avi",
    };
    for (const std::set<std::string> *set : {&kept, &gone})
        for (const std::string &f : *set) {
            fs::create_directories(fs::path(root + "/" + f).parent_path());
            std::ofstream(root + "/" + f) << std::string(5000, 'x');
        }
    tvrtest::LogCapture log;
    /* No file system has this much free space: every segment goes. */
    EXPECT_EQ(rec_make_room(root.c_str(), uint64_t(1) << 40), int(gone.size()));
    std::set<std::string> after;
    for (auto &e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file())
            after.insert(fs::relative(e.path(), root).string());
    EXPECT_EQ(after, kept);
    EXPECT_FALSE(fs::exists(root + "/20230210")) << "an emptied day stays";
    EXPECT_TRUE(fs::exists(root + "/20230211"));
    for (const std::string &f : gone)
        EXPECT_NE(log.text().find("retention: deleted " + root + "/" + f), std::string::npos) << f;
    /* A minimum that is met deletes nothing. */
    EXPECT_EQ(rec_make_room(root.c_str(), 1), 0);
    EXPECT_EQ(rec_make_room((root + "/missing").c_str(), 1), -1);
}

} // namespace
