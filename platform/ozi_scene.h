/*
 * ozi_scene.h - the picture in front of the emulated camera sensor.
 *
 * A scene renders planar I420 pictures of one size.  By default it is
 * synthetic and looks like a camera's view of a room: a textured wall
 * with a window and a tiled floor, a light level that drifts by a few
 * percent over tens of seconds, three objects moving along fixed paths,
 * temporal sensor noise in every pixel, and the wall-clock time drawn in
 * the top-left corner.  Everything but the clock is a function of the
 * frame number and the frame rate only.
 * With OZI_SCENE_FILE naming a video file, the file's pictures, scaled to
 * the scene's size and looped at the end, replace the synthetic ones; the
 * clock is drawn on them too.  Scenes of one file share one decoder, as
 * channels share one sensor: each shows the file's picture due at its
 * frame's time (frame number / frame rate), the file playing at its own
 * rate from the first picture any of them asked for.
 *
 * A scene may render on several threads at once; creating and destroying
 * it are the caller's to order against its use.
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

/* Renders frame number `index` (at the scene's frame rate, counted from
 * any fixed instant) into `i420` (width*height*3/2 bytes) with the clock
 * showing `wall` in local time. */
void ozi__scene_render(struct ozi__scene *scene, uint32_t index, time_t wall, uint8_t *i420);

/* Draws the A/V sync mark: a 2x2 checker of white and black squares,
 * each width/16 x height/16, in the top-right corner (white top-left and
 * bottom-right).  The capture shows it on the one picture of each second
 * whose capture time is the whole second, when the microphone starts its
 * sync tone. */
void ozi__scene_draw_sync_mark(uint8_t *i420, int width, int height);

/* Draws "YYYY-MM-DD HH:MM:SS" of `wall` (local time) into the luma and
 * chroma planes at (x, y), digits `digit_h` rows high.  Clipped to the
 * picture. */
void ozi__draw_clock(uint8_t *i420, int width, int height, int x, int y, int digit_h,
                     time_t wall);

#ifdef __cplusplus
}
#endif

#endif /* OZI_SCENE_H */
