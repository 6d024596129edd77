// H.264 encoder: decodability, GOP structure, parameter sets, IDR requests,
// outstanding buffers, rate control and independent handles.
#include "ozi_host.h"
#include "ozi_scene.h"
#include "ozi_sdk.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace {

venc_param make_param(int w, int h, int fps, int gop, int kbps)
{
    venc_param p;
    std::memset(&p, 0, sizeof p);
    p.width = (uint16_t)w;
    p.height = (uint16_t)h;
    p.fps = (uint16_t)fps;
    p.goplen = (uint16_t)gop;
    p.target_kbps = (uint16_t)kbps;
    p.max_kbps = 2048;
    p.profile = PROFILE_MAIN;
    p.br_mode = BR_MODE_CBR;
    p.initqp = 38;
    p.minqp = 25;
    p.maxqp = 50;
    p.chroma_mode = CHROMA_4_2_0;
    p.enc_out_type = H264_ENC_TYPE;
    p.enc_level = 30;
    return p;
}

/* NAL unit types of an Annex B access unit, in order. */
std::vector<int> nal_types(const uint8_t *p, size_t n)
{
    std::vector<int> t;
    for (size_t i = 0; i + 3 < n; i++) {
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            t.push_back(p[i + 3] & 0x1f);
            i += 2;
        }
    }
    return t;
}

/* Encodes synthetic pictures of one size; keeps the encoded bytes. */
class Encoded {
public:
    Encoded(int w, int h, int fps) : pic_((size_t)w * h * 3 / 2)
    {
        scene_ = ozi__scene_create(w, h, fps, nullptr);
    }
    ~Encoded() { ozi__scene_destroy(scene_); }

    /* Encodes picture `i`, copies the result out and releases it. */
    bool encode(int handle, uint32_t i, std::vector<uint8_t> *out, frame_type *type)
    {
        ozi__scene_render(scene_, i, 1700000000 + i / 25, pic_.data());
        video_stream s;
        if (ozi_venc_encode_frame(handle, pic_.data(), (unsigned)pic_.size(), nullptr, &s) != 0)
            return false;
        out->assign(s.data, s.data + s.len);
        *type = s.frame_type;
        return ozi_venc_release_stream(handle, &s) == 0;
    }
    const std::vector<uint8_t> &picture() const { return pic_; }
    void render(uint32_t i) { ozi__scene_render(scene_, i, 1700000000, pic_.data()); }

private:
    std::vector<uint8_t> pic_;
    ozi__scene *scene_;
};

/* Decodes access units with libavcodec; counts pictures and their size. */
struct Decoder {
    AVCodecContext *ctx = nullptr;
    AVPacket *pkt = av_packet_alloc();
    AVFrame *frame = av_frame_alloc();
    int pictures = 0, width = 0, height = 0;

    Decoder()
    {
        const AVCodec *c = avcodec_find_decoder(AV_CODEC_ID_H264);
        ctx = avcodec_alloc_context3(c);
        avcodec_open2(ctx, c, nullptr);
    }
    ~Decoder()
    {
        av_frame_free(&frame);
        av_packet_free(&pkt);
        avcodec_free_context(&ctx);
    }
    bool feed(const std::vector<uint8_t> *au)
    {
        int rc;
        if (au) {
            pkt->data = const_cast<uint8_t *>(au->data());
            pkt->size = (int)au->size();
            rc = avcodec_send_packet(ctx, pkt);
        } else {
            rc = avcodec_send_packet(ctx, nullptr);
        }
        if (rc < 0)
            return false;
        while (avcodec_receive_frame(ctx, frame) == 0) {
            pictures++;
            width = frame->width;
            height = frame->height;
            av_frame_unref(frame);
        }
        return true;
    }
};

