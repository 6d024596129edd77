/*
 * ozi_aenc.h - internals of the host AAC encoder that tests reach.
 */
#ifndef OZI_AENC_H
#define OZI_AENC_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define OZI__ADTS_HEADER_BYTES 7

/* Writes the 7-byte ADTS header (MPEG-4, no CRC) of one raw AAC frame of
 * `payload` bytes.  object_type is the MPEG-4 audio object type (2 = LC),
 * rate_index the sampling frequency index, channels the channel
 * configuration.  -1 when a field does not fit, else 0. */
int ozi__adts_header(uint8_t out[OZI__ADTS_HEADER_BYTES], int object_type, int rate_index,
                     int channels, size_t payload);

/* Sampling frequency index of `rate` Hz, -1 for a rate ADTS cannot carry. */
int ozi__adts_rate_index(int rate);

#ifdef __cplusplus
}
#endif

#endif /* OZI_AENC_H */
