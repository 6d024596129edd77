/*
 * activity_grid.cpp - block mean of absolute frame differences.
 */
#include "activity_grid.h"

#include <cstdlib>

namespace activity {

int first_pixel(int cell, int cells, int size)
{
    return int(int64_t(cell) * size / cells);
}

int last_pixel(int cell, int cells, int size)
{
    return int(int64_t(cell + 1) * size / cells) - 1;
}

bool make_grid(const uint8_t *prev, const uint8_t *cur, int width, int height, uint16_t *grid)
{
    if (width < kCols || height < kRows)
        return false;
    for (int r = 0; r < kRows; r++) {
        const int y0 = first_pixel(r, kRows, height), y1 = last_pixel(r, kRows, height);
        for (int c = 0; c < kCols; c++) {
            const int x0 = first_pixel(c, kCols, width), x1 = last_pixel(c, kCols, width);
            uint64_t sum = 0;
            for (int y = y0; y <= y1; y++) {
                const size_t row = size_t(y) * size_t(width);
                for (int x = x0; x <= x1; x++)
                    sum += uint64_t(std::abs(int(cur[row + x]) - int(prev[row + x])));
            }
            const uint64_t pixels = uint64_t(y1 - y0 + 1) * uint64_t(x1 - x0 + 1);
            grid[r * kCols + c] = uint16_t(sum * 257 / pixels);
        }
    }
    return true;
}

} // namespace activity
