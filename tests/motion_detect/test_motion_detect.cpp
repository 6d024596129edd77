/*
 * test_motion_detect.cpp - drives the real motion_detect program on short
 * clips that ffmpeg renders: a 48 x 48 test-pattern patch moving right at
 * 4 pixels per frame over a grey 320 x 240 field, and a still scene.
 */
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <dirent.h>
#include <string>
#include <vector>

#include "support/command.h"
#include "support/scratch_dir.h"

#ifndef MOTION_DETECT_BIN
#error "MOTION_DETECT_BIN must name the program under test"
#endif

namespace {

using tvrtest::run;

struct Box {
    int left, top, right, bottom, tag;
};

struct Line {
    long frame = -1;
    std::string detector;
    int count = -1;
    std::vector<Box> boxes;
};

bool parse_line(const std::string &s, Line *l)
{
    char det[16] = {0};
    if (std::sscanf(s.c_str(), "{\"frame\":%ld,\"detector\":\"%15[a-z]\",\"count\":%d,", &l->frame,
                    det, &l->count) != 3)
        return false;
    l->detector = det;
    size_t pos = s.find("\"boxes\":[");
    if (pos == std::string::npos)
        return false;
    pos += 9;
    while (s[pos] == '[' || s[pos] == ',') {
        if (s[pos] == ',')
            pos++;
        Box b;
        int used = 0;
        if (std::sscanf(s.c_str() + pos, "[%d,%d,%d,%d,%d]%n", &b.left, &b.top, &b.right,
                        &b.bottom, &b.tag, &used) != 5)
            return false;
        l->boxes.push_back(b);
        pos += size_t(used);
    }
    return s[pos] == ']' && int(l->boxes.size()) == l->count;
}

std::vector<Line> parse_all(const std::string &out)
{
    std::vector<Line> lines;
    size_t start = 0, nl;
    while ((nl = out.find('\n', start)) != std::string::npos) {
        Line l;
        EXPECT_TRUE(parse_line(out.substr(start, nl - start), &l))
            << "not a JSON box line: " << out.substr(start, nl - start);
        lines.push_back(l);
        start = nl + 1;
    }
    return lines;
}

class MotionDetect : public testing::Test {
protected:
    static tvrtest::ScratchDir *scratch_;
    static std::string dir_, moving_, still_;

    static void SetUpTestSuite()
    {
        scratch_ = new tvrtest::ScratchDir("motion_detect_test");
        dir_ = scratch_->path();
        ASSERT_NE(dir_, "");
        moving_ = dir_ + "/moving.y4m";
        still_ = dir_ + "/still.y4m";
        std::string out;
        ASSERT_EQ(run("ffmpeg -nostdin -loglevel error -y -f lavfi -i color=gray:s=320x240:r=25:d=2 "
                      "-f lavfi -i testsrc=s=48x48:r=25:d=2 -filter_complex "
                      "\"[0][1]overlay=x='20+t*100':y=90:shortest=1\" -f yuv4mpegpipe " +
                          moving_,
                      &out),
                  0);
        ASSERT_EQ(run("ffmpeg -nostdin -loglevel error -y -f lavfi -i color=gray:s=320x240:r=25:d=1 "
                      "-vf drawbox=x=100:y=80:w=60:h=50:color=white:t=fill -f yuv4mpegpipe " +
                          still_,
                      &out),
                  0);
    }
    static void TearDownTestSuite()
    {
        delete scratch_;
        scratch_ = nullptr;
    }

    /* Object position in frame f: x = 20 + 4 f, y = 90, 48 x 48. */
    static Box object(long f) { return {int(20 + 4 * f), 90, int(20 + 4 * f + 47), 137, 0}; }

