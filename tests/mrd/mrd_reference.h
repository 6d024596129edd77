/*
 * mrd_reference.h - a slow, obvious model of the motion-region detector
 * for comparison tests: every step written out plainly, with std
 * containers, stable sorting and a vector history.
 */
#ifndef MRD_REFERENCE_H
#define MRD_REFERENCE_H

#include <cstdint>
#include <vector>

#include "ozi_mrd.h"

namespace mrdref {

/* Deliberate faults that prove the comparison notices a wrong detector. */
enum class Fault {
    none,
    equal_area_newest_first, /* equal-area boxes listed newest first */
};

struct Box {
    int32_t left = 0, top = 0, right = 0, bottom = 0, tag = 0;
};

struct Model {
    uint16_t seed = 7000, grow = 4000;
    int32_t region_min = 4, region_max = 300;
    uint8_t mode = 0;
    int32_t rl = 0, rt = 0, rr = 31, rb = 23;
    int32_t confirm = 0, hits = 0, history_frames = 0, speed = 0, min_w = 0, min_h = 0;
    std::vector<Box> prev;           /* valid boxes of the previous call */
    std::vector<Box> history;        /* tag = remaining life */
    std::vector<int32_t> history_hits;
    Fault fault = Fault::none;

    void set_filters(uint32_t a, uint32_t b);
    void set_motion_region_size(int32_t a, int32_t b);
    int set_detection_region(int32_t len, int32_t l, int32_t t, int32_t r, int32_t b);
    void set_mode(int32_t m);
    void set_fw(int32_t c, int32_t h, int32_t f, int32_t s, int32_t w, int32_t hh);
    /* Boxes counted from 0, as the library returns them. */
    std::vector<Box> run(const uint16_t *grid, int32_t len);
};

} // namespace mrdref

#endif
