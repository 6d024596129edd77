/*
 * ozi_core.h - helpers shared by the modules of the host media platform.
 *
 * Internal to platform/: the daemon sees only ozi_sdk.h.  Names carry the
 * ozi__ marker so they never clash with the SDK's own operations.
 */
#ifndef OZI_CORE_H
#define OZI_CORE_H

#include <stdint.h>

#include "ozi_clock.h" /* the modules take their time from it */

#ifdef __cplusplus
extern "C" {
#endif

/* Quietens the media libraries' own logging (once per process): their
 * informational lines would mix with the daemon's log on stdout. */
void ozi__media_libs_init(void);

#ifdef __cplusplus
}
#endif

#endif /* OZI_CORE_H */
