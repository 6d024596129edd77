/*
 * vibe_alarm.cpp - the detector's instance of the floating-wadding alarm
 * filter (alarm_filter.h): 10 boxes per call, 80 history entries, boxes
 * tracked only when large enough and at least 40 % changed since the
 * previous frame, and a doubled speed allowance for large boxes.
 */
#include "alarm_filter.h"
#include "vibe_internal.h"

extern "C" {

int32_t vibe_Is_valid_rect(vibe_handle_t *vibe_handle, int32_t left, int32_t top,
                           int32_t right, int32_t bottom, int32_t tag)
{
    (void)tag;
    const vibe_handle_t *h = vibe_handle;
    int64_t height = (int64_t)bottom - top + 1, width = (int64_t)right - left + 1;
    if (height < h->fw_min_height || width < h->fw_min_width)
        return 0;
    /* Only the part of the box on the grid can hold changed cells. */
    int64_t changed = 0;
    int64_t l = left < 0 ? 0 : left, t = top < 0 ? 0 : top;
    int64_t r = right >= VIBE_GRID_W ? VIBE_GRID_W - 1 : right;
    int64_t b = bottom >= VIBE_GRID_H ? VIBE_GRID_H - 1 : bottom;
    for (int64_t y = t; y <= b; y++)
        for (int64_t x = l; x <= r; x++) {
            uint8_t v = h->fd_mask[y * VIBE_GRID_W + x];
            changed += v == VIBE_MASK_STRONG || v == VIBE_MASK_WEAK;
        }
    return 100 * changed >= 40 * height * width;
}

int32_t vibe_get_floating_wadding_speed(vibe_handle_t *vibe_handle, int32_t left, int32_t top,
                                        int32_t right, int32_t bottom, int32_t tag)
{
    (void)tag;
    const vibe_handle_t *h = vibe_handle;
    int64_t area = ((int64_t)right - left + 1) * ((int64_t)bottom - top + 1);
    if (h->fw_large_box_factor != 0 && area >= 8 * (int64_t)h->fw_large_box_factor) {
        int64_t s = 2 * (int64_t)h->fw_speed;
        return s > INT32_MAX ? INT32_MAX : (s < INT32_MIN ? INT32_MIN : (int32_t)s);
    }
    return h->fw_speed;
}

int32_t vibe_alarm(vibe_handle_t *vibe_handle, vibe_box *boxes, int32_t count)
{
    vibe_handle_t *h = vibe_handle;
    ozi_alarm::alarm_track<vibe_box> track = {h->prev_boxes, &h->prev_count, h->history,
                                              h->history_hits, &h->history_count};
    ozi_alarm::alarm_params params = {h->fw_confirm_frames, h->fw_alarm_hits,
                                      h->fw_history_frames};
    return ozi_alarm::alarm_filter<VIBE_MAX_BOXES, VIBE_MAX_HISTORY>(
        boxes, count, track, params,
        [h](const vibe_box &b) {
            return vibe_Is_valid_rect(h, b.left, b.top, b.right, b.bottom, b.tag) != 0;
        },
        [h](const vibe_box &b) {
            return vibe_get_floating_wadding_speed(h, b.left, b.top, b.right, b.bottom, b.tag);
        });
}

} // extern "C"
