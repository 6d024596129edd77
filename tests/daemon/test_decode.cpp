/*
 * test_decode.cpp - real decoders agree with what the channels deliver.
 *
 * Both video channels and the audio channel run together for 4 s of the
 * platform's manual clock, which the test moves on in 10 ms steps once the
 * three workers are idle: however slow the machine, every frame is seen.
 * Video is pulled through tvr_mirel_get_vstrm_data as the streaming
 * library does (a frame counts when its ts is newer), audio is taken from
 * the queue as the recorder does (marking what it took).  The frames, written
 * one after another, must decode with ffprobe/ffmpeg without an error:
 * H.264 main profile at the channel's size and rate with an IDR every two
 * seconds, and AAC at 8000 Hz mono lasting as long as the capture ran.
 */
#include "daemon_test_util.h"
#include "support/command.h"
#include "support/scratch_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

using namespace tvrtest;

namespace {

constexpr int kRunMs = 4000;

struct VideoPull {
    std::vector<unsigned long long> ts;
    std::vector<unsigned char> bytes;
    int idr_count = 0;
};

bool has_idr(const unsigned char *p, unsigned int n)
{
    for (unsigned int i = 0; i + 3 < n; i++)
        if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            if ((p[i + 3] & 0x1f) == 5)
                return true;
            i += 2;
        }
    return false;
}

/* Takes the channel's newest frame if it is new, from the first IDR on. */
void pull_video(void *h, std::vector<unsigned char> *buf, VideoPull *out)
{
    unsigned int size = 0;
    unsigned long long ts = 0;
    tvr_mirel_get_vstrm_data(h, buf->data(), &size, &ts);
    /* A decoder joins at an IDR: what came before it is skipped. */
    if (size > 0 && (out->ts.empty() || ts > out->ts.back()) &&
        (out->idr_count > 0 || has_idr(buf->data(), size))) {
        out->ts.push_back(ts);
        out->bytes.insert(out->bytes.end(), buf->begin(), buf->begin() + size);
        out->idr_count += has_idr(buf->data(), size);
    }
}

/* Takes every unmarked audio entry, oldest first, and marks it. */
int take_audio(std::vector<unsigned char> *out)
{
    audio_chn_param *a = &tvr_avsrc->main_audio_param;
    int n = 0;
    pthread_rwlock_rdlock(&a->rwlock_aenc_data_list);
    struct list_head *pos;
    list_for_each(pos, &a->list_head_aenc_data_list) {
        aenc_stream_entry *e = list_entry(pos, aenc_stream_entry, list);
        if (e->flag)
            continue;
        out->insert(out->end(), e->stream.data, e->stream.data + e->stream.len);
        e->flag = 1;
        n++;
    }
    pthread_rwlock_unlock(&a->rwlock_aenc_data_list);
    return n;
}

void write_file(const std::string &path, const std::vector<unsigned char> &bytes)
{
    FILE *f = std::fopen(path.c_str(), "wb");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::fclose(f);
}

void check_h264(const std::string &path, const VideoPull &v, int width, int height, int fps)
{
    SCOPED_TRACE(path);
    std::string info = run("ffprobe -v error -select_streams v:0 -show_entries "
                           "stream=codec_name,profile,width,height,r_frame_rate "
                           "-of default=nw=1 '" + path + "'");
    EXPECT_NE(info.find("codec_name=h264"), std::string::npos) << info;
    EXPECT_NE(info.find("profile=Main\n"), std::string::npos) << info;
    EXPECT_NE(info.find("width=" + std::to_string(width) + "\n"), std::string::npos) << info;
    EXPECT_NE(info.find("height=" + std::to_string(height) + "\n"), std::string::npos) << info;
    EXPECT_NE(info.find("r_frame_rate=" + std::to_string(fps) + "/1"), std::string::npos)
        << info;

    /* Every frame decodes, and the key frames are exactly every 2 s. */
    std::string errors = run("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1");
    EXPECT_EQ(errors, "");
    std::string frames = run("ffprobe -v error -select_streams v:0 -show_entries "
                             "frame=key_frame -of csv=p=0 '" + path + "'");
    std::vector<int> keys;
    int count = 0;
    for (size_t i = 0; i < frames.size(); i++) {
        if (frames[i] == '0' || frames[i] == '1') {
            if (frames[i] == '1')
                keys.push_back(count);
            count++;
        }
    }
    EXPECT_EQ(count, static_cast<int>(v.ts.size())) << "decoded frames != pulled frames";
    ASSERT_FALSE(keys.empty());
    EXPECT_EQ(keys[0], 0) << "stream does not start with an IDR";
    /* Each GOP is 2 * fps frames, 2 s of capture time. */
    for (size_t i = 1; i < keys.size() && static_cast<size_t>(keys[i]) < v.ts.size(); i++) {
        EXPECT_EQ(keys[i] - keys[i - 1], 2 * fps) << "key frame " << i;
        EXPECT_EQ(v.ts[keys[i]] - v.ts[keys[i - 1]], 2000u) << "key frame " << i;
    }
    EXPECT_EQ(static_cast<int>(keys.size()), v.idr_count);
    /* Frames are captured on a fixed grid of 1/fps, and none is lost
     * between capture, encoder and puller. */
    ASSERT_GE(v.ts.size(), 2u);
    EXPECT_EQ(static_cast<unsigned long long>(count - 1) * 1000 / fps, v.ts.back() - v.ts.front());
    EXPECT_GE(count, fps * kRunMs / 1000);
}

} // namespace

