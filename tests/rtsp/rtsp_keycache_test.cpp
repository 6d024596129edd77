// The recent key frame kept for players that start just after it.
#include <gtest/gtest.h>

#include <vector>

#include "rtsp_keycache.h"

namespace {

// One step: a frame (key or not, source ms) and its packets' sizes; what
// the cache then holds.
struct Step {
    int key;
    uint64_t ts;
    std::vector<size_t> pkts;
    size_t held;   // packets held after the step (0: closed)
};

void run(const std::vector<Step> &steps, size_t max_bytes = 1 << 20)
{
    rtsp_key_cache *c = rtsp_key_cache_new(500, max_bytes);
    ASSERT_NE(c, nullptr);
    uint8_t fill = 0;
    std::vector<uint8_t> want;
    for (size_t i = 0; i < steps.size(); i++) {
        const Step &s = steps[i];
        rtsp_key_cache_frame(c, s.key, s.ts, 7000 + s.ts);
        if (s.key)
            want.clear();
        for (size_t n : s.pkts) {
            std::vector<uint8_t> p(n, ++fill);
            rtsp_key_cache_add(c, p.data(), p.size());
            want.insert(want.end(), p.begin(), p.end());
        }
        const uint8_t *buf = nullptr;
        const uint16_t *lens = nullptr;
        size_t got = rtsp_key_cache_packets(c, &buf, &lens);
        EXPECT_EQ(got, s.held) << "step " << i;
        EXPECT_EQ(rtsp_key_cache_open(c), s.held > 0 ? 1 : 0) << "step " << i;
        if (got && got == s.held) {
            size_t total = 0;
            for (size_t k = 0; k < got; k++)
                total += lens[k];
            ASSERT_EQ(total, want.size()) << "step " << i;
            EXPECT_EQ(std::vector<uint8_t>(buf, buf + total), want) << "step " << i;
        }
    }
    rtsp_key_cache_free(c);
}

TEST(KeyCache, HoldsTheKeyFrameAndWhatFollowsForHalfASecond)
{
    // Nothing before the first key frame.
    run({{0, 0, {100}, 0},
         {1, 40, {1400, 1400, 300}, 3},
         {0, 80, {500}, 4},
         {0, 540, {200, 200}, 6},     // 500 ms after the key frame: still kept
         {0, 580, {200}, 0},          // beyond: dropped whole
         {0, 620, {200}, 0},
         {1, 2040, {900}, 1},         // the next key frame starts afresh
         {1, 2080, {900, 10}, 2}});
}

TEST(KeyCache, ClosesRatherThanKeepAGap)
{
    // Over the byte limit: closed, not cut (a gap would break the sequence).
    run({{1, 0, {400, 400}, 2}, {0, 40, {300}, 0}, {0, 80, {10}, 0}}, 1000);
    // Time going backwards (a source restart) closes it as well.
    run({{1, 1000, {10}, 1}, {0, 900, {10}, 0}});
}

TEST(KeyCache, RecentByTheClockBetweenFrames)
{
    rtsp_key_cache *c = rtsp_key_cache_new(500, 1 << 20);
    const uint8_t pkt[10] = {};
    EXPECT_EQ(rtsp_key_cache_recent(c, 0), 0);
    rtsp_key_cache_frame(c, 1, 40, 10000);
    EXPECT_EQ(rtsp_key_cache_recent(c, 10000), 0) << "nothing held yet";
    rtsp_key_cache_add(c, pkt, sizeof(pkt));
    // now_ms, expected: the source may stall after a key frame.
    struct Row {
        uint64_t now;
        int want;
    } rows[] = {{10000, 1}, {10500, 1}, {10501, 0}, {12000, 0}, {9000, 0}};
    for (const Row &r : rows)
        EXPECT_EQ(rtsp_key_cache_recent(c, r.now), r.want) << r.now;
    EXPECT_EQ(rtsp_key_cache_open(c), 1) << "still open for the next frame's rule";
    rtsp_key_cache_free(c);
}

}  // namespace
