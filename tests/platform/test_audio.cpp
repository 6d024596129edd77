// Microphone pacing and content, AAC encoding with ADTS headers.
#include "ozi_aenc.h"
#include "ozi_ai.h"
#include "ozi_host.h"
#include "ozi_sdk.h"
#include "support/manual_clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

using tvrtest::ManualClock;

constexpr int kHangMs = 10000; /* bound for a hung thread, not a timing guess */

ozi_audio_in_param mic_param(int rate)
{
    ozi_audio_in_param p;
    std::memset(&p, 0, sizeof p);
    p.pcm_data_attr.sample_rate = (ozi_audio_sample_rate)rate;
    p.pcm_data_attr.sample_bits = 16;
    p.pcm_data_attr.channel_num = AUDIO_CHANNEL_MONO;
    p.dev_id = DEV_ADC;
    return p;
}

TEST(Ai, FramesOf512BytesEvery32Ms)
{
    ozi_host_clear_faults();
    ManualClock clock;
    ozi_audio_in_param p = mic_param(8000);
    int h = -1;
    ASSERT_EQ(0, ozi_ai_open(&p, &h));
    EXPECT_EQ(0, ozi_ai_enable_nr(h, 1));
    EXPECT_EQ(0, ozi_ai_enable_agc(h, 1));
    EXPECT_EQ(0, ozi_ai_enable_aec(h, 0));
    EXPECT_EQ(0, ozi_ai_set_source(h, AI_SOURCE_MIC));
    EXPECT_EQ(0, ozi_ai_set_gain(h, 8));
    frame f;
    EXPECT_NE(0, ozi_ai_get_frame(h, &f, 0)) << "capture not started";
    ASSERT_EQ(0, ozi_ai_start_capture(h));
    const uint64_t start = ManualClock::now_ms();
    EXPECT_NE(0, ozi_ai_get_frame(h, &f, 0)) << "first frame is ready after 32 ms";
    ManualClock::advance_ms(31);
    EXPECT_NE(0, ozi_ai_get_frame(h, &f, 0)) << "it fails at once instead of waiting";
    std::vector<frame> got;
    for (int step = 0; step < 157; step++) { /* 31 + 1 + 3 * 156 = 500 ms */
        ManualClock::advance_ms(step == 0 ? 1 : 3);
        if (ozi_ai_get_frame(h, &f, 0) == 0) {
            EXPECT_LE(f.ts + 32, ManualClock::now_ms()) << "ready once its last sample is in";
            got.push_back(f);
            EXPECT_EQ(0, ozi_ai_release_frame(h, &f));
        }
    }
    ASSERT_EQ(15u, got.size()); /* 500 / 32 = 15.6 */
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(512u, got[i].len);
        EXPECT_EQ(start + 32 * i, got[i].ts);
        if (i > 0) {
            EXPECT_EQ(got[i - 1].seq_no + 1, got[i].seq_no);
        }
    }
    /* A wait for the next frame (ready at 512 ms) sleeps on the clock. */
    int rc = -2;
    std::thread waiter([&] {
        rc = ozi_ai_get_frame(h, &f, 100);
    });
    ASSERT_EQ(0, ozi_host_clock_wait_sleepers(1, kHangMs));
    ManualClock::advance_ms(12);
    waiter.join();
    ASSERT_EQ(0, rc) << "waits up to 100 ms for the next frame";
    EXPECT_EQ(start + 480, f.ts);
    EXPECT_EQ(0, ozi_ai_release_frame(h, &f));
    EXPECT_NE(0, ozi_ai_get_frame(h, &f, 10)) << "the next is 32 ms away: no wait for it";
    EXPECT_EQ(0, ozi_ai_stop_capture(h));
    EXPECT_NE(0, ozi_ai_get_frame(h, &f, 0)) << "capture stopped";
    EXPECT_EQ(0, ozi_ai_close(h));
    EXPECT_NE(0, ozi_ai_set_gain(h, 8)) << "closed";
}

TEST(Ai, FrameSizeFollowsTheRate)
{
    EXPECT_EQ(512, ozi__ai_frame_bytes(8000));
    EXPECT_EQ(512, ozi__ai_frame_bytes(12000));
    EXPECT_EQ(1024, ozi__ai_frame_bytes(16000));
    EXPECT_EQ(1024, ozi__ai_frame_bytes(24000));
    EXPECT_EQ(2048, ozi__ai_frame_bytes(32000));
    EXPECT_EQ(2048, ozi__ai_frame_bytes(48000));
}

