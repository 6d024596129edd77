/*
 * vibe_internal.h - layout of the detector handle and the library's internal
 * steps.  The steps are exported (tests and tools call them directly) but
 * make no handle check: callers pass a valid handle.
 *
 * Grid: 80 columns x 60 rows of cells; plane index = row * 80 + column.
 */
#ifndef VIBE_INTERNAL_H
#define VIBE_INTERNAL_H

#include <stdint.h>

#include "ozi_vibe.h"

#ifdef __cplusplus
extern "C" {
#endif

#define VIBE_GRID_W 80
#define VIBE_GRID_H 60
#define VIBE_GRID_CELLS (VIBE_GRID_W * VIBE_GRID_H)
#define VIBE_MAX_HISTORY 80
#define VIBE_MIN_WIDTH 160
#define VIBE_MIN_HEIGHT 120

/* Mask values of fg_mask and fd_mask. */
#define VIBE_MASK_WEAK 128
#define VIBE_MASK_STRONG 255

/* box_state values. */
#define VIBE_CELL_FREE 0
#define VIBE_CELL_IN_BOX 2
#define VIBE_CELL_RELEASED 3

/* filtering_flag bits. */
#define VIBE_FILTER_ISOLATED 0x01
#define VIBE_FILTER_SHRINK 0x02
#define VIBE_FILTER_SPLIT 0x04
#define VIBE_FILTER_FRAME_DIFF 0x08

struct vibe_handle_t {
    struct vibe_handle_t *self;              /* own address: validity mark */
    uint8_t background[VIBE_GRID_CELLS];     /* background image of the grid */
    uint8_t fg_mask[VIBE_GRID_CELLS];        /* 0, 128 weak, 255 strong */
    uint8_t label_mask[VIBE_GRID_CELLS];     /* 1 free, 0 taken by a box */
    uint8_t filter_high;                     /* strong gradient threshold */
    uint8_t filter_low;                      /* weak gradient threshold */
    uint8_t frame_difference_filter;         /* still-cell limit */
    uint8_t update_frames;                   /* absorb count of released cells */
    uint8_t absorb_frames;                   /* absorb count of free cells */
    uint32_t motion_region_min;              /* cells */
    uint32_t motion_region_max;              /* cells */
    uint8_t model_ready;                     /* 0: next frame rebuilds the model */
    uint8_t fg_count[VIBE_GRID_CELLS];       /* foreground frames, wraps at 256 */
    uint8_t cur_frame[VIBE_GRID_CELLS];      /* current frame on the grid */
    uint8_t prev_frame[VIBE_GRID_CELLS];     /* previous frame on the grid */
    uint8_t box_state[VIBE_GRID_CELLS];      /* VIBE_CELL_* */
    uint8_t fd_mask[VIBE_GRID_CELLS];        /* 0, 128 weak, 255 strong */
    uint8_t false_detection_factor;          /* percent, at most 100 */
    uint8_t mode;                            /* 0: alarm filter on */
    uint8_t filtering_flag;                  /* VIBE_FILTER_* */
    uint8_t fast_updating_flag;              /* restart on a global change */
    /* Tracking block: cleared as a whole by the floating-wadding setter. */
    int32_t fw_confirm_frames;               /* matched calls to confirm */
    int32_t fw_alarm_hits;                   /* hits to exceed for an alarm */
    int32_t fw_speed;                        /* cells^2 per call */
    int32_t fw_min_width;                    /* cells */
    int32_t fw_min_height;                   /* cells */
    int32_t fw_history_frames;               /* life of an entry, calls */
    vibe_box prev_boxes[VIBE_MAX_BOXES];     /* valid boxes of the last call */
    int32_t prev_count;
    vibe_box history[VIBE_MAX_HISTORY];      /* tag = remaining life */
    int32_t history_hits[VIBE_MAX_HISTORY];
    int32_t history_count;
    uint8_t fw_large_box_factor;             /* area 8 x this doubles speed */
};

/* Main-entry steps (frame reduction, background). */
int32_t vibe_resize_frame(vibe_handle_t *vibe_handle, const uint8_t *frame,
                          int32_t height, int32_t width);
void vibe_background_update(vibe_handle_t *vibe_handle, const vibe_box *box);

/* Box building. */
int32_t vibe_mrd(vibe_handle_t *vibe_handle, vibe_box *boxes);
uint8_t vibe_add_box_record(vibe_handle_t *vibe_handle, vibe_box *boxes, int32_t left,
                            int32_t top, int32_t right, int32_t bottom, int32_t tag,
                            uint8_t count);
int32_t vibe_reorder_boxes(vibe_box *box, vibe_box *boxes, int32_t count);
int32_t vibe_IsAdjacentBoxes(const vibe_box *a, const vibe_box *b);
void vibe_boxes_fuse(vibe_box *a, const vibe_box *b);
void vibe_box_member_copy(vibe_box *dst, const vibe_box *src);
void vibe_member_copy(vibe_box *dst, const vibe_box *src);
int32_t vibe_separate_boxes(vibe_handle_t *vibe_handle, vibe_box *boxes,
                            const vibe_box *region, int32_t count);
int32_t vibe_box_optimizing_gradient_difference(vibe_handle_t *vibe_handle, vibe_box *box);

/* Alarm filter. */
int32_t vibe_Is_valid_rect(vibe_handle_t *vibe_handle, int32_t left, int32_t top,
                           int32_t right, int32_t bottom, int32_t tag);
int32_t vibe_get_floating_wadding_speed(vibe_handle_t *vibe_handle, int32_t left,
                                        int32_t top, int32_t right, int32_t bottom,
                                        int32_t tag);
int32_t vibe_alarm(vibe_handle_t *vibe_handle, vibe_box *boxes, int32_t count);

#ifdef __cplusplus
}
#endif

#endif
