/*
 * test_decode.cpp - real decoders agree with what the channels deliver.
 *
 * Both video channels and the audio channel run together for 4 s.  Video
 * is pulled through tvr_mirel_get_vstrm_data as the streaming library
 * does (a frame counts when its ts is newer), audio is taken from the
 * queue as the recorder does (marking what it took).  The frames, written
 * one after another, must decode with ffprobe/ffmpeg without an error:
 * H.264 main profile at the channel's size and rate with an IDR every two
 * seconds, and AAC at 8000 Hz mono lasting as long as the capture ran.
 */
#include "daemon_test_util.h"

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

std::string run(const std::string &cmd)
{
    std::string out;
    FILE *p = popen(cmd.c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

std::string scratch_dir()
{
    char tmpl[] = "/tmp/tvr_decode_XXXXXX";
    const char *d = mkdtemp(tmpl);
    return d ? d : "/tmp";
}

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

/* Pulls new frames for kRunMs from the first IDR on (or until `stop`). */
void pull_video(void *h, const std::atomic<bool> &stop, VideoPull *out)
{
    std::vector<unsigned char> buf(DOVU_STREAM_BUF_SIZE);
    unsigned long long last = 0;
    std::chrono::steady_clock::time_point end = std::chrono::steady_clock::time_point::max();
    const auto hard_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(3 * kRunMs);
    while (!stop.load() && std::chrono::steady_clock::now() < std::min(end, hard_end)) {
        unsigned int size = 0;
        unsigned long long ts = 0;
        tvr_mirel_get_vstrm_data(h, buf.data(), &size, &ts);
        /* A decoder joins at an IDR: what came before it is skipped. */
        if (size > 0 && ts > last && (out->idr_count > 0 || has_idr(buf.data(), size))) {
            last = ts;
            out->ts.push_back(ts);
            out->bytes.insert(out->bytes.end(), buf.begin(), buf.begin() + size);
            out->idr_count += has_idr(buf.data(), size);
            if (out->ts.size() == 1)
                end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRunMs);
        }
        /* The worker may catch up with two frames in quick succession
         * (the first IDR takes longest): poll often enough to see both. */
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
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
    /* Each GOP is 2 * fps encoded frames.  On a loaded machine a frame can
     * go missing on either side of the encoder: a picture the worker did
     * not capture stretches the GOP in time by a frame, a frame the puller
     * did not take shortens it in position by one.  So a GOP passes when
     * its length is right in frames pulled or in capture time; a GOP one
     * frame short or long is wrong in both. */
    const long long half_frame = 500 / fps;
    for (size_t i = 1; i < keys.size() && static_cast<size_t>(keys[i]) < v.ts.size(); i++) {
        const int frames_between = keys[i] - keys[i - 1];
        const long long ms_between =
            static_cast<long long>(v.ts[keys[i]] - v.ts[keys[i - 1]]);
        EXPECT_TRUE(frames_between == 2 * fps || std::llabs(ms_between - 2000) <= half_frame)
            << "key frame " << i << ": " << frames_between << " frames, " << ms_between
            << " ms after the previous one";
    }
    EXPECT_EQ(static_cast<int>(keys.size()), v.idr_count);
    /* Frames are captured on a fixed grid of 1/fps: over the pulled span,
     * hardly any may be missing between capture, encoder and puller. */
    ASSERT_GE(v.ts.size(), 2u);
    double span_frames = static_cast<double>(v.ts.back() - v.ts.front()) * fps / 1000.0 + 1;
    EXPECT_GE(count, static_cast<int>(span_frames * 0.95)) << span_frames;
    EXPECT_GE(count, fps * (kRunMs - 1000) / 1000);
}

} // namespace

TEST(RealDecoders, ChannelsDecodeAsConfigured)
{
    ASSERT_GE(tvr_mirel_init_av("tavro_mirel.conf"), 0);
    VideoPull mainv, subv;
    std::vector<unsigned char> audio;
    std::atomic<bool> stop{false};
    void *mainh = tvr_mirel_venc_start(const_cast<char *>("main"));
    ASSERT_NE(mainh, nullptr);
    std::thread tm(pull_video, mainh, std::cref(stop), &mainv);
    void *subh = tvr_mirel_venc_start(const_cast<char *>("sub"));
    void *audh = tvr_mirel_aenc_start(const_cast<char *>("main"));
    if (!subh || !audh) {
        stop = true;
        tm.join();
        FAIL() << "channel start failed";
    }
    std::thread ts(pull_video, subh, std::cref(stop), &subv);

    /* Audio: from the first frame taken to the last, like the recorder. */
    auto t0 = std::chrono::steady_clock::now();
    auto end = t0 + std::chrono::milliseconds(kRunMs);
    std::chrono::steady_clock::time_point first{}, last{};
    int audio_frames = 0;
    while (std::chrono::steady_clock::now() < end) {
        int n = take_audio(&audio);
        if (n > 0) {
            if (audio_frames == 0)
                first = std::chrono::steady_clock::now();
            last = std::chrono::steady_clock::now();
            audio_frames += n;
        }
        sleep_ms(10);
    }
    tm.join();
    ts.join();
    tvr_mirel_aenc_release(audh);
    tvr_mirel_venc_release(subh);
    tvr_mirel_venc_release(mainh);

    std::string dir = scratch_dir();
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
     * plus one frame is the audio the encoder produced meanwhile. */
    double wall_s = std::chrono::duration<double>(last - first).count() + 0.128;
    ASSERT_GT(audio_frames, 20);
    EXPECT_NEAR(decoded_s, wall_s, wall_s * 0.05)
        << audio_frames << " frames, decoded " << decoded_s << " s over " << wall_s << " s";

    if (HasFailure())
        std::printf("decoded files kept in %s\n", dir.c_str());
    else
        run("rm -rf '" + dir + "'");
}
