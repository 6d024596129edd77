// RTCP compound packets: what the server writes, and the check of what
// clients send.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "rtsp_rtcp.h"

namespace {

uint32_t be32(const uint8_t *p)
{
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | p[3];
}

TEST(Rtcp, NtpFromCaptureMilliseconds)
{
    struct Case {
        uint64_t ms;
        uint64_t ntp;
    } cases[] = {
        {0, 2208988800ull << 32},
        {1500, ((2208988800ull + 1) << 32) | 0x80000000ull},
        {1700000000250ull, ((2208988800ull + 1700000000ull) << 32) | 0x40000000ull},
    };
    for (const Case &c : cases)
        EXPECT_EQ(rtcp_ntp_from_ms(c.ms), c.ntp) << c.ms;
}

TEST(Rtcp, SenderReportCarriesTheStreamAndReadsBack)
{
    rtcp_sender_info si = {0x11223344u, 0x0102030405060708ull, 0xa0b0c0d0u, 77, 123456};
    uint8_t p[RTCP_MAX_SIZE];
    int n = rtcp_write_sr(p, sizeof(p), &si, "dovu");
    // SR of 28 bytes, SDES: header, SSRC, CNAME (2 + 4), end, pad to 8 + 8.
    ASSERT_EQ(n, 28 + 16);
    EXPECT_EQ(p[0], 0x80);
    EXPECT_EQ(p[1], RTCP_PT_SR);
    EXPECT_EQ(p[3], 6);   // 7 words
    EXPECT_EQ(be32(p + 4), si.ssrc);
    EXPECT_EQ(be32(p + 8), 0x01020304u);
    EXPECT_EQ(be32(p + 12), 0x05060708u);
    EXPECT_EQ(be32(p + 16), si.rtp_ts);
    EXPECT_EQ(be32(p + 20), 77u);
    EXPECT_EQ(be32(p + 24), 123456u);
    EXPECT_EQ(p[28], 0x81);
    EXPECT_EQ(p[29], RTCP_PT_SDES);
    EXPECT_EQ(be32(p + 32), si.ssrc);
    EXPECT_EQ(p[36], 1);
    EXPECT_EQ(p[37], 4);
    EXPECT_EQ(memcmp(p + 38, "dovu", 4), 0);
    EXPECT_EQ(p[42], 0);
    rtcp_summary sum;
    ASSERT_EQ(rtcp_parse(p, (size_t)n, &sum), 1);
    EXPECT_EQ(sum.sr, 1);
    EXPECT_EQ(sum.sender_ssrc, si.ssrc);
    EXPECT_EQ(rtcp_write_sr(p, 40, &si, "dovu"), -1) << "too small a buffer";
}

TEST(Rtcp, ByeIsACompoundThatEndsWithBye)
{
    uint8_t p[RTCP_MAX_SIZE];
    int n = rtcp_write_bye(p, sizeof(p), 0xcafe0001u, "x");
    ASSERT_GT(n, 0);
    EXPECT_EQ(p[1], RTCP_PT_RR);
    EXPECT_EQ(p[n - 8], 0x81);
    EXPECT_EQ(p[n - 7], RTCP_PT_BYE);
    EXPECT_EQ(be32(p + n - 4), 0xcafe0001u);
    rtcp_summary sum;
    ASSERT_EQ(rtcp_parse(p, (size_t)n, &sum), 1);
    EXPECT_EQ(sum.rr, 1);
    EXPECT_EQ(sum.bye, 1);
    EXPECT_EQ(sum.report_blocks, 0);
}

// A receiver report with one block, then an SDES, as players send them.
std::vector<uint8_t> rr_compound()
{
    std::vector<uint8_t> v = {0x81, 201, 0, 7, 1, 2, 3, 4};   // RR, RC=1, 8 words
    v.resize(32, 0);                                         // one report block
    const uint8_t sdes[] = {0x81, 202, 0, 2, 1, 2, 3, 4, 1, 0, 0, 0};
    v.insert(v.end(), sdes, sdes + sizeof(sdes));
    return v;
}

TEST(Rtcp, ParseAcceptsReportsAndRejectsWhatIsNotRtcp)
{
    struct Case {
        const char *name;
        void (*mangle)(std::vector<uint8_t> &);
        int ok;
    } cases[] = {
        {"receiver report + SDES", [](std::vector<uint8_t> &) {}, 1},
        {"version 1", [](std::vector<uint8_t> &v) { v[0] = 0x41; }, 0},
        {"padding in the first packet", [](std::vector<uint8_t> &v) { v[0] |= 0x20; }, 0},
        {"SDES first", [](std::vector<uint8_t> &v) { v[1] = 202; }, 0},
        {"RTP, not RTCP", [](std::vector<uint8_t> &v) { v[1] = 96; }, 0},
        {"truncated", [](std::vector<uint8_t> &v) { v.resize(v.size() - 4); }, 0},
        {"trailing bytes", [](std::vector<uint8_t> &v) { v.push_back(0); }, 0},
        {"length beyond the end", [](std::vector<uint8_t> &v) { v[35] = 40; }, 0},
        {"more blocks than words", [](std::vector<uint8_t> &v) { v[0] = 0x82; }, 0},
        {"second packet version 0", [](std::vector<uint8_t> &v) { v[32] = 0x01; }, 0},
    };
    for (const Case &c : cases) {
        std::vector<uint8_t> v = rr_compound();
        c.mangle(v);
        rtcp_summary sum;
        EXPECT_EQ(rtcp_parse(v.data(), v.size(), &sum), c.ok) << c.name;
        if (c.ok) {
            EXPECT_EQ(sum.rr, 1);
            EXPECT_EQ(sum.report_blocks, 1);
            EXPECT_EQ(sum.sender_ssrc, 0x01020304u);
        }
    }
}

}  // namespace
