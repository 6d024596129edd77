/*
 * vibe_scene.h - synthetic luma frames for the detector's tests: a smooth
 * static background with per-pixel noise, and textured rectangular objects
 * (checkerboard at the grid's cell size) that move across it.
 */
#ifndef VIBE_SCENE_H
#define VIBE_SCENE_H

#include <cstdint>
#include <vector>

namespace vibe_test {

struct object {
    int x, y, w, h;  /* pixels */
    uint32_t seed;   /* texture pattern */
};

class scene {
public:
    scene(int width, int height, uint32_t seed)
        : w_(width), h_(height), state_(seed * 2654435761u | 1u)
    {
        bg_.resize((size_t)w_ * h_);
        for (int y = 0; y < h_; y++)
            for (int x = 0; x < w_; x++)
                bg_[(size_t)y * w_ + x] = (uint8_t)(60 + (x * 60) / w_ + (y * 40) / h_);
        frame_.resize(bg_.size());
    }

    /* Renders the background (shifted by `offset`, no clipping expected),
     * noise of +-noise and the objects; returns the frame. */
    const std::vector<uint8_t> &render(const std::vector<object> &objs, int noise, int offset = 0)
    {
        const uint32_t span = (uint32_t)(2 * noise + 1);
        for (size_t i = 0; i < bg_.size(); i++) {
            /* xorshift32: cheap enough for full frames in sanitizer builds */
            state_ ^= state_ << 13;
            state_ ^= state_ >> 17;
            state_ ^= state_ << 5;
            frame_[i] = clip(bg_[i] + offset + (noise ? (int)(state_ % span) - noise : 0));
        }
        const int cw = w_ / 80 > 0 ? w_ / 80 : 1, ch = h_ / 60 > 0 ? h_ / 60 : 1;
        for (const object &o : objs)
            for (int y = o.y; y < o.y + o.h; y++)
                for (int x = o.x; x < o.x + o.w; x++) {
                    if (x < 0 || y < 0 || x >= w_ || y >= h_)
                        continue;
                    uint32_t k = (uint32_t)((x - o.x) / cw) * 73856093u ^
                                 (uint32_t)((y - o.y) / ch) * 19349663u ^ o.seed;
                    k ^= k >> 13;
                    k *= 0x5bd1e995u;
                    k ^= k >> 15;
                    frame_[(size_t)y * w_ + x] = (uint8_t)(k & 1 ? 220 : 20);
                }
        return frame_;
    }

    int width() const { return w_; }
    int height() const { return h_; }

private:
    static uint8_t clip(int v) { return (uint8_t)(v < 0 ? 0 : v > 255 ? 255 : v); }
    int w_, h_;
    uint32_t state_;
    std::vector<uint8_t> bg_, frame_;
};

} // namespace vibe_test

#endif
