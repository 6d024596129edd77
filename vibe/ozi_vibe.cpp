/*
 * ozi_vibe.cpp - detector handle: creation, validity check, parameters.
 *
 * Every operation that takes a handle tests it for null, then tests that its
 * `self` field holds its own address; either failure prints one line and
 * returns -1 with nothing changed.  The per-frame work is in vibe_model.cpp.
 */
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vibe_internal.h"

extern "C" {
__attribute__((visibility("default"))) extern const char vibe_lib_version[];
const char vibe_lib_version[] = "VIBE Lib V1.0.02";
}

namespace {

/* Null test and self test; prints the failure and returns false. */
bool handle_ok(const vibe_handle_t *h, const char *self_msg)
{
    if (!h) {
        puts("vibe_handle is NULL");
        return false;
    }
    if (h->self != h) {
        puts(self_msg);
        return false;
    }
    return true;
}

void set_defaults(vibe_handle_t *h)
{
    h->self = h;
    h->filter_high = 20;
    h->filter_low = 15;
    h->frame_difference_filter = 8;
    h->update_frames = 10;
    h->absorb_frames = 2;
    h->motion_region_min = 30;
    h->motion_region_max = 2400;
    h->false_detection_factor = 92;
    h->filtering_flag = VIBE_FILTER_ISOLATED | VIBE_FILTER_SHRINK | VIBE_FILTER_FRAME_DIFF;
    h->fast_updating_flag = 1;
    h->fw_confirm_frames = 3;
    h->fw_alarm_hits = 2;
    h->fw_speed = 200;
    h->fw_min_width = 4;
    h->fw_min_height = 6;
    h->fw_history_frames = 4;
}

} // namespace

