// A/V sync marks: tone and checker finding, pairing, and the analyser
// program on a clip with known offsets.
#include "av_sync.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "support/command.h"
#include "support/scratch_dir.h"

namespace {

using tvrtest::run;

/* `seconds` of 8000 Hz sound: a 440 Hz hum, plus a 1 kHz tone of
 * `tone_s` at each of `starts` (none when tone_s is 0). */
std::vector<float> sound(double seconds, const std::vector<double> &starts, double tone_s,
                         double hum = 0.1)
{
    const int rate = 8000;
    std::vector<float> pcm((size_t)(seconds * rate));
    for (size_t i = 0; i < pcm.size(); i++) {
        double t = (double)i / rate;
        double v = hum * std::sin(2 * M_PI * 440 * t);
        for (double s : starts)
            if (t >= s && t < s + tone_s)
                v += 0.5 * std::sin(2 * M_PI * 1000 * (t - s));
        pcm[i] = (float)v;
    }
    return pcm;
}

TEST(AvSync, ToneStartsAreFoundToTheSample)
{
    struct Row {
        const char *what;
        std::vector<double> starts;
        double tone_s, hum;
        size_t found;
    } rows[] = {
        {"three 40 ms tones", {0.5, 1.5003, 2.25}, 0.040, 0.1, 3},
        {"20 ms tones over a loud hum", {0.7, 1.9}, 0.020, 0.4, 2},
        {"no tone", {}, 0.0, 0.1, 0},
        {"a 1 kHz note of a second is no mark", {0.5}, 1.0, 0.1, 0},
        {"silence", {}, 0.0, 0.0, 0},
        {"a tone cut by the start cannot be timed: left out", {0.001, 1.0}, 0.040, 0.1, 1},
    };
    for (const Row &r : rows) {
        std::vector<double> got = av_sync_tone_starts(sound(3, r.starts, r.tone_s, r.hum), 8000);
        ASSERT_EQ(r.found, got.size()) << r.what;
        for (size_t i = 0; i < got.size(); i++)
            EXPECT_NEAR(r.starts[r.starts.size() - got.size() + i] * 8000, got[i], 2.0)
                << r.what << ", tone " << i;
    }
}

TEST(AvSync, CheckerScoresAndMarkPictures)
{
    const int w = 320, h = 180;
    std::vector<uint8_t> pic((size_t)w * h, 100);
    EXPECT_NEAR(0.0, av_sync_mark_score(pic.data(), w, w, h), 1e-9) << "flat grey";
    /* The checker as the camera draws it: 20 x 11 squares in the corner. */
    for (int y = 0; y < 22; y++)
        for (int x = w - 40; x < w; x++)
            pic[(size_t)y * w + x] = ((x >= w - 20) == (y >= 11)) ? 235 : 16;
    EXPECT_GT(av_sync_mark_score(pic.data(), w, w, h), 200.0);
    /* The same corner all white (a bright sky) is no mark. */
    for (int y = 0; y < 22; y++)
        for (int x = w - 40; x < w; x++)
            pic[(size_t)y * w + x] = 235;
    EXPECT_LT(av_sync_mark_score(pic.data(), w, w, h), kAvSyncMarkScore);

    /* Only the first picture of a run of marked ones counts. */
    std::vector<double> scores = {0, 210, 0, 0, 205, 190, 0, 150};
    std::vector<double> times = {0, .04, .08, .12, .16, .2, .24, .28};
    EXPECT_EQ((std::vector<double>{.04, .16, .28}), av_sync_video_marks(scores, times));
}

TEST(AvSync, PairsTakeTheNearestToneOnce)
{
    struct Row {
        const char *what;
        std::vector<double> video, audio, offsets_ms;
    } rows[] = {
        {"one each", {1, 2, 3}, {1.08, 2.0, 2.88}, {80, 0, -120}},
        {"a lost tone leaves its mark unpaired", {1, 2, 3}, {1.01, 3.02}, {10, 20}},
        {"a tone too far away is no pair", {1, 2}, {1.7, 2.0}, {0}},
        {"a tone pairs once", {1.0, 1.3}, {1.2}, {200}},
    };
    for (const Row &r : rows) {
        std::vector<av_sync_pair> got = av_sync_pair_marks(r.video, r.audio, 0.5);
        ASSERT_EQ(r.offsets_ms.size(), got.size()) << r.what;
        for (size_t i = 0; i < got.size(); i++)
            EXPECT_NEAR(r.offsets_ms[i], got[i].offset_ms, 1e-6) << r.what << ", pair " << i;
    }
}

/* Values of `key` in a flat JSON text, in order. */
std::vector<double> json_numbers(const std::string &json, const std::string &key)
{
    std::vector<double> out;
    std::string k = "\"" + key + "\": ";
    for (size_t at = json.find(k); at != std::string::npos; at = json.find(k, at + 1))
        out.push_back(std::atof(json.c_str() + at + k.size()));
    return out;
}

/* ffmpeg draws the checker on pictures 25, 50 and 75 (1, 2 and 3 s) and
 * plays the tone 80 ms late, on time and 120 ms early; H.264 and AAC at
 * 8000 Hz mono in MP4, as the camera records. */
TEST(AvSyncOffset, FindsKnownOffsetsInAnFfmpegClip)
{
    tvrtest::ScratchDir dir("av_sync_clip");
    const std::string clip = dir / "clip.mp4";
    const std::string on = "enable='eq(n\\,25)+eq(n\\,50)+eq(n\\,75)'";
    auto box = [&](int x, int y, const char *colour) {
        return ",drawbox=x=" + std::to_string(x) + ":y=" + std::to_string(y) +
               ":w=40:h=22:color=" + colour + ":t=fill:" + on;
    };
    std::string video = "testsrc2=size=640x360:rate=25" + box(560, 0, "white") +
                        box(600, 22, "white") + box(600, 0, "black") + box(560, 22, "black");
    std::string audio = "aevalsrc=0.1*sin(2*PI*440*t)";
    for (double s : {1.08, 2.0, 2.88})
        audio += "+0.5*sin(2*PI*1000*(t-" + std::to_string(s) + "))*between(t\\," +
                 std::to_string(s) + "\\," + std::to_string(s + 0.04) + ")";
    audio += ":s=8000";
    std::string make = "ffmpeg -nostdin -v error -y -f lavfi -i \"" + video +
                       "\" -f lavfi -i \"" + audio +
                       "\" -t 4 -c:v libx264 -preset ultrafast -pix_fmt yuv420p -c:a aac "
                       "-ar 8000 -ac 1 " + clip;
    ASSERT_EQ(0, std::system(make.c_str())) << make;
    std::string out = run(std::string(AV_SYNC_OFFSET_BIN) + " --json " + clip);
    ASSERT_EQ((std::vector<double>{3}), json_numbers(out, "video_marks")) << out;
    ASSERT_EQ((std::vector<double>{3}), json_numbers(out, "audio_marks")) << out;
    std::vector<double> offsets = json_numbers(out, "offset_ms");
    std::vector<double> want = {80, 0, -120};
    ASSERT_EQ(want.size(), offsets.size()) << out;
    for (size_t i = 0; i < want.size(); i++)
        EXPECT_NEAR(want[i], offsets[i], 5.0) << "mark " << i << ": " << out;
    std::vector<double> video_s = json_numbers(out, "video_s");
    EXPECT_EQ((std::vector<double>{1, 2, 3}), video_s) << out;
}

} // namespace
