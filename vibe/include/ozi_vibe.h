/*
 * ozi_vibe.h - motion detection on 8-bit luma frames (libozi_vibe).
 *
 * A detector reduces each frame to an 80 x 60 grid, keeps one background
 * value per cell, marks cells whose local second differences depart from the
 * background, grows the foreground into at most VIBE_MAX_BOXES boxes and, in
 * mode 0, reports only boxes confirmed by the floating-wadding alarm filter.
 *
 * Use: h = ozi_vibe_init(); tune with the setters; call ozi_vibe() once per
 * frame; ozi_vibe_destroy(h).  Operations return 0 on success and -1 on
 * failure (one line on standard output says why).  A handle must be used by
 * one thread at a time; different handles are independent.
 */
#ifndef OZI_VIBE_H
#define OZI_VIBE_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden symbols; what this header declares is
 * its exported interface. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

#define VIBE_MAX_BOXES 10

/* One rectangle, bounds inclusive.  Boxes returned by ozi_vibe() are in
 * frame pixels; tag is the track count in mode 0 and 0 otherwise. */
typedef struct vibe_box {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
    int32_t tag;
} vibe_box;

/* Detector handle; its layout is private to the library. */
typedef struct vibe_handle_t vibe_handle_t;

vibe_handle_t *ozi_vibe_init(void);
int32_t ozi_vibe_destroy(vibe_handle_t *vibe_handle);
const char *ozi_vibe_get_version(void);
/* Constant version text of the library, "VIBE Lib V1.0.02". */
extern const char vibe_lib_version[];

/* Gradient thresholds: the larger becomes the strong, the smaller the weak
 * threshold (low 8 bits each).  Defaults 20 and 15. */
int32_t ozi_vibe_set_filters(vibe_handle_t *vibe_handle, uint32_t a, uint32_t b);
/* A cell changed by less than this since the previous frame is still. */
int32_t ozi_vibe_set_frame_difference_filter(vibe_handle_t *vibe_handle, int32_t value);
/* Foreground frames after which a released cell joins the background. */
int32_t ozi_vibe_set_update_frames(vibe_handle_t *vibe_handle, int32_t value);
/* Minimum box area and maximum area of the largest box, in grid cells. */
int32_t ozi_vibe_set_motion_region_size(vibe_handle_t *vibe_handle, uint32_t a, uint32_t b);
/* 0: boxes pass the alarm filter; other values: raw boxes. */
int32_t ozi_vibe_set_mode(vibe_handle_t *vibe_handle, int32_t value);
/* Bit 0 isolated-cell removal, bit 1 side shrinking, bits 2+3 strip split,
 * bit 3 frame-difference mask.  Default 11. */
int32_t ozi_vibe_set_filtering_flag(vibe_handle_t *vibe_handle, int32_t value);
/* Non-zero: restart the background when the largest box is too large. */
int32_t ozi_vibe_set_fast_updating_flag(vibe_handle_t *vibe_handle, int32_t value);
/* Alarm filter parameters; also forgets every track and history entry. */
int32_t ozi_vibe_set_floating_wadding_params(vibe_handle_t *vibe_handle,
                                             int32_t confirm_frames, int32_t alarm_hits,
                                             int32_t history_frames, int32_t speed,
                                             int32_t min_width, int32_t min_height,
                                             int32_t large_box_factor);
/* The next frame rebuilds the background model. */
int32_t ozi_vibe_reconstruct_background_model(vibe_handle_t *vibe_handle);
/* Percentage of still cells at or above which a box is dropped (max 100). */
int32_t ozi_vibe_set_false_detection_factor(vibe_handle_t *vibe_handle, uint32_t value);

/* Processes one luma frame (width x height bytes, no padding, at least
 * 160 x 120).  Writes up to VIBE_MAX_BOXES boxes in frame pixels to `boxes`
 * (an array of VIBE_MAX_BOXES) and returns their number, or -1. */
int32_t ozi_vibe(vibe_handle_t *vibe_handle, const uint8_t *frame, int32_t height,
                 int32_t width, vibe_box *boxes);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif
