/*
 * ozi_clock.h - the platform's clock (ozi_clock.cpp), internal to platform/.
 * Tests control it through ozi_host.h.
 */
#ifndef OZI_CLOCK_H
#define OZI_CLOCK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The platform's time in ms: the time base of every captured frame. */
uint64_t ozi__now_ms(void);

/* The platform's time in microseconds (pacing arithmetic). */
uint64_t ozi__now_us(void);

/* Sleeps until the platform's clock reaches `deadline_us`. */
void ozi__sleep_until_us(uint64_t deadline_us);

#ifdef __cplusplus
}
#endif

#endif /* OZI_CLOCK_H */
