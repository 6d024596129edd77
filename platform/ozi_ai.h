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

/* Writes the microphone's signal for samples first..first+n-1 (a tone
 * with a little noise, a function of the sample number only) at `gain`. */
void ozi__ai_synth(uint64_t first, int rate, int gain, int16_t *out, size_t n);

#ifdef __cplusplus
}
#endif

#endif /* OZI_AI_H */