TEST(RealDecoders, ChannelsDecodeAsConfigured)
{
    ASSERT_GE(tvr_mirel_init_av("tavro_mirel.conf"), 0);
    VideoPull mainv, subv;
    std::vector<unsigned char> audio;
    ManualClock clock(3); /* the two video workers and the audio worker */
    void *mainh = tvr_mirel_venc_start(const_cast<char *>("main"));
    ASSERT_NE(mainh, nullptr);
    void *subh = tvr_mirel_venc_start(const_cast<char *>("sub"));
    void *audh = tvr_mirel_aenc_start(const_cast<char *>("main"));
    ASSERT_TRUE(subh && audh) << "channel start failed";

    /* Video: kRunMs from each channel's first IDR.  Audio: from the first
     * frame taken to the last, like the recorder. */
    std::vector<unsigned char> buf(DOVU_STREAM_BUF_SIZE);
    auto ran = [](const VideoPull &v) { return !v.ts.empty() && v.ts.back() - v.ts.front() >= kRunMs; };
    uint64_t first = 0, last = 0;
    int audio_frames = 0;
    for (int t = 0; t < 2 * kRunMs && !(ran(mainv) && ran(subv)); t += 10) {
        ASSERT_TRUE(clock.run(10)) << "a worker hung";
        pull_video(mainh, &buf, &mainv);
        pull_video(subh, &buf, &subv);
        int n = take_audio(&audio);
        if (n > 0) {
            if (audio_frames == 0)
                first = ozi_host_clock_now_us();
            last = ozi_host_clock_now_us();
            audio_frames += n;
        }
    }
    clock.stop();
    tvr_mirel_aenc_release(audh);
    tvr_mirel_venc_release(subh);
    tvr_mirel_venc_release(mainh);

    tvrtest::ScratchDir scratch("tvr_decode");
    ASSERT_NE(scratch.path(), "");
    const std::string &dir = scratch.path();
    write_file(dir + "/main.h264", mainv.bytes);
    write_file(dir + "/sub.h264", subv.bytes);
    write_file(dir + "/audio.aac", audio);
    check_h264(dir + "/main.h264", mainv, 1920, 1080, 25);
    check_h264(dir + "/sub.h264", subv, 640, 360, 20);

    std::string ainfo = run("ffprobe -v error -select_streams a:0 -show_entries "
                            "stream=codec_name,sample_rate,channels -of default=nw=1 '" +
                            dir + "/audio.aac'");
    EXPECT_NE(ainfo.find("codec_name=aac"), std::string::npos) << ainfo;
    EXPECT_NE(ainfo.find("sample_rate=8000"), std::string::npos) << ainfo;
    EXPECT_NE(ainfo.find("channels=1"), std::string::npos) << ainfo;
    std::string aerr = run("ffmpeg -nostdin -v error -i '" + dir +
                           "/audio.aac' -f s16le -ac 1 -ar 8000 '" + dir + "/audio.pcm' 2>&1");
    EXPECT_EQ(aerr, "");
    struct stat st;
    ASSERT_EQ(stat((dir + "/audio.pcm").c_str(), &st), 0);
    double decoded_s = static_cast<double>(st.st_size) / 2 / 8000;
    /* Frames arrive every 128 ms; the span from the first to the last take
     * plus one frame is the audio the encoder produced meanwhile (the
     * decoder may add or drop part of a frame at the ends). */
    double span_s = static_cast<double>(last - first) / 1e6 + 0.128;
    ASSERT_GT(audio_frames, 20);
    EXPECT_NEAR(decoded_s, span_s, 0.128)
        << audio_frames << " frames, decoded " << decoded_s << " s over " << span_s << " s";

    if (HasFailure()) {
        scratch.keep();
        std::printf("decoded files kept in %s\n", dir.c_str());
    }
}