TEST(Venc, StreamDecodesWithIdrEveryGopAndParameterSets)
{
    ozi_host_clear_faults();
    const int w = 320, h = 180, gop = 10, n = 31;
    venc_param p = make_param(w, h, 25, gop, 300);
    int handle = -1;
    ASSERT_EQ(0, ozi_venc_open(&p, &handle));
    ASSERT_NE(-1, handle);
    Encoded enc(w, h, 25);
    Decoder dec;
    for (int i = 0; i < n; i++) {
        std::vector<uint8_t> au;
        frame_type type;
        ASSERT_TRUE(enc.encode(handle, (uint32_t)i, &au, &type));
        ASSERT_GE(au.size(), 5u);
        EXPECT_TRUE(au[0] == 0 && au[1] == 0 && (au[2] == 1 || (au[2] == 0 && au[3] == 1)))
            << "Annex B start code";
        std::vector<int> t = nal_types(au.data(), au.size());
        bool idr = std::find(t.begin(), t.end(), 5) != t.end();
        EXPECT_EQ(i % gop == 0, idr) << "picture " << i;
        EXPECT_EQ(idr ? FRAME_TYPE_I : FRAME_TYPE_P, type) << "picture " << i;
        if (idr) {
            auto sps = std::find(t.begin(), t.end(), 7);
            auto pps = std::find(t.begin(), t.end(), 8);
            auto slice = std::find(t.begin(), t.end(), 5);
            EXPECT_TRUE(sps < pps && pps < slice) << "SPS, PPS before the IDR, picture " << i;
        }
        ASSERT_TRUE(dec.feed(&au));
        EXPECT_EQ(i + 1, dec.pictures) << "one picture out per picture in";
    }
    dec.feed(nullptr);
    EXPECT_EQ(n, dec.pictures);
    EXPECT_EQ(w, dec.width);
    EXPECT_EQ(h, dec.height);
    EXPECT_EQ(0, ozi_venc_close(handle));
    EXPECT_NE(0, ozi_venc_close(handle));
}

TEST(Venc, RequestedIdrComesNextAndRestartsTheGop)
{
    ozi_host_clear_faults();
    const int gop = 10;
    venc_param p = make_param(160, 96, 25, gop, 200);
    int handle = -1;
    ASSERT_EQ(0, ozi_venc_open(&p, &handle));
    Encoded enc(160, 96, 25);
    std::vector<int> idr_at;
    for (int i = 0; i < 26; i++) {
        if (i == 4) {
            ASSERT_EQ(0, ozi_venc_request_idr(handle));
        }
        std::vector<uint8_t> au;
        frame_type type;
        ASSERT_TRUE(enc.encode(handle, (uint32_t)i, &au, &type));
        if (type == FRAME_TYPE_I)
            idr_at.push_back(i);
    }
    EXPECT_EQ((std::vector<int>{0, 4, 14, 24}), idr_at);
    ozi_venc_close(handle);
}

TEST(Venc, SeveralResultsStayValidUntilReleasedInAnyOrder)
{
    ozi_host_clear_faults();
    venc_param p = make_param(160, 96, 25, 50, 200);
    int handle = -1;
    ASSERT_EQ(0, ozi_venc_open(&p, &handle));
    Encoded enc(160, 96, 25);
    video_stream s[5];
    std::vector<uint8_t> copy[5];
    for (int i = 0; i < 5; i++) {
        enc.render((uint32_t)i * 3);
        ASSERT_EQ(0, ozi_venc_encode_frame(handle, enc.picture().data(),
                                           (unsigned)enc.picture().size(), nullptr, &s[i]));
        copy[i].assign(s[i].data, s[i].data + s[i].len);
    }
    for (int i = 0; i < 5; i++)
        EXPECT_TRUE(copy[i] == std::vector<uint8_t>(s[i].data, s[i].data + s[i].len))
            << "result " << i << " unchanged by later encodes";
    for (int i : {3, 0, 4, 1, 2}) {
        s[i].ts = 12345; /* callers replace ts and seq_no; the buffer is what counts */
        s[i].seq_no = 99;
        EXPECT_EQ(0, ozi_venc_release_stream(handle, &s[i])) << i;
    }
    EXPECT_NE(0, ozi_venc_release_stream(handle, &s[2])) << "released twice";
    /* Closing with results still out frees them too. */
    ASSERT_EQ(0, ozi_venc_encode_frame(handle, enc.picture().data(),
                                       (unsigned)enc.picture().size(), nullptr, &s[0]));
    EXPECT_EQ(0, ozi_venc_close(handle));
    EXPECT_NE(0, ozi_venc_release_stream(handle, &s[0])) << "handle is closed";
}