extern "C" {

vibe_handle_t *ozi_vibe_init(void)
{
    vibe_handle_t *h = static_cast<vibe_handle_t *>(malloc(sizeof(vibe_handle_t)));
    if (!h) {
        puts("memory allocation failed!");
        return nullptr;
    }
    printf("########%s########\n", vibe_lib_version);
    memset(h, 0, sizeof(*h));
    set_defaults(h);
    return h;
}

int32_t ozi_vibe_destroy(vibe_handle_t *vibe_handle)
{
    if (!handle_ok(vibe_handle, "ozi_vibe_destroy: input vibe_handle is error"))
        return -1;
    free(vibe_handle);
    return 0;
}

const char *ozi_vibe_get_version(void)
{
    return vibe_lib_version;
}

int32_t ozi_vibe_set_filters(vibe_handle_t *vibe_handle, uint32_t a, uint32_t b)
{
    if (!handle_ok(vibe_handle, "ozi_vibe_set_filters: input vibe_handle is error"))
        return -1;
    vibe_handle->filter_high = static_cast<uint8_t>(a > b ? a : b);
    vibe_handle->filter_low = static_cast<uint8_t>(a > b ? b : a);
    return 0;
}

int32_t ozi_vibe_set_frame_difference_filter(vibe_handle_t *vibe_handle, int32_t value)
{
    if (!handle_ok(vibe_handle, "ozi_vibe_set_frame_difference_filter: input vibe_handle is error"))
        return -1;
    vibe_handle->frame_difference_filter = static_cast<uint8_t>(value);
    return 0;
}

int32_t ozi_vibe_set_update_frames(vibe_handle_t *vibe_handle, int32_t value)
{
    if (!handle_ok(vibe_handle, "ozi_vibe_set_update_frames: input vibe_handle is error"))
        return -1;
    if (value == 0)
        value = 1;
    vibe_handle->update_frames = static_cast<uint8_t>(value);
    return 0;
}

int32_t ozi_vibe_set_motion_region_size(vibe_handle_t *vibe_handle, uint32_t a, uint32_t b)
{
    if (!vibe_handle) {
        puts("vibe_handle is NULL");
        return -1;
    }
    if (a == 0)
        a = 1;
    if (b == 0)
        b = 1;
    uint32_t lo, hi;
    if (a > b) {
        lo = b;
        hi = a & 0xffffu; /* the larger first area keeps its low 16 bits only */
    } else {
        lo = a;
        hi = b;
    }
    if (vibe_handle->self != vibe_handle) {
        puts("ozi_vibe_set_motion_region_size: input vibe_handle is error");
        return -1;
    }
    vibe_handle->motion_region_min = lo;
    vibe_handle->motion_region_max = hi;
    return 0;
}

int32_t ozi_vibe_set_mode(vibe_handle_t *vibe_handle, int32_t value)
{
    if (!handle_ok(vibe_handle, "ozi_vibe_set_mode: input vibe_handle is error"))
        return -1;
    vibe_handle->mode = static_cast<uint8_t>(value);
    return 0;
}

int32_t ozi_vibe_set_filtering_flag(vibe_handle_t *vibe_handle, int32_t value)
{
    if (!vibe_handle) {
        puts("vibe_handle is NULL");
        return -1;
    }
    vibe_handle->filtering_flag = static_cast<uint8_t>(value);
    return 0;
}

int32_t ozi_vibe_set_fast_updating_flag(vibe_handle_t *vibe_handle, int32_t value)
{
    if (!vibe_handle) {
        puts("vibe_handle is NULL");
        return -1;
    }
    vibe_handle->fast_updating_flag = static_cast<uint8_t>(value);
    return 0;
}

int32_t ozi_vibe_set_floating_wadding_params(vibe_handle_t *vibe_handle, int32_t confirm_frames,
                                             int32_t alarm_hits, int32_t history_frames,
                                             int32_t speed, int32_t min_width,
                                             int32_t min_height, int32_t large_box_factor)
{
    if (!vibe_handle) {
        puts("vibe_handle is NULL");
        return -1;
    }
    if (confirm_frames < 2)
        confirm_frames = 2;
    if (alarm_hits < 1)
        alarm_hits = 1;
    if (history_frames <= alarm_hits) /* saturates instead of overflowing */
        history_frames = alarm_hits < INT32_MAX ? alarm_hits + 1 : INT32_MAX;
    if (speed < 0)
        speed = 0;
    if (min_width < 0)
        min_width = 1;
    if (min_height < 0)
        min_height = 1;
    if (vibe_handle->self != vibe_handle) {
        puts("ozi_vibe_set_floating_wadding_params: input vibe_handle is error");
        return -1;
    }
    /* Forget every track: the whole block from fw_confirm_frames to the end. */
    size_t start = offsetof(vibe_handle_t, fw_confirm_frames);
    memset(reinterpret_cast<char *>(vibe_handle) + start, 0, sizeof(vibe_handle_t) - start);
    vibe_handle->fw_confirm_frames = confirm_frames;
    vibe_handle->fw_alarm_hits = alarm_hits;
    vibe_handle->fw_history_frames = history_frames;
    vibe_handle->fw_speed = speed;
    vibe_handle->fw_min_width = min_width;
    vibe_handle->fw_min_height = min_height;
    vibe_handle->fw_large_box_factor = static_cast<uint8_t>(large_box_factor);
    return 0;
}

int32_t ozi_vibe_reconstruct_background_model(vibe_handle_t *vibe_handle)
{
    if (!handle_ok(vibe_handle, "ozi_vibe_reconstruct_background_model: input vibe_handle is error"))
        return -1;
    vibe_handle->model_ready = 0;
    memset(vibe_handle->fg_count, 0, sizeof(vibe_handle->fg_count));
    memset(vibe_handle->cur_frame, 0, sizeof(vibe_handle->cur_frame));
    memset(vibe_handle->prev_frame, 0, sizeof(vibe_handle->prev_frame));
    memset(vibe_handle->box_state, 0, sizeof(vibe_handle->box_state));
    memset(vibe_handle->fd_mask, 0, sizeof(vibe_handle->fd_mask));
    return 0;
}

int32_t ozi_vibe_set_false_detection_factor(vibe_handle_t *vibe_handle, uint32_t value)
{
    if (!handle_ok(vibe_handle, "ozi_vibe_set_false_detection_factor: input vibe_handle is error"))
        return -1;
    vibe_handle->false_detection_factor = static_cast<uint8_t>(value > 99 ? 100 : value);
    return 0;
}

} // extern "C"
