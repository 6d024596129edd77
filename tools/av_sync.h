/*
 * av_sync.h - finding A/V sync marks in decoded pictures and sound.
 *
 * A sync mark is a picture and a sound that a source emits at the same
 * instant: a 2x2 checker (white top-left and bottom-right, black in the
 * other two squares, each square width/16 x height/16) in the top-right
 * corner of one picture, and a tone of 1 kHz lasting a few tens of ms.
 * The audio-minus-video offset of a mark is when its tone starts minus
 * when its picture is shown.
 *
 * Pure functions: no decoding, no files, no clocks.
 */
#ifndef AV_SYNC_H
#define AV_SYNC_H

#include <stddef.h>
#include <stdint.h>

#include <vector>

/* Contrast of the checker in one 8-bit luma picture: the mean of the two
 * white squares minus the mean of the two black ones, each measured over
 * its central half.  About 200 for a mark; near 0 for most pictures. */
double av_sync_mark_score(const uint8_t *luma, int stride, int width, int height);

/* Score above which a picture shows a mark. */
constexpr double kAvSyncMarkScore = 120.0;

/* Times of the pictures that start a mark: a picture whose score passes
 * kAvSyncMarkScore when the one before it did not.  `scores` and `times`
 * are per picture, in presentation order. */
std::vector<double> av_sync_video_marks(const std::vector<double> &scores,
                                        const std::vector<double> &times);

/* Start positions, in samples (fractional), of the 1 kHz tones in mono
 * PCM `pcm` (full scale 1.0) sampled at `rate` Hz.  A tone is a run of
 * 15..200 ms in which the 1 kHz amplitude stands well above the rest of
 * the recording; its start is where the amplitude reaches half of its
 * level, less half the measuring window. */
std::vector<double> av_sync_tone_starts(const std::vector<float> &pcm, int rate);

struct av_sync_pair {
    double video_s;
    double audio_s;
    double offset_ms; /* (audio_s - video_s) * 1000 */
};

/* Pairs every video mark with the nearest unused tone start no more than
 * `max_gap_s` away, in video order; marks without a tone are left out. */
std::vector<av_sync_pair> av_sync_pair_marks(const std::vector<double> &video_s,
                                             const std::vector<double> &audio_s,
                                             double max_gap_s);

#endif /* AV_SYNC_H */
