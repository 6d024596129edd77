// AAC in RTP (RFC 3640, AAC-hbr): configuration, ADTS framing and the
// packetiser.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "rtsp_rtp_aac.h"

namespace {

// An ADTS frame (AAC-LC, 8000 Hz, mono) around `raw` bytes of value v.
std::vector<uint8_t> adts(size_t raw, uint8_t v, bool crc = false)
{
    size_t h = crc ? 9 : 7;
    size_t len = h + raw;
    std::vector<uint8_t> f = {0xff, (uint8_t)(crc ? 0xf0 : 0xf1), (1 << 6) | (11 << 2),
                              (uint8_t)((1 << 6) | ((len >> 11) & 3)), (uint8_t)(len >> 3),
                              (uint8_t)(((len & 7) << 5) | 0x1f), 0xfc};
    if (crc)
        f.push_back(0), f.push_back(0);
    f.resize(len, v);
    return f;
}

struct Pkt {
    rtp_header h;
    std::vector<uint8_t> payload;
};

void collect(void *ctx, const rtp_packet *p, int n)
{
    static_cast<std::vector<Pkt> *>(ctx)->push_back({p->header, {p->payload, p->payload + n}});
}

struct Stream {
    rtp_header hdr{};
    uint64_t first = 0;
    uint8_t first_set = 0;
    rtp_audio_state st{&hdr, 8000, &first, &first_set};
    std::vector<Pkt> out;
    int put(const std::vector<uint8_t> &buf, uint64_t ms)
    {
        return rtp_packetize_aac(&st, buf.data(), buf.size(), ms, collect, &out);
    }
};

std::vector<uint8_t> cat(std::initializer_list<std::vector<uint8_t>> parts)
{
    std::vector<uint8_t> v;
    for (const auto &p : parts)
        v.insert(v.end(), p.begin(), p.end());
    return v;
}

TEST(RtpAac, ConfigOfTheSessionDescription)
{
    struct Case {
        int rate, channels, config;
    } cases[] = {{8000, 1, 0x1588}, {44100, 2, 0x1210}, {48000, 1, 0x1188},
                 {96000, 7, 0x1038}, {12345, 1, -1},    {8000, 0, -1}, {8000, 8, -1}};
    for (const Case &c : cases)
        EXPECT_EQ(rtp_aac_config(c.rate, c.channels), c.config) << c.rate << "/" << c.channels;
}

TEST(RtpAac, AdtsFrames)
{
    size_t h = 0, f = 0;
    std::vector<uint8_t> a = adts(100, 1), b = adts(100, 1, true);
    ASSERT_EQ(rtp_aac_adts_frame(a.data(), a.size(), &h, &f), 1);
    EXPECT_EQ(h, 7u);
    EXPECT_EQ(f, 107u);
    ASSERT_EQ(rtp_aac_adts_frame(b.data(), b.size(), &h, &f), 1);
    EXPECT_EQ(h, 9u);
    EXPECT_EQ(f, 109u);
    EXPECT_EQ(rtp_aac_adts_frame(a.data(), a.size() - 1, &h, &f), 0) << "truncated";
    a[1] = 0xe1;
    EXPECT_EQ(rtp_aac_adts_frame(a.data(), a.size(), &h, &f), 0) << "no sync word";
}

// Each packet as "ts:marker:[au sizes]:payload bytes after the headers".
TEST(RtpAac, PacketsCarryAccessUnitsWithTheirHeaders)
{
    struct Case {
        const char *name;
        std::vector<uint8_t> buf;
        std::vector<std::vector<size_t>> au_sizes;   // per packet
        std::vector<int> markers;
        std::vector<uint32_t> ts;
    } cases[] = {
        {"one frame", adts(300, 7), {{300}}, {1}, {0}},
        {"three frames share a packet", cat({adts(100, 1), adts(100, 2), adts(100, 3)}),
         {{100, 100, 100}}, {1}, {0}},
        {"two large frames, one packet each", cat({adts(800, 1), adts(800, 2)}), {{800}, {800}},
         {1, 1}, {0, 1024}},
        {"a frame with CRC loses its 9-byte header", adts(50, 9, true), {{50}}, {1}, {0}},
        {"a frame beyond a packet goes in fragments", adts(3000, 5), {{3000}, {3000}, {3000}},
         {0, 0, 1}, {0, 0, 0}},
        {"not ADTS", std::vector<uint8_t>(50, 0x11), {}, {}, {}},
    };
    for (const Case &c : cases) {
        Stream s;
        s.hdr.seq = 65535;
        int n = s.put(c.buf, 5000);
        ASSERT_EQ(n, (int)c.au_sizes.size()) << c.name;
        std::vector<uint8_t> data;
        for (int i = 0; i < n; i++) {
            const Pkt &p = s.out[i];
            EXPECT_EQ(p.h.seq, (uint16_t)(65535 + i)) << c.name;
            EXPECT_EQ(p.h.marker, c.markers[i]) << c.name << " packet " << i;
            EXPECT_EQ(p.h.ts, c.ts[i]) << c.name << " packet " << i;
            const std::vector<size_t> &sizes = c.au_sizes[i];
            size_t k = sizes.size();
            ASSERT_EQ((p.payload[0] << 8) | p.payload[1], (int)(16 * k)) << c.name;
            for (size_t j = 0; j < k; j++) {
                size_t au = ((size_t)p.payload[2 + 2 * j] << 5) | (p.payload[3 + 2 * j] >> 3);
                EXPECT_EQ(au, sizes[j]) << c.name;
                EXPECT_EQ(p.payload[3 + 2 * j] & 7, 0) << "index";
            }
            data.insert(data.end(), p.payload.begin() + 2 + 2 * (long)k, p.payload.end());
            EXPECT_LE(p.payload.size(), (size_t)RTP_MAX_NAL_PAYLOAD) << c.name;
        }
        // The raw frames, headers stripped, in order.
        std::vector<uint8_t> want;
        size_t off = 0, h = 0, f = 0;
        while (off < c.buf.size() && rtp_aac_adts_frame(c.buf.data() + off, c.buf.size() - off, &h, &f)) {
            want.insert(want.end(), c.buf.begin() + (long)(off + h), c.buf.begin() + (long)(off + f));
            off += f;
        }
        if (n > 0) {
            EXPECT_EQ(data, want) << c.name;
        } else {
            EXPECT_EQ(s.hdr.seq, 65535) << "a dropped buffer moved the sequence";
        }
    }
}

TEST(RtpAac, TimeFollowsTheCaptureClockFromTheFirstBuffer)
{
    Stream s;
    std::vector<uint8_t> f = adts(100, 1);
    const uint64_t ms[] = {7000, 7128, 7256, 8000, 7000 + 60000};
    const uint32_t want[] = {0, 1024, 2048, 8000, 480000};
    for (size_t i = 0; i < 5; i++) {
        s.out.clear();
        ASSERT_EQ(s.put(f, ms[i]), 1);
        EXPECT_EQ(s.out[0].h.ts, want[i]) << ms[i];
    }
}

}  // namespace