    /* Every box must cover the moving object, give or take `slack` pixels
     * (one cell of the detector's grid).  Returns the frames with boxes. */
    static int check_boxes_follow_object(const std::vector<Line> &lines, int slack)
    {
        int with_boxes = 0;
        for (const Line &l : lines) {
            if (l.count > 0)
                with_boxes++;
            for (const Box &b : l.boxes) {
                const Box o = object(l.frame);
                EXPECT_TRUE(b.left <= o.left + slack && b.right >= o.right - slack &&
                            b.top <= o.top + slack && b.bottom >= o.bottom - slack)
                    << "frame " << l.frame << " box [" << b.left << "," << b.top << ","
                    << b.right << "," << b.bottom << "] object [" << o.left << "," << o.top
                    << "," << o.right << "," << o.bottom << "]";
                EXPECT_TRUE(b.left >= o.left - 4 * slack && b.right <= o.right + 4 * slack &&
                            b.top >= o.top - 4 * slack && b.bottom <= o.bottom + 4 * slack)
                    << "frame " << l.frame << ": box far larger than the object";
            }
        }
        return with_boxes;
    }
};

tvrtest::ScratchDir *MotionDetect::scratch_ = nullptr;
std::string MotionDetect::dir_, MotionDetect::moving_, MotionDetect::still_;

TEST_F(MotionDetect, BothDetectorsReportBoxesAroundTheMovingPatch)
{
    struct Row { const char *args; int slack; int min_frames_with_boxes; };
    const Row rows[] = {
        {"--detector vibe", 8, 35},                                  // 4-pixel cells
        {"--detector mrd --mode 1", 10, 45},                         // 10-pixel cells
        {"--detector mrd --fw-params 3,2,4,200,1,1", 10, 40},
    };
    for (const Row &r : rows) {
        std::string out;
        ASSERT_EQ(run(std::string(MOTION_DETECT_BIN) + " " + r.args + " " + moving_ + " 2>/dev/null", &out), 0) << r.args;
        const std::vector<Line> lines = parse_all(out);
        ASSERT_EQ(lines.size(), 50u) << r.args;
        for (size_t i = 0; i < lines.size(); i++)
            EXPECT_EQ(lines[i].frame, long(i));
        EXPECT_EQ(lines[0].count, 0) << r.args;  // nothing to compare the first frame with
        EXPECT_GE(check_boxes_follow_object(lines, r.slack), r.min_frames_with_boxes) << r.args;
    }
}

TEST_F(MotionDetect, StillSceneGivesNoBoxes)
{
    for (const char *args : {"--detector vibe", "--detector mrd --mode 1",
                             "--detector mrd --fw-params 3,2,4,200,1,1"}) {
        std::string out;
        ASSERT_EQ(run(std::string(MOTION_DETECT_BIN) + " " + args + " " + still_ + " 2>/dev/null", &out), 0);
        const std::vector<Line> lines = parse_all(out);
        EXPECT_EQ(lines.size(), 25u) << args;
        for (const Line &l : lines)
            EXPECT_EQ(l.count, 0) << args << " frame " << l.frame;
    }
}

TEST_F(MotionDetect, ReadsFfmpegPipeOnStandardInputInEveryEightBitLayout)
{
    for (const char *pix_fmt : {"yuv420p", "gray", "yuv422p", "yuv444p"}) {
        std::string out;
        ASSERT_EQ(run("ffmpeg -nostdin -loglevel error -i " + moving_ + " -frames:v 20 -pix_fmt " + pix_fmt +
                          " -f yuv4mpegpipe - | " MOTION_DETECT_BIN
                          " --detector mrd --mode 1 - 2>/dev/null",
                      &out),
                  0)
            << pix_fmt;
        const std::vector<Line> lines = parse_all(out);
        ASSERT_EQ(lines.size(), 20u) << pix_fmt;
        EXPECT_GE(check_boxes_follow_object(lines, 10), 18) << pix_fmt;
    }
}

TEST_F(MotionDetect, SnapshotsAreValidPngsOfFramesWithBoxes)
{
    const std::string snaps = dir_ + "/snaps";
    std::string out;
    ASSERT_EQ(run(std::string(MOTION_DETECT_BIN) + " --detector mrd --mode 1 --max-frames 12 --snapshots " +
                      snaps + " " + moving_ + " 2>/dev/null",
                  &out),
              0);
    std::vector<std::string> want;
    for (const Line &l : parse_all(out))
        if (l.count > 0) {
            char name[32];
            std::snprintf(name, sizeof name, "frame_%06ld.png", l.frame);
            want.push_back(name);
        }
    ASSERT_GE(want.size(), 10u);
    std::vector<std::string> got;
    DIR *d = opendir(snaps.c_str());
    ASSERT_NE(d, nullptr);
    while (dirent *e = readdir(d))
        if (e->d_name[0] != '.')
            got.push_back(e->d_name);
    closedir(d);
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
    for (const std::string &name : got) {
        // Signature and header of every file; a full decode of two below.
        std::FILE *f = std::fopen((snaps + "/" + name).c_str(), "rb");
        ASSERT_NE(f, nullptr) << name;
        unsigned char head[24];
        ASSERT_EQ(std::fread(head, 1, sizeof head, f), sizeof head) << name;
        std::fclose(f);
        EXPECT_EQ(std::memcmp(head, "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR", 16), 0) << name;
        EXPECT_EQ(head[18] * 256 + head[19], 320) << name;
        EXPECT_EQ(head[22] * 256 + head[23], 240) << name;
    }
    for (const std::string &name : {got.front(), got.back()}) {
        // ffprobe decodes the picture: a broken PNG fails here.
        ASSERT_EQ(run("ffprobe -v error -select_streams v:0 -show_entries "
                      "stream=codec_name,width,height,pix_fmt -of csv=p=0 " +
                          snaps + "/" + name,
                      &out),
                  0)
            << name;
        EXPECT_EQ(out, "png,320,240,rgb24\n") << name;
    }
    // The outline is drawn in red on the grey picture: decode one and look.
    const std::string raw = dir_ + "/snap.rgb";
    ASSERT_EQ(run("ffmpeg -nostdin -loglevel error -y -i " + snaps + "/" + got.back() +
                      " -f rawvideo -pix_fmt rgb24 " + raw,
                  &out),
              0);
    std::FILE *f = std::fopen(raw.c_str(), "rb");
    ASSERT_NE(f, nullptr);
    std::vector<unsigned char> rgb(320 * 240 * 3);
    ASSERT_EQ(std::fread(rgb.data(), 1, rgb.size(), f), rgb.size());
    std::fclose(f);
    int red = 0, grey = 0;
    for (size_t i = 0; i < rgb.size(); i += 3) {
        red += rgb[i] == 255 && rgb[i + 1] == 0 && rgb[i + 2] == 0;
        grey += rgb[i] == rgb[i + 1] && rgb[i + 1] == rgb[i + 2];
    }
    EXPECT_GT(red, 200);
    EXPECT_GT(grey, 320 * 240 / 2);
}

TEST_F(MotionDetect, HelpBadOptionsAndBadInput)
{
    std::string out;
    EXPECT_EQ(run(std::string(MOTION_DETECT_BIN) + " --help", &out), 0);
    EXPECT_NE(out.find("usage: motion_detect"), std::string::npos);
    EXPECT_NE(out.find("--detection-region"), std::string::npos);
    const char *bad[] = {
        "--detector other", "--filters 1", "--fw-params 1,2,3", "--mode x",
        "--detector vibe --detection-region 24,1,1,1,1", "--detector mrd --update-frames 3",
        "--detector mrd --fw-params 1,2,3,4,5,6,7",
    };
    for (const char *args : bad)
        EXPECT_EQ(run(std::string(MOTION_DETECT_BIN) + " " + args + " " + still_ + " 2>/dev/null", &out), 1)
            << args;
    EXPECT_EQ(run("echo hello | " MOTION_DETECT_BIN " 2>/dev/null", &out), 1);
    EXPECT_EQ(out, "");
    EXPECT_EQ(run(std::string(MOTION_DETECT_BIN) + " " + dir_ + "/absent.y4m 2>/dev/null", &out), 1);
    // A stream cut inside a frame: the complete frames are reported, then status 1.
    EXPECT_EQ(run("head -c 200000 " + moving_ + " | " MOTION_DETECT_BIN " --detector mrd 2>/dev/null", &out), 1);
    EXPECT_EQ(parse_all(out).size(), 1u);
    // vibe needs at least 160 x 120.
    EXPECT_EQ(run("ffmpeg -nostdin -loglevel error -f lavfi -i color=gray:s=64x48:r=5:d=1 -f yuv4mpegpipe - 2>/dev/null | " MOTION_DETECT_BIN
                  " --detector vibe 2>/dev/null",
                  &out),
              1);
    // Every setter option is accepted.
    EXPECT_EQ(run(std::string(MOTION_DETECT_BIN) +
                      " --detector vibe --mode 1 --filters 30,10 --motion-region-size 20,2000"
                      " --fw-params 3,2,4,200,4,6,1 --frame-difference-filter 8 --update-frames 10"
                      " --filtering-flag 11 --fast-updating-flag 1 --false-detection-factor 90 " +
                      still_ + " 2>/dev/null",
                  &out),
              0);
    EXPECT_EQ(run(std::string(MOTION_DETECT_BIN) +
                      " --detector mrd --mode 0 --filters 4000,7000 --motion-region-size 2,200"
                      " --fw-params 3,2,4,200,1,1 --detection-region 24,1,1,32,24 " +
                      still_ + " 2>/dev/null",
                  &out),
              0);
}

} // namespace
