// The pure H.264 packetiser: NAL splitting, single/FU-A decision, marker,
// time stamps, sequence numbers; and the header's wire form.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "rtsp_rtp.h"

namespace {

struct Pkt {
    rtp_header hdr;
    std::vector<uint8_t> payload;
};

void collect(void *ctx, const rtp_packet *pkt, int size)
{
    auto *out = static_cast<std::vector<Pkt> *>(ctx);
    out->push_back({pkt->header, std::vector<uint8_t>(pkt->payload, pkt->payload + size)});
}

// A NAL unit of n bytes with header byte hdr and a body without any
// 00 00 0x sequence (so it never contains a start code).
std::vector<uint8_t> make_nal(uint8_t hdr, size_t n, uint8_t seed = 1)
{
    std::vector<uint8_t> v(n);
    v[0] = hdr;
    for (size_t i = 1; i < n; i++)
        v[i] = (uint8_t)(((i * 7 + seed) % 250) + 2);
    return v;
}

void append(std::vector<uint8_t> &frame, const std::vector<uint8_t> &nal, int sc_len)
{
    static const uint8_t sc4[] = {0, 0, 0, 1};
    frame.insert(frame.end(), sc4 + (4 - sc_len), sc4 + 4);
    frame.insert(frame.end(), nal.begin(), nal.end());
}

// A one-unit frame of 100 bytes.
std::vector<uint8_t> make_frame_of(uint8_t hdr)
{
    std::vector<uint8_t> frame;
    append(frame, make_nal(hdr, 100), 4);
    return frame;
}

// Rebuilds the NAL units a packet sequence carries; fails the test on a
// malformed FU-A sequence.
std::vector<std::vector<uint8_t>> reassemble(const std::vector<Pkt> &pkts)
{
    std::vector<std::vector<uint8_t>> nals;
    std::vector<uint8_t> cur;
    bool in_fu = false;
    for (const Pkt &p : pkts) {
        uint8_t type = p.payload[0] & 0x1f;
        if (type != 28) {
            EXPECT_FALSE(in_fu) << "single packet inside an FU-A run";
            nals.push_back(p.payload);
            continue;
        }
        uint8_t fu = p.payload[1];
        bool s = fu & 0x80, e = fu & 0x40;
        EXPECT_FALSE(s && e) << "FU-A with both S and E";
        EXPECT_EQ(fu & 0x20, 0) << "reserved bit set";
        if (s) {
            EXPECT_FALSE(in_fu);
            cur.assign(1, (uint8_t)((p.payload[0] & 0xe0) | (fu & 0x1f)));
            in_fu = true;
        }
        EXPECT_TRUE(in_fu) << "fragment without start";
        cur.insert(cur.end(), p.payload.begin() + 2, p.payload.end());
        if (e) {
            nals.push_back(cur);
            in_fu = false;
        }
    }
    EXPECT_FALSE(in_fu) << "unfinished FU-A";
    return nals;
}

class Packetizer : public ::testing::Test {
protected:
    void SetUp() override
    {
        memset(&hdr_, 0, sizeof(hdr_));
        hdr_.rtp_version = 2;
        hdr_.payload_type = 96;
        hdr_.ssrc = 0x11223344;
    }
    std::vector<Pkt> run(const std::vector<uint8_t> &frame, uint64_t ms)
    {
        std::vector<Pkt> out;
        rtp_video_state st = {&hdr_, &last_ms_, &last_set_};
        int n = rtp_packetize_h264(&st, frame.data(), frame.size(), ms, collect, &out);
        EXPECT_EQ(n, (int)out.size());
        return out;
    }
    rtp_header hdr_;
    uint64_t last_ms_ = 0;
    uint8_t last_set_ = 0;
};

struct SizeCase {
    size_t n;
    std::vector<int> payload_sizes;   // on the wire, after the RTP header
};

class PacketizerSizes : public Packetizer, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(PacketizerSizes, SingleOrFuaAndReassembles)
{
    const SizeCase &c = GetParam();
    std::vector<uint8_t> nal = make_nal(0x65, c.n);
    std::vector<uint8_t> frame;
    append(frame, nal, 4);
    std::vector<Pkt> pkts = run(frame, 40);
    ASSERT_EQ(pkts.size(), c.payload_sizes.size());
    for (size_t i = 0; i < pkts.size(); i++) {
        EXPECT_EQ((int)pkts[i].payload.size(), c.payload_sizes[i]) << "packet " << i;
        EXPECT_EQ(pkts[i].hdr.seq, (uint16_t)i);
        EXPECT_EQ(pkts[i].hdr.marker, i + 1 == pkts.size() ? 1 : 0) << "packet " << i;
        EXPECT_EQ(pkts[i].hdr.payload_type, 96);
        EXPECT_EQ(pkts[i].hdr.ssrc, 0x11223344u);
    }
    if (pkts.size() > 1) {
        EXPECT_EQ(pkts[0].payload[0], 0x7c);
        EXPECT_EQ(pkts[0].payload[1], 0x85);
        for (size_t i = 1; i + 1 < pkts.size(); i++)
            EXPECT_EQ(pkts[i].payload[1], 0x05);
        EXPECT_EQ(pkts.back().payload[1], 0x45);
    }
    auto nals = reassemble(pkts);
    ASSERT_EQ(nals.size(), 1u);
    EXPECT_EQ(nals[0], nal);
    EXPECT_EQ(hdr_.seq, (uint16_t)pkts.size());
}

INSTANTIATE_TEST_SUITE_P(Rtp, PacketizerSizes,
                         ::testing::Values(SizeCase{1, {1}}, SizeCase{1000, {1000}},
                                           SizeCase{1399, {1399}}, SizeCase{1400, {1400}},
                                           SizeCase{1401, {1401}}, SizeCase{1402, {1402, 3}},
                                           SizeCase{2801, {1402, 1402}},
                                           SizeCase{2802, {1402, 1402, 3}},
                                           SizeCase{3000, {1402, 1402, 201}}),
                         [](const ::testing::TestParamInfo<SizeCase> &i) {
                             return "n" + std::to_string(i.param.n);
                         });

TEST_F(Packetizer, ThreeByteStartCode)
{
    std::vector<uint8_t> nal = make_nal(0x41, 500);
    std::vector<uint8_t> frame;
    append(frame, nal, 3);
    auto pkts = run(frame, 1);
    ASSERT_EQ(pkts.size(), 1u);
    EXPECT_EQ(pkts[0].payload, nal);
}

TEST_F(Packetizer, SeveralNalUnitsTravelSeparatelyWithOneTimeStamp)
{
    auto sps = make_nal(0x67, 12, 3), pps = make_nal(0x68, 4, 5), sei = make_nal(0x06, 20, 7);
    auto idr = make_nal(0x65, 3000, 9);
    std::vector<uint8_t> frame;
    append(frame, sps, 4);
    append(frame, pps, 4);
    append(frame, sei, 3);
    append(frame, idr, 4);
    frame.push_back(0);   // trailing_zero_8bits belong to no unit
    run(make_frame_of(0x41), 100);
    auto pkts = run(frame, 140);
    ASSERT_EQ(pkts.size(), 6u);
    for (size_t i = 0; i < pkts.size(); i++) {
        EXPECT_EQ(pkts[i].hdr.ts, 3600u);
        EXPECT_EQ(pkts[i].hdr.marker, i == 5 ? 1 : 0);
        EXPECT_EQ(pkts[i].hdr.seq, (uint16_t)(i + 1));
    }
    auto nals = reassemble(pkts);
    ASSERT_EQ(nals.size(), 4u);
    EXPECT_EQ(nals[0], sps);
    EXPECT_EQ(nals[1], pps);
    EXPECT_EQ(nals[2], sei);
    EXPECT_EQ(nals[3], idr);
}

TEST_F(Packetizer, TimeStampsAt90kHzFromFirstFrame)
{
    const uint64_t ms[] = {0, 40, 73};
    const uint32_t want[] = {0, 3600, 6570};
    for (int i = 0; i < 3; i++) {
        auto pkts = run(make_frame_of(0x41), ms[i]);
        ASSERT_EQ(pkts.size(), 1u);
        EXPECT_EQ(pkts[0].hdr.ts, want[i]) << "ms " << ms[i];
    }
}

TEST_F(Packetizer, TimeStampStartsAtZeroForAnyFirstFrameAndWrapsModulo32Bits)
{
    hdr_.ts = 0;
    run(make_frame_of(0x41), 5000000);
    EXPECT_EQ(hdr_.ts, 0u);
    run(make_frame_of(0x41), 5000000 + 50000000);   // 50000 s later
    EXPECT_EQ(hdr_.ts, (uint32_t)(90ull * 50000000ull));
}

TEST_F(Packetizer, DroppedFramesChangeNothing)
{
    run(make_frame_of(0x41), 1000);
    const uint16_t seq = hdr_.seq;
    const std::vector<std::vector<uint8_t>> bad = {
        {},                             // empty
        {0x65, 1, 2, 3},                // no start code
        {0, 0, 1},                      // start code, no unit
        {0, 0, 0, 1, 0, 0, 1, 0, 0},    // only empty units
        {0, 0, 2, 0x65, 1},             // not a start code
    };
    for (const auto &f : bad) {
        EXPECT_TRUE(run(f, 1020).empty());
        EXPECT_EQ(hdr_.seq, seq);
        EXPECT_EQ(last_ms_, 1000u);
    }
    auto pkts = run(make_frame_of(0x41), 1040);
    ASSERT_EQ(pkts.size(), 1u);
    EXPECT_EQ(pkts[0].hdr.ts, 3600u) << "the dropped frame's interval counts";
}

TEST_F(Packetizer, SequenceNumberWraps)
{
    hdr_.seq = 65535;
    std::vector<uint8_t> frame;
    append(frame, make_nal(0x65, 2000), 4);
    auto pkts = run(frame, 1);
    ASSERT_EQ(pkts.size(), 2u);
    EXPECT_EQ(pkts[0].hdr.seq, 65535);
    EXPECT_EQ(pkts[1].hdr.seq, 0);
    EXPECT_EQ(hdr_.seq, 1);
}

TEST(KeyFrame, IdrOrSpsMakesAKeyFrame)
{
    std::vector<uint8_t> p_frame, idr_frame, sps_first, sei_then_idr;
    append(p_frame, make_nal(0x41, 50), 4);
    append(idr_frame, make_nal(0x65, 50), 3);
    append(sps_first, make_nal(0x67, 10), 4);
    append(sps_first, make_nal(0x41, 50), 4);
    append(sei_then_idr, make_nal(0x06, 10), 4);
    append(sei_then_idr, make_nal(0x25, 50), 4);   // IDR with NRI 1
    EXPECT_FALSE(rtp_h264_frame_is_key(p_frame.data(), p_frame.size()));
    EXPECT_TRUE(rtp_h264_frame_is_key(idr_frame.data(), idr_frame.size()));
    EXPECT_TRUE(rtp_h264_frame_is_key(sps_first.data(), sps_first.size()));
    EXPECT_TRUE(rtp_h264_frame_is_key(sei_then_idr.data(), sei_then_idr.size()));
    const uint8_t no_sc[] = {0x65, 1, 2};
    EXPECT_FALSE(rtp_h264_frame_is_key(no_sc, sizeof(no_sc)));
}

TEST(RtpHeader, WireFormInNetworkOrder)
{
    rtp_header h;
    memset(&h, 0, sizeof(h));
    h.rtp_version = 2;
    h.payload_type = 96;
    h.marker = 1;
    h.seq = 0x0102;
    h.ts = 0x03040506;
    h.ssrc = 0x0708090a;
    uint8_t w[RTP_HEADER_SIZE];
    rtp_header_serialize(&h, w);
    const uint8_t want[] = {0x80, 0xe0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    EXPECT_EQ(0, memcmp(w, want, sizeof(want)));
    h.marker = 0;
    rtp_header_serialize(&h, w);
    EXPECT_EQ(w[1], 96);
}

}  // namespace
