/*
 * mrd_internal.h - the detector record and the internal steps of
 * libozi_mrd.  Included by the library and by its tests; callers use
 * ozi_mrd.h only.
 *
 * Internal box coordinates: while a box is in the working list or in the
 * alarm filter its bounds count from 1, so that left 0 marks an empty slot.
 */
#ifndef MRD_INTERNAL_H
#define MRD_INTERNAL_H

#include "ozi_mrd.h"

#ifdef __cplusplus
extern "C" {
#endif

#define MRD_HISTORY_MAX 160
#define MRD_MAX_SEEDS (MRD_GRID_COLS * MRD_GRID_MAX_ROWS)

/* Library-wide constant version text. */
extern const char mrd_lib_version[];

/* The detector record: one zero-filled block per handle.  Field order and
 * types are a fixed plain C layout. */
struct mrd_handle {
    uint16_t seed_threshold;    /* a cell at or above this starts a region */
    uint16_t grow_threshold;    /* a cell at or above this extends a region */
    int32_t motion_region_min;  /* smallest accepted area, cells */
    int32_t motion_region_max;  /* largest accepted area, cells */
    uint8_t mode;               /* 0 = alarm filter, else raw boxes */
    int32_t region_left;        /* detection region counted from 1; 0 = none */
    int32_t region_top;
    int32_t region_right;
    int32_t region_bottom;      /* without a region: rows of the last call - 1 */
    int32_t fw_confirm_frames;  /* matched calls before a box enters the history */
    int32_t fw_alarm_hits;      /* hits an entry needs beyond which a box alarms */
    int32_t fw_speed;           /* squared centre displacement per call, cells^2 */
    int32_t fw_min_width;       /* smallest trackable box, cells */
    int32_t fw_min_height;
    int32_t fw_history_frames;  /* life of a history entry, calls */
    mrd_box prev_boxes[MRD_MAX_BOXES];        /* valid boxes of the previous call, tag = track count */
    int32_t prev_count;
    mrd_box history[MRD_HISTORY_MAX];         /* confirmed boxes, tag = remaining life */
    int32_t history_hits[MRD_HISTORY_MAX];
    int32_t history_count;
};

/* Grows `box` (bounds counted from 0) over cells at or above
 * grow_threshold, inside the search window the handle's region describes
 * (the whole width and rows 0..region_bottom when no region is set).  The
 * grid must hold every row of that window. */
void mrd_expand(mrd_handle_t *mrd_handle, const uint16_t *grid, mrd_box *box);

/* Copies all five fields. */
void mrd_member_copy(mrd_box *dst, const mrd_box *src);

/* 1 when the box (bounds counted from 1, inside the grid) is large enough
 * for tracking and at least 36 % of its cells reach grow_threshold;
 * `len` and `tag` are not read. */
int32_t mrd_Is_valid_rect(mrd_handle_t *mrd_handle, const uint16_t *grid, int32_t len,
                          int32_t left, int32_t top, int32_t right, int32_t bottom, int32_t tag);

/* Floating-wadding alarm filter over `count` boxes (bounds counted from 1,
 * tag 1).  Leaves the alarm boxes in front of `boxes`, zeros behind them,
 * and returns their number. */
int32_t mrd_alarm(mrd_handle_t *mrd_handle, const uint16_t *grid, int32_t len, mrd_box *boxes,
                  int32_t count);

#ifdef __cplusplus
}
#endif

#endif /* MRD_INTERNAL_H */
