/*
 * activity_grid.h - turns two consecutive luma frames into the 32 x 24
 * grid of 16-bit activity values that the motion-region detector reads.
 *
 * The frame is cut into 32 columns and 24 rows of blocks (block c spans
 * pixels c*W/32 up to (c+1)*W/32, rows likewise); a block's value is the
 * mean absolute luma difference of its pixels scaled to 16 bits:
 * sum|cur - prev| * 257 / pixels, so 0..255 maps onto 0..65535.  With the
 * detector's default thresholds a block seeds from a mean difference of
 * about 27 grey levels and grows from about 16.
 */
#ifndef TOOLS_ACTIVITY_GRID_H
#define TOOLS_ACTIVITY_GRID_H

#include <cstdint>

namespace activity {

constexpr int kCols = 32;
constexpr int kRows = 24;

/* Fills grid[kRows * kCols].  Frames are width x height bytes; both sides
 * must be at least the grid's (32 x 24).  Returns false otherwise. */
bool make_grid(const uint8_t *prev, const uint8_t *cur, int width, int height, uint16_t *grid);

/* Pixel span of a grid column or row: first and last pixel inclusive. */
int first_pixel(int cell, int cells, int size);
int last_pixel(int cell, int cells, int size);

} // namespace activity

#endif
