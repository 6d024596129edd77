/*
 * ll_config.cpp - configuration reader of the streaming library.
 *
 * Callers: dovu_init/dovu_exit (handle) and the RTSP server's creation
 * ("RTSP" settings).  No file is opened: every lookup is answered from the
 * built-in defaults, which is where the RTSP port's build option takes
 * effect.  Stateless, so callable from any thread.
 */
#include "ll_config.h"

#include <string.h>

/* DOVU_RTSP_PORT comes from the build as a compile definition. */

#define LL_CONFIG_STR2(x) #x
#define LL_CONFIG_STR(x) LL_CONFIG_STR2(x)

static_assert(DOVU_RTSP_PORT > 0 && DOVU_RTSP_PORT < 65536,
              "DOVU_RTSP_PORT must be a TCP port number");

namespace {

struct config_default {
    const char *tittle;
    const char *key;
    const char *value;
};

constexpr const char kPortText[] = LL_CONFIG_STR(DOVU_RTSP_PORT);
static_assert(sizeof(kPortText) <= LL_CONFIG_VALUE_MAX, "port text too long");

// Every value fits LL_CONFIG_VALUE_MAX bytes with its NUL.
const config_default kDefaults[] = {
    {"RTSP", "port", kPortText},
    {"RTSP", "max_idle_time", "180"},  // seconds
};

// The only handle this reader hands out.
constexpr int32_t kDefaultsHandle = 0;

bool text_empty(const char *s)
{
    return !s || s[0] == '\0';
}

}  // namespace

extern "C" {

int32_t ll_config_init(const char *config_path)
{
    return text_empty(config_path) ? -1 : kDefaultsHandle;
}

void ll_config_destroy(int32_t config_handle)
{
    // Nothing was opened for any handle; in particular a positive number is
    // not closed as a descriptor, since it would belong to someone else.
    (void)config_handle;
}

int32_t ll_get_config_key_value(int32_t config_handle, const char *tittle, const char *key,
                                char *value)
{
    if (config_handle != kDefaultsHandle || text_empty(tittle) || text_empty(key) || !value)
        return -1;
    for (const config_default &d : kDefaults) {
        if (strcmp(d.tittle, tittle) == 0 && strcmp(d.key, key) == 0) {
            memcpy(value, d.value, strlen(d.value) + 1);
            return 0;
        }
    }
    return -1;
}

}  // extern "C"
