/*
 * av_sync.cpp - finding A/V sync marks in decoded pictures and sound.
 */
#include "av_sync.h"

#include <algorithm>
#include <cmath>

namespace {

/* Mean of luma over [x0, x1) x [y0, y1). */
double mean(const uint8_t *luma, int stride, int x0, int y0, int x1, int y1)
{
    if (x1 <= x0 || y1 <= y0)
        return 0;
    uint64_t sum = 0;
    for (int y = y0; y < y1; y++)
        for (int x = x0; x < x1; x++)
            sum += luma[(size_t)y * stride + x];
    return (double)sum / ((double)(x1 - x0) * (y1 - y0));
}

double median(std::vector<double> v)
{
    if (v.empty())
        return 0;
    std::nth_element(v.begin(), v.begin() + (long)(v.size() / 2), v.end());
    return v[v.size() / 2];
}

constexpr double kToneHz = 1000.0;
constexpr double kWindowS = 0.004;  /* amplitude measuring window */
constexpr double kMinToneS = 0.015; /* shortest and longest run taken as a tone */
constexpr double kMaxToneS = 0.200;
constexpr double kMergeS = 0.005;   /* dips shorter than this stay inside one run */

} // namespace

double av_sync_mark_score(const uint8_t *luma, int stride, int width, int height)
{
    if (!luma || width < 32 || height < 32)
        return 0;
    /* Squares as the source draws them; only their central half is
     * measured, so scaling and blur at the edges do not count. */
    const double qw = width / 16.0, qh = height / 16.0;
    const double x0 = width - 2 * qw;
    auto square = [&](int col, int row) {
        double sx = x0 + col * qw, sy = row * qh;
        return mean(luma, stride, (int)std::lround(sx + qw / 4), (int)std::lround(sy + qh / 4),
                    (int)std::lround(sx + 3 * qw / 4), (int)std::lround(sy + 3 * qh / 4));
    };
    return (square(0, 0) + square(1, 1)) / 2 - (square(1, 0) + square(0, 1)) / 2;
}

std::vector<double> av_sync_video_marks(const std::vector<double> &scores,
                                        const std::vector<double> &times)
{
    std::vector<double> out;
    bool before = false;
    for (size_t i = 0; i < scores.size() && i < times.size(); i++) {
        bool now = scores[i] > kAvSyncMarkScore;
        if (now && !before)
            out.push_back(times[i]);
        before = now;
    }
    return out;
}

std::vector<double> av_sync_tone_starts(const std::vector<float> &pcm, int rate)
{
    std::vector<double> out;
    const int n = rate > 0 ? (int)std::lround(rate * kWindowS) : 0;
    if (n < 4 || pcm.size() < (size_t)n)
        return out;
    /* amp[i]: 1 kHz amplitude over the window of n samples ending at i
     * (quadrature correlation; independent of the tone's phase). */
    std::vector<double> c(n), s(n);
    const double w = 2 * M_PI * kToneHz / rate;
    for (int j = 0; j < n; j++) {
        c[j] = std::cos(w * j);
        s[j] = std::sin(w * j);
    }
    std::vector<double> amp(pcm.size(), 0.0);
    for (size_t i = (size_t)n - 1; i < pcm.size(); i++) {
        const float *x = &pcm[i + 1 - (size_t)n];
        double re = 0, im = 0;
        for (int j = 0; j < n; j++) {
            re += x[j] * c[j];
            im += x[j] * s[j];
        }
        amp[i] = 2 * std::sqrt(re * re + im * im) / n;
    }
    const double peak = *std::max_element(amp.begin(), amp.end());
    const double floor = median(amp);
    if (peak < 0.01 || peak < 6 * floor)
        return out; /* nothing stands out: no tones */
    const double threshold = 0.4 * peak;
    const size_t merge = (size_t)(kMergeS * rate);
    size_t i = 0;
    while (i < amp.size()) {
        if (amp[i] < threshold) {
            i++;
            continue;
        }
        /* A run above the threshold, bridging short dips. */
        size_t a = i, b = i;
        for (;;) {
            while (b < amp.size() && amp[b] >= threshold)
                b++;
            size_t next = b;
            while (next < amp.size() && next - b < merge && amp[next] < threshold)
                next++;
            if (next >= amp.size() || amp[next] < threshold)
                break;
            b = next;
        }
        i = b;
        double len_s = (double)(b - a) / rate;
        if (len_s < kMinToneS || len_s > kMaxToneS)
            continue;
        /* The tone's level: the median over the middle half of the run. */
        std::vector<double> mid(amp.begin() + (long)(a + (b - a) / 4),
                                amp.begin() + (long)(a + 3 * (b - a) / 4));
        double half = median(mid) / 2;
        size_t k = a >= (size_t)n ? a - (size_t)n : 0;
        while (k < b && amp[k] < half)
            k++;
        if (k < (size_t)n)
            continue; /* began before the first full window: cannot be timed */
        double cross = (double)k;
        if (k > 0 && amp[k] > amp[k - 1])
            cross = (double)(k - 1) + (half - amp[k - 1]) / (amp[k] - amp[k - 1]);
        /* The window ending at sample i holds i - start + 1 tone samples,
         * half of n at the crossing. */
        out.push_back(cross + 1 - n / 2.0);
    }
    return out;
}

std::vector<av_sync_pair> av_sync_pair_marks(const std::vector<double> &video_s,
                                             const std::vector<double> &audio_s,
                                             double max_gap_s)
{
    std::vector<av_sync_pair> out;
    std::vector<bool> used(audio_s.size(), false);
    for (double v : video_s) {
        long best = -1;
        for (size_t j = 0; j < audio_s.size(); j++) {
            if (used[j] || std::fabs(audio_s[j] - v) > max_gap_s)
                continue;
            if (best < 0 || std::fabs(audio_s[j] - v) < std::fabs(audio_s[(size_t)best] - v))
                best = (long)j;
        }
        if (best < 0)
            continue;
        used[(size_t)best] = true;
        double a = audio_s[(size_t)best];
        out.push_back({v, a, (a - v) * 1000.0});
    }
    return out;
}
