/*
 * snapshot.h - annotated pictures of frames with alarms: the luma plane
 * as grey, each box outlined in red, written as an 8-bit RGB PNG.
 */
#ifndef TOOLS_SNAPSHOT_H
#define TOOLS_SNAPSHOT_H

#include <cstdint>
#include <string>
#include <vector>

namespace snapshot {

struct Rect {
    int left, top, right, bottom;  /* pixels, inclusive */
};

/* Grey RGB picture of the luma plane with the rectangles outlined (two
 * pixels wide, clipped to the picture).  Returns width*height*3 bytes. */
std::vector<uint8_t> annotate(const uint8_t *luma, int width, int height,
                              const std::vector<Rect> &rects);

/* Writes an RGB picture as PNG; false with *err on failure. */
bool write_png(const std::string &path, const std::vector<uint8_t> &rgb, int width, int height,
               std::string *err);

} // namespace snapshot

#endif