TEST(Venc, BadParametersAreRefused)
{
    ozi_host_clear_faults();
    struct Row {
        const char *what;
        void (*mutate)(venc_param &);
    } rows[] = {
        {"odd width", [](venc_param &p) { p.width = 321; }},
        {"no frame rate", [](venc_param &p) { p.fps = 0; }},
        {"no bit rate", [](venc_param &p) { p.target_kbps = 0; }},
        {"MJPEG", [](venc_param &p) { p.enc_out_type = MJPEG_ENC_TYPE; }},
        {"minqp above maxqp", [](venc_param &p) { p.minqp = 40; p.maxqp = 30; }},
    };
    for (const Row &r : rows) {
        venc_param p = make_param(320, 180, 25, 50, 300);
        r.mutate(p);
        int handle = -1;
        EXPECT_NE(0, ozi_venc_open(&p, &handle)) << r.what;
    }
    venc_param p = make_param(320, 180, 25, 50, 300);
    int handle = -1;
    ASSERT_EQ(0, ozi_venc_open(&p, &handle));
    std::vector<uint8_t> small(100);
    video_stream s;
    EXPECT_NE(0, ozi_venc_encode_frame(handle, small.data(), 100, nullptr, &s))
        << "picture shorter than the size";
    EXPECT_NE(0, ozi_venc_encode_frame(handle + 1, small.data(), 100, nullptr, &s))
        << "no such handle";
    ozi_venc_close(handle);
}

/* Constant bit rate: three seconds of the moving scene with a little
 * fresh noise in every picture: more detail than the target carries at
 * minqp, less than maxqp would exceed, so rate control sets the size. */
TEST(Venc, CbrStaysNearTheTarget)
{
    ozi_host_clear_faults();
    const int w = 320, h = 180, fps = 25, kbps = 300, seconds = 3;
    venc_param p = make_param(w, h, fps, 2 * fps, kbps);
    int handle = -1;
    ASSERT_EQ(0, ozi_venc_open(&p, &handle));
    ozi__scene *scene = ozi__scene_create(w, h, fps, nullptr);
    std::vector<uint8_t> pic((size_t)w * h * 3 / 2);
    uint32_t rng = 12345;
    size_t bytes = 0;
    for (int i = 0; i < fps * seconds; i++) {
        ozi__scene_render(scene, (uint32_t)i, 1700000000, pic.data());
        for (size_t k = 0; k < (size_t)w * h; k++) {
            rng = rng * 1664525u + 1013904223u;
            pic[k] = (uint8_t)(pic[k] + (int)(rng >> 27) - 16);
        }
        video_stream s;
        ASSERT_EQ(0, ozi_venc_encode_frame(handle, pic.data(), (unsigned)pic.size(), nullptr, &s));
        bytes += s.len;
        ozi_venc_release_stream(handle, &s);
    }
    ozi__scene_destroy(scene);
    double kbit_per_s = bytes * 8.0 / 1000.0 / seconds;
    EXPECT_GT(kbit_per_s, kbps * 0.7);
    EXPECT_LT(kbit_per_s, kbps * 1.2);
    ozi_venc_close(handle);
}

/*
 * Constant bit rate as a viewer measures it: ten seconds of a channel, at
 * its size, rate and target, decode, and every run of two seconds of
 * pictures (sliding by one picture, from the first) carries the target
 * within 5 %.  Both scenes: the synthetic one, and a video file (made by
 * ffmpeg, noisy, looped and scaled as OZI_SCENE_FILE would be).
 */
struct CbrCase {
    const char *name;
    int w, h, fps, kbps;
    bool file;
};

void PrintTo(const CbrCase &c, std::ostream *os)
{
    *os << c.name;
}

class CbrWindows : public testing::TestWithParam<CbrCase> {
protected:
    /* A 3 s noisy clip, shared by the file rows. */
    static std::string clip()
    {
        static std::string path;
        if (path.empty()) {
            std::string p = "/tmp/ozi_cbr_clip_" + std::to_string(getpid()) + ".mp4";
            std::string cmd = "ffmpeg -nostdin -v error -y -f lavfi -i "
                              "testsrc2=size=640x360:rate=25 -t 3 -vf noise=alls=10:allf=t "
                              "-c:v libx264 -preset ultrafast -g 25 " + p;
            if (std::system(cmd.c_str()) == 0)
                path = p;
        }
        return path;
    }
    static void TearDownTestSuite()
    {
        if (!clip().empty())
            std::remove(clip().c_str());
    }
};

