/*
 * ozi_ai.cpp - audio input of the host platform: an emulated microphone.
 *
 * While capture runs, the microphone delivers 16-bit mono PCM frames of
 * ozi__ai_frame_bytes(rate) bytes (512 bytes = 32 ms at 8000 Hz), paced by
 * the monotonic clock: frame k (from 0) holds the samples of the k-th
 * frame interval after the capture start and is ready when that interval
 * has passed; its ts is the time of its first sample.  Frames are handed
 * out in order without gaps; a reader more than kRing frames behind loses
 * the oldest ones, as a hardware ring would overwrite them.  The signal is
 * a low hum with a little noise; in the first 40 ms of every whole second
 * of the clock a loud 1 kHz tone joins it, at the instant the video input
 * shows its sync mark.
 *
 * THREADS: the daemon's audio worker captures; its start/stop come from
 * other threads.  g_ai.mutex guards every field of g_ai and is the only
 * lock; a waiting ozi_ai_get_frame sleeps without it.
 */
#include "ozi_ai.h"
#include "ozi_core.h"
#include "ozi_host.h"
#include "ozi_sdk.h"

#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>

namespace {

constexpr int kHandle = 0;  /* the one microphone */
constexpr int kDepth = 4;   /* frames a reader may hold */
constexpr uint64_t kRing = 16; /* frames kept for a late reader */
constexpr size_t kMaxFrameBytes = 2048;

struct Buffer {
    alignas(8) unsigned char data[kMaxFrameBytes];
    bool held = false;
};

struct AudioIn {
    std::mutex mutex; /* guards every field below */
    bool open = false;
    bool capturing = false;
    int rate = 8000;
    int frame_bytes = 512;
    int gain = OZI__AI_UNITY_GAIN;
    bool nr = false, agc = false, aec = false;
    enum ai_source source = AI_SOURCE_MIC;
    uint64_t start_us = 0;  /* clock at capture start */
    uint64_t next = 0;      /* number of the next frame to hand out */
    uint32_t seq = 0;
    Buffer bufs[kDepth];
};

/* Lives for the whole process: a detached worker may still capture while
 * the process exits. */
AudioIn &ai()
{
    static AudioIn *in = new AudioIn;
    return *in;
}

int samples_per_frame(const AudioIn &a)
{
    return a.frame_bytes / 2;
}

/* Clock time, in us, at which sample number `sample` is captured. */
uint64_t sample_time_us(const AudioIn &a, uint64_t sample)
{
    return a.start_us + sample * 1000000u / (uint64_t)a.rate;
}

bool valid_rate(int rate)
{
    switch (rate) {
    case 8000: case 11025: case 12000: case 16000: case 22050:
    case 24000: case 32000: case 44100: case 48000:
        return true;
    default:
        return false;
    }
}

} // namespace

extern "C" int ozi__ai_frame_bytes(int rate)
{
    return rate < 16000 ? 512 : rate < 32000 ? 1024 : 2048;
}

extern "C" void ozi__ai_synth(uint64_t first, int rate, int gain, int16_t *out, size_t n)
{
    const double two_pi = 6.283185307179586;
    for (size_t i = 0; i < n; i++) {
        uint64_t s = first + i;
        double t = (double)s / rate;
        double v = 5000.0 * std::sin(two_pi * 440.0 * t) + 1500.0 * std::sin(two_pi * 150.0 * t);
        uint32_t h = (uint32_t)(s * 2654435761u);
        h ^= h >> 15;
        v += (double)((int)(h % 1001) - 500); /* +-500 of noise */
        long scaled = std::lround(v * gain / OZI__AI_UNITY_GAIN);
        out[i] = (int16_t)(scaled > 32767 ? 32767 : scaled < -32768 ? -32768 : scaled);
    }
}

extern "C" void ozi__ai_add_sync_tone(uint64_t start_us, uint64_t first, int rate, int gain,
                                      int16_t *out, size_t n)
{
    const double two_pi = 6.283185307179586;
    for (size_t i = 0; i < n; i++) {
        uint64_t us = start_us + (first + i) * 1000000u / (uint64_t)rate;
        uint64_t into = us % 1000000u;
        if (into >= OZI__AI_SYNC_TONE_US)
            continue;
        double v = 12000.0 * std::sin(two_pi * 1000.0 * (double)into / 1e6);
        long sum = out[i] + std::lround(v * gain / OZI__AI_UNITY_GAIN);
        out[i] = (int16_t)(sum > 32767 ? 32767 : sum < -32768 ? -32768 : sum);
    }
}

extern "C" int ozi_ai_open(struct ozi_audio_in_param *param, int *handle)
{
    if (ozi_host_should_fail("ozi_ai_open"))
        return -1;
    if (!param || !handle)
        return -1;
    const ozi_audio_data_attr &d = param->pcm_data_attr;
    if (!valid_rate((int)d.sample_rate) || d.sample_bits != 16 ||
        d.channel_num != AUDIO_CHANNEL_MONO || param->dev_id != DEV_ADC)
        return -1;
    AudioIn &a = ai();
    std::lock_guard<std::mutex> lock(a.mutex);
    if (a.open)
        return -1;
    a.open = true;
    a.capturing = false;
    a.rate = (int)d.sample_rate;
    a.frame_bytes = ozi__ai_frame_bytes(a.rate);
    a.gain = OZI__AI_UNITY_GAIN;
    a.nr = a.agc = a.aec = false;
    a.source = AI_SOURCE_MIC;
    for (Buffer &b : a.bufs)
        b.held = false;
    *handle = kHandle;
    return 0;
}

