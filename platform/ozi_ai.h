/*
 * ozi_ai.h - internals of the host audio input that tests reach.
 */
#ifndef OZI_AI_H
#define OZI_AI_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Gain that leaves the microphone signal as it is; the gain is linear,
 * samples are scaled by gain / OZI__AI_UNITY_GAIN and clipped. */
#define OZI__AI_UNITY_GAIN 8
#define OZI__AI_MAX_GAIN 31

/* Bytes of one captured PCM frame at `rate` Hz, 16-bit mono. */
int ozi__ai_frame_bytes(int rate);

/* Writes the microphone's signal for samples first..first+n-1 (a hum of
 * 150 and 440 Hz with a little noise, no 1 kHz content, a function of
 * the sample number only) at `gain`. */
void ozi__ai_synth(uint64_t first, int rate, int gain, int16_t *out, size_t n);

/* Length of the sync tone that starts on every whole second, in us. */
#define OZI__AI_SYNC_TONE_US 40000u

/* Adds the 1 kHz sync tone (at `gain`) to the samples first..first+n-1 of
 * a capture whose sample 0 was taken at clock time start_us: to those
 * taken in the first OZI__AI_SYNC_TONE_US of a whole second. */
void ozi__ai_add_sync_tone(uint64_t start_us, uint64_t first, int rate, int gain,
                           int16_t *out, size_t n);

#ifdef __cplusplus
}
#endif

#endif /* OZI_AI_H */
