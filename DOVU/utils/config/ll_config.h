/*
 * ll_config.h - configuration reader of the streaming library.
 *
 * Settings are looked up by section title and key through a handle.  The
 * reader opens no file: ll_config_init only checks the path, and lookups
 * are answered from the built-in defaults below, so the library runs the
 * same whether or not the named file exists.
 *
 *     section "RTSP"  key "port"           DOVU_RTSP_PORT (build option, 554)
 *     section "RTSP"  key "max_idle_time"  "180" (seconds)
 *
 * No state, no locks: safe from any thread.
 */
#ifndef LL_CONFIG_H
#define LL_CONFIG_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Longest value text a lookup writes, terminating NUL included. */
#define LL_CONFIG_VALUE_MAX 12

/* Returns the handle 0 for a non-empty path (the file is not opened or
 * tested), -1 for a null or empty path. */
int32_t ll_config_init(const char *config_path);

/* Releases a handle.  The reader holds nothing, so this does nothing. */
void ll_config_destroy(int32_t config_handle);

/* Looks up key in section tittle.  On success copies the value text with its
 * NUL into value (at most LL_CONFIG_VALUE_MAX bytes) and returns 0.  Returns
 * -1 and leaves value untouched for an invalid handle, a null or empty
 * section or key, a null value buffer, or an unknown section/key. */
int32_t ll_get_config_key_value(int32_t config_handle, const char *tittle, const char *key,
                                char *value);

#ifdef __cplusplus
}
#endif

#endif /* LL_CONFIG_H */
