/*
 * ozi_mrd.h - motion-region detector (libozi_mrd).
 *
 * The caller supplies, once per frame, a grid of 16-bit activity values,
 * 32 cells per row and 1 to 32 rows, rows stored one after another.  The
 * detector grows seed cells into rectangles, keeps those of acceptable
 * area sorted largest first, and (in mode 0) passes them through a
 * floating-wadding alarm filter that reports only motion confirmed over
 * several calls.  Boxes come back in grid cells, counted from 0, bounds
 * inclusive.
 *
 * Usage:
 *     mrd_handle_t *h = ozi_mrd_init();
 *     ozi_mrd_set_floating_wadding_params(h, 3, 2, 4, 200, 1, 1);
 *     mrd_box boxes[MRD_MAX_BOXES];
 *     int n = ozi_mrd(h, grid, 24, boxes);      // once per frame
 *     ozi_mrd_destroy(h);
 *
 * Results are 0 for success and -1 for failure; a null handle prints
 * "mrd_handle is NULL" on standard output.  No threads, no locks: a handle
 * must be used by one thread at a time.  Nothing is allocated per call.
 */
#ifndef OZI_MRD_H
#define OZI_MRD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The library is built with hidden symbols; what this header declares is
 * its exported interface. */
#if defined(__GNUC__)
#pragma GCC visibility push(default)
#endif

/* Size of every box list: the caller's output array has this many slots. */
#define MRD_MAX_BOXES 20
/* Grid width in cells and the largest number of rows. */
#define MRD_GRID_COLS 32
#define MRD_GRID_MAX_ROWS 32

/* One rectangle in grid cells, bounds inclusive.  Returned boxes have tag 1. */
typedef struct mrd_box {
    int32_t left;
    int32_t top;
    int32_t right;
    int32_t bottom;
    int32_t tag;
} mrd_box;

/* The detector; its layout is private to the library. */
typedef struct mrd_handle mrd_handle_t;

/* New detector with the default settings, or null ("memory allocation
 * failed!").  Prints the version banner. */
mrd_handle_t *ozi_mrd_init(void);
int32_t ozi_mrd_destroy(mrd_handle_t *mrd_handle);
/* "MRD Lib V1.0.06"; the library's own storage. */
const char *ozi_mrd_get_version(void);
/* Constant version text of the library, "MRD Lib V1.0.06". */
extern const char mrd_lib_version[];

/* Seed and grow thresholds: the larger value seeds, the smaller grows;
 * each keeps its low 16 bits. */
int32_t ozi_mrd_set_filters(mrd_handle_t *mrd_handle, uint32_t a, uint32_t b);
/* Accepted region areas in cells; negatives count by their magnitude. */
int32_t ozi_mrd_set_motion_region_size(mrd_handle_t *mrd_handle, int32_t a, int32_t b);
/* Detection region for grids of `len` rows (1 to 32), bounds counted
 * from 1 and limited to the grid; -1 when len is out of range. */
int32_t ozi_mrd_set_detection_region(mrd_handle_t *mrd_handle, int32_t len, int32_t left,
                                     int32_t top, int32_t right, int32_t bottom);
/* 0 = alarm filter on; anything else = raw boxes.  A different mode
 * forgets every track. */
int32_t ozi_mrd_set_mode(mrd_handle_t *mrd_handle, int32_t mode);
/* Alarm filter parameters, stored as given; tracks are kept. */
int32_t ozi_mrd_set_floating_wadding_params(mrd_handle_t *mrd_handle, int32_t confirm_frames,
                                            int32_t alarm_hits, int32_t history_frames,
                                            int32_t speed, int32_t min_width, int32_t min_height);
/* Exchanges two 16-bit values. */
void mrd_swap(uint16_t *a, uint16_t *b);

/* Main entry: boxes found in `grid`, written to the caller's 20-slot
 * array, the rest zeroed.  Returns their number, or -1 for a null handle.
 * `len` is limited to 1..32.  Without a detection region the window is
 * rows 0 to len - 1 and only those rows are read.  With a region set the
 * window is the region's rows on every call, whatever `len` is: the grid
 * must then hold 32 cells for every row up to the region's bottom row. */
int32_t ozi_mrd(mrd_handle_t *mrd_handle, const uint16_t *grid, int32_t len, mrd_box *boxes);

#if defined(__GNUC__)
#pragma GCC visibility pop
#endif

#ifdef __cplusplus
}
#endif

#endif /* OZI_MRD_H */