extern "C" int ozi_ai_close(int handle)
{
    if (ozi_host_should_fail("ozi_ai_close"))
        return -1;
    AudioIn &a = ai();
    std::lock_guard<std::mutex> lock(a.mutex);
    if (handle != kHandle || !a.open)
        return -1;
    a.open = false;
    a.capturing = false;
    return 0;
}

namespace {

/* Runs `fn` on the open input under its lock; -1 for a bad handle. */
template <typename Fn> int with_input(int handle, Fn fn)
{
    AudioIn &a = ai();
    std::lock_guard<std::mutex> lock(a.mutex);
    if (handle != kHandle || !a.open)
        return -1;
    return fn(a);
}

} // namespace

/* Noise reduction, AGC and echo cancellation are accepted and kept; the
 * emulated microphone has no noise, level changes or echo to act on. */
extern "C" int ozi_ai_enable_nr(int handle, int enable)
{
    if (ozi_host_should_fail("ozi_ai_enable_nr"))
        return -1;
    return with_input(handle, [&](AudioIn &a) { a.nr = enable != 0; return 0; });
}

extern "C" int ozi_ai_enable_agc(int handle, int enable)
{
    if (ozi_host_should_fail("ozi_ai_enable_agc"))
        return -1;
    return with_input(handle, [&](AudioIn &a) { a.agc = enable != 0; return 0; });
}

extern "C" int ozi_ai_enable_aec(int handle, int enable)
{
    if (ozi_host_should_fail("ozi_ai_enable_aec"))
        return -1;
    return with_input(handle, [&](AudioIn &a) { a.aec = enable != 0; return 0; });
}

extern "C" int ozi_ai_set_gain(int handle, int gain)
{
    if (ozi_host_should_fail("ozi_ai_set_gain"))
        return -1;
    if (gain < 0 || gain > OZI__AI_MAX_GAIN)
        return -1;
    return with_input(handle, [&](AudioIn &a) { a.gain = gain; return 0; });
}

extern "C" int ozi_ai_set_source(int handle, enum ai_source source)
{
    if (ozi_host_should_fail("ozi_ai_set_source"))
        return -1;
    if (source != AI_SOURCE_MIC && source != AI_SOURCE_LINEIN)
        return -1;
    return with_input(handle, [&](AudioIn &a) { a.source = source; return 0; });
}

extern "C" int ozi_ai_start_capture(int handle)
{
    if (ozi_host_should_fail("ozi_ai_start_capture"))
        return -1;
    return with_input(handle, [&](AudioIn &a) {
        if (!a.capturing) {
            a.capturing = true;
            a.start_us = ozi__now_us();
            a.next = 0;
        }
        return 0;
    });
}

extern "C" int ozi_ai_stop_capture(int handle)
{
    if (ozi_host_should_fail("ozi_ai_stop_capture"))
        return -1;
    return with_input(handle, [&](AudioIn &a) { a.capturing = false; return 0; });
}

/*
 * Hands out the next PCM frame.  With ms > 0 it waits up to ms for the
 * frame to become ready.
 */
extern "C" int ozi_ai_get_frame(int handle, struct frame *frame, long ms)
{
    if (ozi_host_should_fail("ozi_ai_get_frame"))
        return -1;
    if (!frame)
        return -1;
    uint64_t deadline = ozi__now_us() + (ms > 0 ? (uint64_t)ms * 1000u : 0);
    AudioIn &a = ai();
    for (;;) {
        uint64_t ready_at;
        {
            std::lock_guard<std::mutex> lock(a.mutex);
            if (handle != kHandle || !a.open || !a.capturing)
                return -1;
            uint64_t now = ozi__now_us();
            uint64_t spf = (uint64_t)samples_per_frame(a);
            uint64_t complete = (now - a.start_us) * (uint64_t)a.rate / 1000000u / spf;
            if (complete > a.next + kRing)
                a.next = complete - kRing; /* the ring overwrote the oldest */
            ready_at = sample_time_us(a, (a.next + 1) * spf);
            if (now >= ready_at) {
                Buffer *buf = nullptr;
                for (Buffer &b : a.bufs)
                    if (!b.held && !buf)
                        buf = &b;
                if (!buf)
                    return -1; /* the reader holds every buffer */
                buf->held = true;
                int16_t *pcm = reinterpret_cast<int16_t *>(buf->data);
                ozi__ai_synth(a.next * spf, a.rate, a.gain, pcm, (size_t)spf);
                ozi__ai_add_sync_tone(a.start_us, a.next * spf, a.rate, a.gain, pcm,
                                      (size_t)spf);
                std::memset(frame, 0, sizeof *frame);
                frame->data = buf->data;
                frame->len = (uint32_t)a.frame_bytes;
                frame->ts = sample_time_us(a, a.next * spf) / 1000u;
                frame->seq_no = a.seq++;
                a.next++;
                return 0;
            }
        }
        if (ready_at > deadline)
            return -1;
        ozi__sleep_until_us(ready_at);
    }
}

extern "C" int ozi_ai_release_frame(int handle, struct frame *frame)
{
    if (ozi_host_should_fail("ozi_ai_release_frame"))
        return -1;
    if (!frame || !frame->data)
        return -1;
    AudioIn &a = ai();
    std::lock_guard<std::mutex> lock(a.mutex);
    if (handle != kHandle)
        return -1;
    for (Buffer &b : a.bufs) {
        if (b.held && b.data == frame->data) {
            b.held = false;
            return 0;
        }
    }
    return -1;
}