TEST(Ai, GainScalesTheSignal)
{
    std::vector<int16_t> unity(256), twice(256), off(256);
    ozi__ai_synth(1000, 8000, OZI__AI_UNITY_GAIN, unity.data(), unity.size());
    ozi__ai_synth(1000, 8000, 2 * OZI__AI_UNITY_GAIN, twice.data(), twice.size());
    ozi__ai_synth(1000, 8000, 0, off.data(), off.size());
    int peak = 0;
    for (size_t i = 0; i < unity.size(); i++) {
        EXPECT_NEAR(2 * unity[i], twice[i], 1) << i;
        EXPECT_EQ(0, off[i]);
        peak = std::max(peak, std::abs((int)unity[i]));
    }
    EXPECT_GT(peak, 1000) << "the microphone hears something";
    /* The signal depends on the sample number only: frames join without a seam. */
    std::vector<int16_t> whole(512), tail(256);
    ozi__ai_synth(744, 8000, 8, whole.data(), whole.size());
    ozi__ai_synth(1000, 8000, 8, tail.data(), tail.size());
    EXPECT_TRUE(std::equal(tail.begin(), tail.end(), whole.begin() + 256));

    ozi_audio_in_param p = mic_param(8000);
    int h = -1;
    ASSERT_EQ(0, ozi_ai_open(&p, &h));
    EXPECT_NE(0, ozi_ai_set_gain(h, -1));
    EXPECT_NE(0, ozi_ai_set_gain(h, OZI__AI_MAX_GAIN + 1));
    EXPECT_EQ(0, ozi_ai_close(h));
}

TEST(Ai, BadParametersAreRefused)
{
    ozi_host_clear_faults();
    int h = -1;
    ozi_audio_in_param p = mic_param(8001);
    EXPECT_NE(0, ozi_ai_open(&p, &h)) << "no such rate";
    p = mic_param(8000);
    p.pcm_data_attr.sample_bits = 8;
    EXPECT_NE(0, ozi_ai_open(&p, &h)) << "8-bit";
    p = mic_param(8000);
    ASSERT_EQ(0, ozi_ai_open(&p, &h));
    int h2 = -1;
    EXPECT_NE(0, ozi_ai_open(&p, &h2)) << "one microphone";
    EXPECT_EQ(0, ozi_ai_close(h));
}

/* ---- AAC -------------------------------------------------------------- */

TEST(Adts, HeaderFields)
{
    uint8_t hd[OZI__ADTS_HEADER_BYTES];
    ASSERT_EQ(0, ozi__adts_header(hd, 2, 11, 1, 100));
    const uint8_t want[] = {0xff, 0xf1, 0x6c, 0x40, 0x0d, 0x7f, 0xfc};
    EXPECT_EQ(0, std::memcmp(want, hd, sizeof want));
    EXPECT_EQ(11, ozi__adts_rate_index(8000));
    EXPECT_EQ(3, ozi__adts_rate_index(48000));
    EXPECT_EQ(-1, ozi__adts_rate_index(8001));
    EXPECT_NE(0, ozi__adts_header(hd, 2, 11, 1, 8192 - 7)) << "frame_length has 13 bits";
    EXPECT_EQ(0, ozi__adts_header(hd, 2, 11, 1, 8191 - 7));
}

int adts_length(const uint8_t *p)
{
    return ((p[3] & 3) << 11) | (p[4] << 3) | (p[5] >> 5);
}

class Aenc : public testing::Test {
protected:
    void SetUp() override
    {
        ozi_host_clear_faults();
        aenc_param p;
        std::memset(&p, 0, sizeof p);
        p.aenc_data_attr.sample_rate = AUDIO_SAMPLE_RATE_8000;
        p.aenc_data_attr.sample_bits = 16;
        p.aenc_data_attr.channel_num = AUDIO_CHANNEL_MONO;
        p.type = OZI_AUDIO_TYPE_AAC;
        ASSERT_EQ(0, ozi_aenc_open(&p, &handle));
        aenc_attr a{AENC_AAC_SAVE_FRAME_HEAD};
        ASSERT_EQ(0, ozi_aenc_set_attr(handle, &a));
    }
    void TearDown() override { ozi_aenc_close(handle); }

