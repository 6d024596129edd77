// Pure parsing: line splitter, value extractor, request framing and the
// session description.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "rtsp_request.h"

namespace {

TEST(GetLineFromBuf, CopiesFirstLineAndReturnsRest)
{
    char line[100];
    const char *text = "OPTIONS rtsp://h/a RTSP/1.0\r\nCSeq: 1\r\n";
    const char *rest = get_line_from_buf(text, line, sizeof(line));
    ASSERT_NE(rest, nullptr);
    EXPECT_STREQ(line, "OPTIONS rtsp://h/a RTSP/1.0\r\n");
    EXPECT_STREQ(rest, "CSeq: 1\r\n");
}

TEST(GetLineFromBuf, CutsLongLineToBufferAndKeepsNewline)
{
    char line[8];
    const char *rest = get_line_from_buf("abcdefghij\nz", line, sizeof(line));
    ASSERT_NE(rest, nullptr);
    EXPECT_STREQ(line, "abcdef\n");
    EXPECT_STREQ(rest, "z");
}

TEST(GetLineFromBuf, NullWithoutNewlineOrBadArguments)
{
    char line[16];
    EXPECT_EQ(get_line_from_buf("no newline", line, sizeof(line)), nullptr);
    EXPECT_EQ(get_line_from_buf(nullptr, line, sizeof(line)), nullptr);
    EXPECT_EQ(get_line_from_buf("a\n", nullptr, sizeof(line)), nullptr);
    EXPECT_EQ(get_line_from_buf("a\n", line, 0), nullptr);
}

struct ExtractCase {
    const char *name;
    const char *req;
    uri_item item;
    size_t size;
    int result;
    const char *value;   // expected text; null: destination untouched
};

const ExtractCase kExtract[] = {
    {"method", "OPTIONS rtsp://10.0.0.2/tavro_mirel/main RTSP/1.0\r\nCSeq: 1\r\n\r\n",
     RTSP_METHOD, 20, 7, "OPTIONS"},
    {"cseq", "OPTIONS rtsp://10.0.0.2/tavro_mirel/main RTSP/1.0\r\nCSeq: 12\r\n\r\n", RTSP_CSEQ,
     10, 2, "12"},
    {"cseq_after_other_headers",
     "SETUP rtsp://h/a/b/track0 RTSP/1.0\r\nTransport: RTP/AVP;unicast;client_port=5000-5001\r\n"
     "CSeq: 3\r\n\r\n",
     RTSP_CSEQ, 10, 1, "3"},
    {"cseq_too_long_for_buffer", "OPTIONS rtsp://h/a/b RTSP/1.0\r\nCSeq: 1234567890\r\n\r\n",
     RTSP_CSEQ, 10, 0, nullptr},
    {"cseq_absent", "OPTIONS rtsp://h/a/b RTSP/1.0\r\nUser-Agent: x\r\n\r\n", RTSP_CSEQ, 10, 0,
     nullptr},
    {"cseq_line_not_starting_with_name", "OPTIONS rtsp://h/a/b RTSP/1.0\r\nX-CSeq: 4\r\n\r\n",
     RTSP_CSEQ, 10, 0, nullptr},
    {"path_with_port_and_track",
     "SETUP rtsp://10.0.0.2:554/tavro_mirel/main/track0 RTSP/1.0\r\nCSeq: 3\r\n\r\n", RTSP_PATH,
     100, 16, "tavro_mirel/main"},
    {"path_without_source", "OPTIONS rtsp://h/main RTSP/1.0\r\n\r\n", RTSP_PATH, 100, 4, "main"},
    {"path_empty_after_host_slash", "OPTIONS rtsp://h/ RTSP/1.0\r\n\r\n", RTSP_PATH, 100, 0, ""},
    {"path_absent_without_scheme", "OPTIONS * RTSP/1.0\r\nCSeq: 1\r\n\r\n", RTSP_PATH, 100, 0,
     nullptr},
    {"path_absent_without_slash", "OPTIONS rtsp://host RTSP/1.0\r\n\r\n", RTSP_PATH, 100, 0,
     nullptr},
    {"path_trailing_slash_kept", "OPTIONS rtsp://h/a/main/ RTSP/1.0\r\n\r\n", RTSP_PATH, 100, 7,
     "a/main/"},
    {"src", "OPTIONS rtsp://h/tavro_mirel/main RTSP/1.0\r\n\r\n", RTSP_SRC, 50, 11,
     "tavro_mirel"},
    {"src_chn", "OPTIONS rtsp://h/tavro_mirel/main RTSP/1.0\r\n\r\n", RTSP_SRC_CHN, 50, 4,
     "main"},
    {"track", "SETUP rtsp://h/a/b/track0 RTSP/1.0\r\n\r\n", RTSP_TRACK_ID, 20, 6, "track0"},
    {"track_absent", "SETUP rtsp://h/a/b RTSP/1.0\r\n\r\n", RTSP_TRACK_ID, 20, 0, nullptr},
    {"value_too_long_for_destination", "OPTIONS rtsp://h/a/b RTSP/1.0\r\n\r\n", RTSP_METHOD, 7, 0,
     nullptr},
    {"reserved_items_give_nothing", "OPTIONS rtsp://h/a/b RTSP/1.0\r\n\r\n", RTSP_RTP_PORT, 20, 0,
     nullptr},
    {"url_of_49_characters_parses",
     "OPTIONS rtsp://h/abcdefghijklmnopqrstuvwxyz0123456789abcd RTSP/1.0\r\n\r\n", RTSP_METHOD, 20,
     7, "OPTIONS"},
    {"url_of_50_characters_rejected",
     "OPTIONS rtsp://h/abcdefghijklmnopqrstuvwxyz0123456789abcde RTSP/1.0\r\n\r\n", RTSP_METHOD,
     20, -1, nullptr},
    {"method_of_20_characters_rejected", "ABCDEFGHIJKLMNOPQRST rtsp://h/a RTSP/1.0\r\n\r\n",
     RTSP_METHOD, 30, -1, nullptr},
    {"version_of_10_characters_rejected", "OPTIONS rtsp://h/a RTSP/1.0xyz\r\n\r\n", RTSP_METHOD,
     20, -1, nullptr},
    {"two_tokens_rejected", "OPTIONS rtsp://h/a\r\n\r\n", RTSP_METHOD, 20, -1, nullptr},
    {"no_newline_rejected", "OPTIONS rtsp://h/a RTSP/1.0", RTSP_METHOD, 20, -1, nullptr},
    {"empty_request", "", RTSP_METHOD, 20, -1, nullptr},
};

class Extract : public ::testing::TestWithParam<ExtractCase> {};

TEST_P(Extract, Table)
{
    const ExtractCase &c = GetParam();
    char out[128];
    memset(out, '#', sizeof(out));
    out[sizeof(out) - 1] = '\0';
    int r = rtsp_get_value_from_req(c.req, c.item, out, c.size);
    EXPECT_EQ(r, c.result);
    if (c.value)
        EXPECT_STREQ(out, c.value);
    else
        EXPECT_EQ(out[0], '#') << "destination was written: " << out;
}

INSTANTIATE_TEST_SUITE_P(Rtsp, Extract, ::testing::ValuesIn(kExtract),
                         [](const ::testing::TestParamInfo<ExtractCase> &i) {
                             return std::string(i.param.name);
                         });

TEST(Extract, BadArguments)
{
    char out[20];
    EXPECT_EQ(rtsp_get_value_from_req(nullptr, RTSP_METHOD, out, sizeof(out)), -1);
    EXPECT_EQ(rtsp_get_value_from_req("A b c\r\n", RTSP_METHOD, nullptr, sizeof(out)), -1);
    EXPECT_EQ(rtsp_get_value_from_req("A b c\r\n", RTSP_METHOD, out, 0), -1);
}

TEST(RtpTypeString, KnownAndUnknown)
{
    EXPECT_STREQ(rtp_type_string(96), "H264");
    EXPECT_STREQ(rtp_type_string(97), "AAC");
    EXPECT_EQ(rtp_type_string(0), nullptr);
    EXPECT_EQ(rtp_type_string(98), nullptr);
}

struct FrameCase {
    const char *name;
    std::string bytes;
    ssize_t result;
    size_t skip;
};

constexpr ssize_t kWhole = -100;   // the whole input is one request

const FrameCase kFrame[] = {
    {"incomplete_header", "OPTIONS rtsp://h/a RTSP/1.0\r\nCSeq: 1\r\n", 0, 0},
    {"complete", "OPTIONS rtsp://h/a RTSP/1.0\r\nCSeq: 1\r\n\r\n", kWhole, 0},
    {"second_request_left_pending", "PLAY x RTSP/1.0\r\n\r\nTEARDOWN x RTSP/1.0\r\n\r\n", 19, 0},
    {"leading_keepalive_crlf_skipped", "\r\n\r\nPLAY x RTSP/1.0\r\n\r\n", 19, 4},
    {"bare_lf_lines", "PLAY x RTSP/1.0\nCSeq: 2\n\n", 25, 0},
    {"body_by_content_length", "SET_PARAMETER x RTSP/1.0\r\nContent-length: 5\r\n\r\nhello",
     kWhole, 0},
    {"body_incomplete", "SET_PARAMETER x RTSP/1.0\r\nContent-Length: 6\r\n\r\nhello", 0, 0},
    {"bad_content_length", "SET_PARAMETER x RTSP/1.0\r\nContent-Length: -1\r\n\r\n", -1, 0},
    {"body_larger_than_buffer", "SET_PARAMETER x RTSP/1.0\r\nContent-Length: 5000\r\n\r\n", -1,
     0},
};

class Framing : public ::testing::TestWithParam<FrameCase> {};

TEST_P(Framing, Table)
{
    const FrameCase &c = GetParam();
    size_t skip = 99;
    ssize_t want = c.result == kWhole ? (ssize_t)c.bytes.size() : c.result;
    EXPECT_EQ(rtsp_frame_request(c.bytes.data(), c.bytes.size(), 3071, &skip), want);
    EXPECT_EQ(skip, c.skip);
}

INSTANTIATE_TEST_SUITE_P(Rtsp, Framing, ::testing::ValuesIn(kFrame),
                         [](const ::testing::TestParamInfo<FrameCase> &i) {
                             return std::string(i.param.name);
                         });

TEST(Framing, HeaderThatOutgrowsBufferIsAnError)
{
    std::string big = "OPTIONS rtsp://h/a RTSP/1.0\r\nX: " + std::string(3100, 'a');
    EXPECT_EQ(rtsp_frame_request(big.data(), 3071, 3071, nullptr), -1);
    EXPECT_EQ(rtsp_frame_request(big.data(), 3000, 3071, nullptr), 0);
}

TEST(Framing, EveryPrefixOfARequestNeedsMore)
{
    const std::string req = "DESCRIBE rtsp://h/a/b RTSP/1.0\r\nCSeq: 2\r\nAccept: x\r\n\r\n";
    for (size_t n = 0; n < req.size(); n++)
        EXPECT_EQ(rtsp_frame_request(req.data(), n, 3071, nullptr), 0) << "prefix " << n;
    EXPECT_EQ(rtsp_frame_request(req.data(), req.size(), 3071, nullptr), (ssize_t)req.size());
}

TEST(Sdp, VideoChannelOnDescriptor7Has116Bytes)
{
    char sdp[512];
    int n = rtsp_compose_sdp(sdp, sizeof(sdp), 7, 1, 96, nullptr);
    EXPECT_EQ(n, 116);
    EXPECT_STREQ(sdp,
                 "v=0\r\no=DOVU 7 1 IN IP4 0.0.0.0\r\nt=0 0\r\na=control:*\r\n"
                 "m=video 0 RTP/AVP 96\r\na=control:track0\r\na=rtpmap:96 H264/90000\r\n");
}

TEST(Sdp, NoVideoOnDescriptor12Has53Bytes)
{
    char sdp[512];
    EXPECT_EQ(rtsp_compose_sdp(sdp, sizeof(sdp), 12, 0, 96, nullptr), 53);
    EXPECT_EQ(strstr(sdp, "m="), nullptr);
}

TEST(Sdp, AudioMediumFollowsTheVideoOneUnchanged)
{
    char video[512], both[512], small[200];
    const audio_info aac = {AUDIO_TYPE_AAC, 8000, 1};
    const audio_info pcm = {AUDIO_TYPE_PCM, 8000, 1};
    int v = rtsp_compose_sdp(video, sizeof(video), 7, 1, 96, nullptr);
    int n = rtsp_compose_sdp(both, sizeof(both), 7, 1, 96, &aac);
    ASSERT_GT(n, v);
    EXPECT_EQ(std::string(both, (size_t)v), std::string(video)) << "video part changed";
    EXPECT_STREQ(both + v,
                 "m=audio 0 RTP/AVP 97\r\na=control:track1\r\n"
                 "a=rtpmap:97 mpeg4-generic/8000/1\r\n"
                 "a=fmtp:97 streamtype=5;profile-level-id=15;mode=AAC-hbr;config=1588;"
                 "sizelength=13;indexlength=3;indexdeltalength=3\r\n");
    EXPECT_EQ(rtsp_compose_sdp(both, sizeof(both), 7, 1, 96, &pcm), v) << "only AAC is offered";
    EXPECT_EQ(rtsp_compose_sdp(small, sizeof(small), 7, 1, 96, &aac), -1);
}

TEST(Sdp, TooSmallBufferFails)
{
    char sdp[40];
    EXPECT_EQ(rtsp_compose_sdp(sdp, sizeof(sdp), 7, 1, 96, nullptr), -1);
}

}  // namespace
