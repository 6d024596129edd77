/*
 * test_motion_tools.cpp - the YUV4MPEG2 reader and the activity grid of
 * motion_detect.
 */
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "activity_grid.h"
#include "y4m.h"

namespace {

TEST(Y4mHeader, ColourSpacesAndSizes)
{
    struct Row { const char *line; bool ok; int w, h; size_t chroma; };
    const Row rows[] = {
        {"YUV4MPEG2 W320 H240 F25:1 Ip A1:1 C420jpeg XYSCSS=420JPEG", true, 320, 240, 2 * 160 * 120},
        {"YUV4MPEG2 W320 H240 C420paldv", true, 320, 240, 2 * 160 * 120},
        {"YUV4MPEG2 W320 H240 C420mpeg2", true, 320, 240, 2 * 160 * 120},
        {"YUV4MPEG2 W321 H241 C420", true, 321, 241, 2 * 161 * 121},
        {"YUV4MPEG2 W320 H240", true, 320, 240, 2 * 160 * 120},  // 420jpeg when C is absent
        {"YUV4MPEG2 W320 H240 C422", true, 320, 240, 2 * 160 * 240},
        {"YUV4MPEG2 W320 H240 C444", true, 320, 240, 2 * 320 * 240},
        {"YUV4MPEG2 W320 H240 Cmono", true, 320, 240, 0},
        {"YUV4MPEG2 W320 H240 C420p10 XYSCSS=420P10", false, 0, 0, 0},
        {"YUV4MPEG2 W320 C420", false, 0, 0, 0},
        {"YUV4MPEG2 W0 H240", false, 0, 0, 0},
        {"YUV4MPEG2 W-5 H240", false, 0, 0, 0},
        {"YUV4MPEG2 W99999999 H240", false, 0, 0, 0},
        {"YUV4MPEG W320 H240", false, 0, 0, 0},
        {"YUV4MPEG2X W320 H240", false, 0, 0, 0},
    };
    for (const Row &r : rows) {
        y4m::Header h;
        std::string err;
        EXPECT_EQ(y4m::parse_header(r.line, &h, &err), r.ok) << r.line << " " << err;
        if (r.ok) {
            EXPECT_EQ(h.width, r.w) << r.line;
            EXPECT_EQ(h.height, r.h) << r.line;
            EXPECT_EQ(h.chroma_bytes, r.chroma) << r.line;
        } else {
            EXPECT_FALSE(err.empty()) << r.line;
        }
    }
}

TEST(Y4mHeader, FrameLines)
{
    EXPECT_TRUE(y4m::is_frame_line("FRAME"));
    EXPECT_TRUE(y4m::is_frame_line("FRAME Ixyz XFOO=1"));
    EXPECT_FALSE(y4m::is_frame_line("FRAMES"));
    EXPECT_FALSE(y4m::is_frame_line("FRAM"));
    EXPECT_FALSE(y4m::is_frame_line(""));
}

/* Reads `data` through the reader; returns the luma planes read and the
 * final result (0 end, -1 error). */
int read_all(const std::string &data, std::vector<std::vector<uint8_t>> *frames)
{
    std::FILE *f = fmemopen(const_cast<char *>(data.data()), data.size(), "rb");
    y4m::Reader r(f);
    std::string err;
    int rc = r.open(&err) ? 1 : -1;
    std::vector<uint8_t> luma;
    while (rc == 1 && (rc = r.next(&luma, &err)) == 1)
        frames->push_back(luma);
    std::fclose(f);
    return rc;
}

TEST(Y4mReader, ReadsLumaSkipsChromaAndFrameParameters)
{
    // 4x2 frames in 4:2:0: 8 luma bytes and 2 x 2 x 1 chroma bytes each.
    std::string s = "YUV4MPEG2 W4 H2 F25:1 C420jpeg\n";
    s += "FRAME\n" + std::string("ABCDEFGH") + "uuvv";
    s += "FRAME Ip XTAG=1\n" + std::string("abcdefgh") + "UUVV";
    std::vector<std::vector<uint8_t>> frames;
    EXPECT_EQ(read_all(s, &frames), 0);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(std::string(frames[0].begin(), frames[0].end()), "ABCDEFGH");
    EXPECT_EQ(std::string(frames[1].begin(), frames[1].end()), "abcdefgh");
}

TEST(Y4mReader, TruncatedOrMalformedFramesAreErrors)
{
    const std::string head = "YUV4MPEG2 W4 H2 Cmono\n";
    const struct { const char *name; std::string body; size_t frames; } rows[] = {
        {"short luma", "FRAME\nABCDEFGHFRAME\nabc", 1},
        {"empty stream", "", 0},
        {"not a frame line", "FRAMX\nABCDEFGH", 0},
        {"no newline after FRAME", "FRAME", 0},
    };
    for (const auto &r : rows) {
        std::vector<std::vector<uint8_t>> frames;
        const int rc = read_all(head + r.body, &frames);
        if (r.body.empty()) {
            EXPECT_EQ(rc, 0) << r.name;  // an empty stream after the header is just empty
        } else {
            EXPECT_EQ(rc, -1) << r.name;
        }
        EXPECT_EQ(frames.size(), r.frames) << r.name;
    }
    std::vector<std::vector<uint8_t>> frames;
    EXPECT_EQ(read_all("YUV4MPEG2 W4 H2 C420\nFRAME\nABCDEFGHuu", &frames), -1);
    EXPECT_EQ(read_all("", &frames), -1);
}

TEST(ActivityGrid, MeanAbsoluteDifferenceScaledTo16Bits)
{
    struct Row { int w, h; uint8_t a, b; uint16_t want; };
    const Row rows[] = {
        {320, 240, 100, 100, 0}, {320, 240, 0, 255, 65535}, {320, 240, 200, 173, 27 * 257},
        {33, 25, 10, 20, 10 * 257}, {32, 24, 255, 0, 65535},
    };
    for (const Row &r : rows) {
        std::vector<uint8_t> p(size_t(r.w) * r.h, r.a), c(size_t(r.w) * r.h, r.b);
        uint16_t grid[activity::kRows * activity::kCols];
        ASSERT_TRUE(activity::make_grid(p.data(), c.data(), r.w, r.h, grid));
        for (uint16_t v : grid)
            ASSERT_EQ(v, r.want) << r.w << "x" << r.h;
    }
    std::vector<uint8_t> small(31 * 24);
    uint16_t grid[activity::kRows * activity::kCols];
    EXPECT_FALSE(activity::make_grid(small.data(), small.data(), 31, 24, grid));
    EXPECT_FALSE(activity::make_grid(small.data(), small.data(), 32, 23, grid));
}

TEST(ActivityGrid, BlocksTileTheFrameAndLocaliseChange)
{
    for (int size : {32, 240, 241, 1080, 1919}) {
        for (int cells : {24, 32}) {
            int next = 0;
            for (int c = 0; c < cells; c++) {
                EXPECT_EQ(activity::first_pixel(c, cells, size), next);
                next = activity::last_pixel(c, cells, size) + 1;
                EXPECT_GT(next, activity::first_pixel(c, cells, size));
            }
            EXPECT_EQ(next, size);
        }
    }
    // A changed 10 x 10 block at pixels (50..59, 30..39) of 320 x 240 is
    // exactly grid cell (5, 3).
    std::vector<uint8_t> p(320 * 240, 50), c = p;
    for (int y = 30; y < 40; y++)
        for (int x = 50; x < 60; x++)
            c[y * 320 + x] = 150;
    uint16_t grid[activity::kRows * activity::kCols];
    ASSERT_TRUE(activity::make_grid(p.data(), c.data(), 320, 240, grid));
    for (int i = 0; i < activity::kRows * activity::kCols; i++)
        EXPECT_EQ(grid[i], i == 3 * 32 + 5 ? 100 * 257 : 0) << "cell " << i;
}

} // namespace