TEST_P(CbrWindows, EveryTwoSecondsHoldTheTarget)
{
    ozi_host_clear_faults();
    const CbrCase &c = GetParam();
    std::string file = c.file ? clip() : "";
    ASSERT_TRUE(!c.file || !file.empty()) << "ffmpeg could not make the clip";
    venc_param p = make_param(c.w, c.h, c.fps, 2 * c.fps, c.kbps);
    int handle = -1;
    ASSERT_EQ(0, ozi_venc_open(&p, &handle));
    ozi__scene *scene = ozi__scene_create(c.w, c.h, c.fps, c.file ? file.c_str() : nullptr);
    ASSERT_NE(nullptr, scene);
    ASSERT_EQ(c.file ? 1 : 0, ozi__scene_is_file(scene));
    std::vector<uint8_t> pic((size_t)c.w * c.h * 3 / 2);
    Decoder dec;
    std::vector<size_t> sizes;
    const int frames = 10 * c.fps;
    for (int i = 0; i < frames; i++) {
        ozi__scene_render(scene, (uint32_t)i, 1700000000 + i / c.fps, pic.data());
        video_stream s;
        ASSERT_EQ(0, ozi_venc_encode_frame(handle, pic.data(), (unsigned)pic.size(), nullptr, &s));
        std::vector<uint8_t> au(s.data, s.data + s.len);
        ozi_venc_release_stream(handle, &s);
        sizes.push_back(au.size());
        ASSERT_TRUE(dec.feed(&au)) << "picture " << i;
    }
    ozi__scene_destroy(scene);
    ozi_venc_close(handle);
    dec.feed(nullptr);
    EXPECT_EQ(frames, dec.pictures);
    EXPECT_EQ(c.w, dec.width);
    const size_t win = 2 * (size_t)c.fps;
    size_t bytes = 0;
    double lo = 1e9, hi = 0;
    for (size_t i = 0; i < sizes.size(); i++) {
        bytes += sizes[i];
        if (i >= win)
            bytes -= sizes[i - win];
        if (i + 1 < win)
            continue;
        double kbps = bytes * 8.0 / 1000.0 / 2.0;
        lo = std::min(lo, kbps);
        hi = std::max(hi, kbps);
        EXPECT_NEAR(c.kbps, kbps, c.kbps * 0.05) << "2 s ending at picture " << i;
    }
    std::printf("%s: 2 s windows %.1f .. %.1f kbit/s, target %d\n", c.name, lo, hi, c.kbps);
}

INSTANTIATE_TEST_SUITE_P(Channels, CbrWindows,
                         testing::Values(CbrCase{"main_synthetic", 1920, 1080, 25, 2048, false},
                                         CbrCase{"main_file", 1920, 1080, 25, 2048, true},
                                         CbrCase{"sub_synthetic", 640, 360, 20, 512, false},
                                         CbrCase{"sub_file", 640, 360, 20, 512, true}),
                         [](const testing::TestParamInfo<CbrCase> &i) {
                             return std::string(i.param.name);
                         });

/* Two channels encode at once on their own handles, as the daemon's
 * workers do; results are released from another thread. */
TEST(Venc, HandlesAreIndependentAcrossThreads)
{
    ozi_host_clear_faults();
    int handles[2] = {-1, -1};
    venc_param p0 = make_param(320, 180, 25, 10, 300);
    venc_param p1 = make_param(160, 96, 20, 8, 100);
    ASSERT_EQ(0, ozi_venc_open(&p0, &handles[0]));
    ASSERT_EQ(0, ozi_venc_open(&p1, &handles[1]));
    EXPECT_NE(handles[0], handles[1]);
    int idr[2] = {0, 0};
    auto worker = [&](int k, int w, int h) {
        Encoded enc(w, h, 25);
        for (int i = 0; i < 24; i++) {
            std::vector<uint8_t> au;
            frame_type type;
            if (!enc.encode(handles[k], (uint32_t)i, &au, &type))
                return;
            idr[k] += type == FRAME_TYPE_I;
        }
    };
    std::thread a(worker, 0, 320, 180), b(worker, 1, 160, 96);
    a.join();
    b.join();
    EXPECT_EQ(3, idr[0]); /* 0, 10, 20 */
    EXPECT_EQ(3, idr[1]); /* 0, 8, 16 */
    EXPECT_EQ(0, ozi_venc_close(handles[0]));
    Encoded enc(160, 96, 20);
    std::vector<uint8_t> au;
    frame_type type;
    EXPECT_TRUE(enc.encode(handles[1], 0, &au, &type)) << "the other handle still works";
    EXPECT_EQ(0, ozi_venc_close(handles[1]));
}

} // namespace