    /* Sends PCM frame k (256 samples, ts 5000 + 32 k). */
    int send(uint32_t k)
    {
        int16_t pcm[256];
        ozi__ai_synth((uint64_t)k * 256, 8000, OZI__AI_UNITY_GAIN, pcm, 256);
        frame f;
        std::memset(&f, 0, sizeof f);
        f.data = reinterpret_cast<unsigned char *>(pcm);
        f.len = sizeof pcm;
        f.ts = 5000 + 32 * (uint64_t)k;
        f.seq_no = k;
        return ozi_aenc_send_frame(handle, &f, 0);
    }
    int handle = -1;
};

/* 100 PCM frames: one AAC frame per four, each with its ADTS header and
 * the ts of its first sample; the stream decodes to 8000 Hz mono. */
TEST_F(Aenc, FourPcmFramesMakeOneAdtsFrameThatDecodes)
{
    const int n = 100;
    std::vector<std::vector<uint8_t>> out;
    std::vector<uint64_t> ts;
    std::vector<int> after; /* PCM frames sent when each AAC frame appeared */
    for (int k = 0; k < n; k++) {
        ASSERT_EQ(0, send((uint32_t)k));
        audio_stream s;
        while (ozi_aenc_get_stream(handle, &s, 0) == 0) {
            out.emplace_back(s.data, s.data + s.len);
            ts.push_back(s.ts);
            after.push_back(k + 1);
            EXPECT_EQ(0, ozi_aenc_release_stream(handle, &s));
        }
    }
    /* The encoder runs two blocks behind: AAC frame j (block j, PCM frames
     * 4j..4j+3) comes out when block j + 2 is complete. */
    ASSERT_EQ((size_t)(n / 4 - 2), out.size());
    for (size_t j = 0; j < out.size(); j++) {
        EXPECT_EQ(4 * ((int)j + 3), after[j]) << j;
        EXPECT_EQ(5000 + 32 * 4 * j, ts[j]) << "ts of the first sample, frame " << j;
        ASSERT_GT(out[j].size(), 7u);
        EXPECT_EQ(0xff, out[j][0]);
        EXPECT_EQ(0xf0, out[j][1] & 0xf6) << "ADTS sync, layer 0";
        EXPECT_EQ((int)out[j].size(), adts_length(out[j].data()));
        EXPECT_EQ(11, (out[j][2] >> 2) & 15) << "8000 Hz";
        EXPECT_EQ(1, ((out[j][2] & 1) << 2) | (out[j][3] >> 6)) << "mono";
    }
    const AVCodec *codec = avcodec_find_decoder(AV_CODEC_ID_AAC);
    AVCodecContext *dec = avcodec_alloc_context3(codec);
    ASSERT_EQ(0, avcodec_open2(dec, codec, nullptr));
    AVPacket *pkt = av_packet_alloc();
    AVFrame *fr = av_frame_alloc();
    int samples = 0, rate = 0, channels = 0;
    double energy = 0;
    for (auto &au : out) {
        pkt->data = au.data();
        pkt->size = (int)au.size();
        ASSERT_EQ(0, avcodec_send_packet(dec, pkt));
        while (avcodec_receive_frame(dec, fr) == 0) {
            samples += fr->nb_samples;
            rate = fr->sample_rate;
            channels = fr->ch_layout.nb_channels;
            const float *x = reinterpret_cast<const float *>(fr->data[0]);
            for (int i = 0; i < fr->nb_samples; i++)
                energy += (double)x[i] * x[i];
            av_frame_unref(fr);
        }
    }
    av_frame_free(&fr);
    av_packet_free(&pkt);
    avcodec_free_context(&dec);
    EXPECT_EQ(8000, rate);
    EXPECT_EQ(1, channels);
    EXPECT_EQ((int)out.size() * 1024, samples);
    EXPECT_GT(energy / samples, 0.01) << "the tone survives encoding";
}

