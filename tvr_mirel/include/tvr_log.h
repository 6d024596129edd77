/*
 * tvr_log.h - the daemon's log line that says where it comes from.
 */
#ifndef TVR_LOG_H
#define TVR_LOG_H

#include "ozi_sdk.h"

/* One line through the platform's log, "[function:line] message". */
#define TVR_LOG(level, fmt, ...) \
    ozi_print(MODULE_ID_APP, (level), "[%s:%d] " fmt, __func__, __LINE__, ##__VA_ARGS__)

#endif /* TVR_LOG_H */
