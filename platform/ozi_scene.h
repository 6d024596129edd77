/*
 * ozi_scene.h - the picture in front of the emulated camera sensor.
 *
 * A scene renders planar I420 pictures of one size.  By default it is
 * synthetic: a textured background computed once, a few objects moving
 * along fixed paths (their positions depend only on the frame number and
 * the frame rate), and the wall-clock time drawn in the top-left corner.
 * With OZI_SCENE_FILE naming a video file, the file's pictures, scaled to
 * the scene's size and looped at the end, replace the synthetic ones; the
 * clock is drawn on them too.
 *
 * A scene is used by one thread at a time (the caller serialises).
 */
#ifndef OZI_SCENE_H
#define OZI_SCENE_H

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

struct ozi__scene;

/* Creates a scene of width x height (even, >= 16) at `fps` frames per
 * second.  `file` is a video file to loop, or null for the synthetic
 * scene; a file that cannot be opened or decoded is logged once and the
 * synthetic scene is used instead.  Null on bad sizes or no memory. */
struct ozi__scene *ozi__scene_create(int width, int height, int fps, const char *file);
void ozi__scene_destroy(struct ozi__scene *scene);

/* 1 when the scene loops a video file, 0 when it is synthetic. */
int ozi__scene_is_file(const struct ozi__scene *scene);

/* Renders frame number `index` into `i420` (width*height*3/2 bytes) with
 * the clock showing `wall` in local time.  A file scene ignores `index`
 * and shows the file's next picture at each call. */
void ozi__scene_render(struct ozi__scene *scene, uint32_t index, time_t wall, uint8_t *i420);

/* Draws "YYYY-MM-DD HH:MM:SS" of `wall` (local time) into the luma and
 * chroma planes at (x, y), digits `digit_h` rows high.  Clipped to the
 * picture. */
void ozi__draw_clock(uint8_t *i420, int width, int height, int x, int y, int digit_h,
                     time_t wall);

#ifdef __cplusplus
}
#endif

#endif /* OZI_SCENE_H */