TEST_F(Aenc, ResultsStayValidOutOfOrderAndHeaderCanBeLeftOut)
{
    for (uint32_t k = 0; k < 24; k++)
        ASSERT_EQ(0, send(k));
    audio_stream s[4];
    std::vector<uint8_t> copy[4];
    for (int i = 0; i < 4; i++) {
        ASSERT_EQ(0, ozi_aenc_get_stream(handle, &s[i], 0)) << i;
        copy[i].assign(s[i].data, s[i].data + s[i].len);
    }
    audio_stream none;
    EXPECT_NE(0, ozi_aenc_get_stream(handle, &none, 0)) << "all fetched";
    for (uint32_t k = 24; k < 32; k++)
        ASSERT_EQ(0, send(k));
    for (int i : {2, 0, 3, 1}) {
        EXPECT_TRUE(copy[i] == std::vector<uint8_t>(s[i].data, s[i].data + s[i].len)) << i;
        EXPECT_EQ(0, ozi_aenc_release_stream(handle, &s[i]));
    }
    EXPECT_NE(0, ozi_aenc_release_stream(handle, &s[1])) << "released twice";
    audio_stream r;
    while (ozi_aenc_get_stream(handle, &r, 0) == 0)
        ozi_aenc_release_stream(handle, &r);

    aenc_attr raw{AENC_AAC_NO_FRAME_HEAD};
    ASSERT_EQ(0, ozi_aenc_set_attr(handle, &raw));
    for (uint32_t k = 32; k < 40; k++)
        ASSERT_EQ(0, send(k));
    int raw_frames = 0;
    while (ozi_aenc_get_stream(handle, &r, 0) == 0) {
        EXPECT_FALSE(r.len >= 2 && r.data[0] == 0xff && (r.data[1] & 0xf0) == 0xf0)
            << "no ADTS header";
        raw_frames++;
        ozi_aenc_release_stream(handle, &r);
    }
    EXPECT_EQ(2, raw_frames);
}

TEST_F(Aenc, BadInputIsRefused)
{
    frame f;
    std::memset(&f, 0, sizeof f);
    unsigned char odd[3] = {0, 0, 0};
    f.data = odd;
    f.len = 3;
    EXPECT_NE(0, ozi_aenc_send_frame(handle, &f, 0)) << "half a sample";
    f.data = nullptr;
    f.len = 512;
    EXPECT_NE(0, ozi_aenc_send_frame(handle, &f, 0)) << "no data";
    aenc_attr bad{7};
    EXPECT_NE(0, ozi_aenc_set_attr(handle, &bad));
    aenc_param p;
    std::memset(&p, 0, sizeof p);
    p.aenc_data_attr = {AUDIO_SAMPLE_RATE_8000, 16, AUDIO_CHANNEL_MONO};
    p.type = OZI_AUDIO_TYPE_MP3;
    int h = -1;
    EXPECT_NE(0, ozi_aenc_open(&p, &h)) << "only AAC";
}

/* Capture and encode in one worker thread, as the daemon's audio worker. */
TEST(AudioPath, CapturedFramesEncodeWithTheirTimeStamps)
{
    ozi_host_clear_faults();
    ManualClock clock;
    ozi_audio_in_param ip = mic_param(8000);
    int ai = -1, enc = -1;
    ASSERT_EQ(0, ozi_ai_open(&ip, &ai));
    aenc_param ep;
    std::memset(&ep, 0, sizeof ep);
    ep.aenc_data_attr = {AUDIO_SAMPLE_RATE_8000, 16, AUDIO_CHANNEL_MONO};
    ep.type = OZI_AUDIO_TYPE_AAC;
    ASSERT_EQ(0, ozi_aenc_open(&ep, &enc));
    ASSERT_EQ(0, ozi_ai_start_capture(ai));
    std::vector<uint64_t> pcm_ts, aac_ts;
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        while (!stop) {
            frame f;
            if (ozi_ai_get_frame(ai, &f, 0) != 0) {
                ozi_sleep_ms(10);
                continue;
            }
            pcm_ts.push_back(f.ts);
            ozi_aenc_send_frame(enc, &f, 0);
            ozi_ai_release_frame(ai, &f);
            audio_stream s;
            if (ozi_aenc_get_stream(enc, &s, 0) == 0) {
                aac_ts.push_back(s.ts);
                ozi_aenc_release_stream(enc, &s);
            }
        }
    });
    EXPECT_EQ(0, ozi_host_clock_run(640 * 1000, 10 * 1000, 1, kHangMs));
    stop = true;
    ManualClock::advance_ms(10);
    worker.join();
    ASSERT_EQ(20u, pcm_ts.size()); /* 640 / 32 */
    ASSERT_GE(aac_ts.size(), 2u);
    for (size_t j = 0; j < aac_ts.size(); j++)
        EXPECT_EQ(pcm_ts[4 * j], aac_ts[j]) << j;
    ozi_ai_stop_capture(ai);
    ozi_ai_close(ai);
    ozi_aenc_close(enc);
}

} // namespace
