/*
 * vibe_reference.h - a slow, literal model of the detector used to check the
 * library bit by bit: it works on a copy of the handle record and runs every
 * per-frame step in the plainest way (no skipping, no vectorising tricks).
 */
#ifndef VIBE_REFERENCE_H
#define VIBE_REFERENCE_H

#include "vibe_internal.h"

namespace vibe_ref {

/* Deliberate faults, to prove that the comparison catches a wrong model. */
enum class fault {
    none,
    isolated_on_snapshot, /* isolated-cell filter tests diagonals on a copy */
};

int32_t vibe(vibe_handle_t *h, const uint8_t *frame, int32_t height, int32_t width,
             vibe_box *boxes, fault f = fault::none);
int32_t mrd(vibe_handle_t *h, vibe_box *boxes);
int32_t alarm(vibe_handle_t *h, vibe_box *boxes, int32_t count);
void isolated(vibe_handle_t *h, fault f = fault::none);

} // namespace vibe_ref

#endif
