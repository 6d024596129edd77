/*
 * ozi_mux.h - internal controls of the container muxer (ozi_mux.cpp).
 *
 * The muxer's operations themselves are declared in ozi_sdk.h; this header
 * only adds what tests and benchmarks of the muxer need.
 */
#ifndef OZI_MUX_H
#define OZI_MUX_H

#include <stdint.h>

/* Sets how often, at most, the sample journal of an open segment is written
 * to the kernel, in ms (default 1000; 0 writes it after every sample).
 * Returns the previous value. */
int64_t ozi_mux_set_journal_interval(int64_t ms);

#endif /* OZI_MUX_H */
