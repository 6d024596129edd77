/*
 * snapshot.cpp - drawing box outlines and writing PNG files with libpng.
 */
#include "snapshot.h"

#include <png.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

namespace snapshot {

std::vector<uint8_t> annotate(const uint8_t *luma, int width, int height,
                              const std::vector<Rect> &rects)
{
    std::vector<uint8_t> rgb(size_t(width) * size_t(height) * 3);
    for (size_t i = 0; i < size_t(width) * size_t(height); i++)
        rgb[3 * i] = rgb[3 * i + 1] = rgb[3 * i + 2] = luma[i];
    auto put = [&](int x, int y) {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return;
        uint8_t *p = &rgb[(size_t(y) * size_t(width) + size_t(x)) * 3];
        p[0] = 255;
        p[1] = 0;
        p[2] = 0;
    };
    for (const Rect &r : rects) {
        for (int t = 0; t < 2; t++) {
            for (int x = r.left; x <= r.right; x++) {
                put(x, r.top + t);
                put(x, r.bottom - t);
            }
            for (int y = r.top; y <= r.bottom; y++) {
                put(r.left + t, y);
                put(r.right - t, y);
            }
        }
    }
    return rgb;
}

bool write_png(const std::string &path, const std::vector<uint8_t> &rgb, int width, int height,
               std::string *err)
{
    std::unique_ptr<std::FILE, int (*)(std::FILE *)> f(std::fopen(path.c_str(), "wb"),
                                                        &std::fclose);
    if (!f) {
        *err = "fopen(" + path + ") failed: " + std::strerror(errno);
        return false;
    }
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png ? png_create_info_struct(png) : nullptr;
    if (!png || !info) {
        png_destroy_write_struct(&png, nullptr);
        *err = "png_create_write_struct failed";
        return false;
    }
    std::vector<png_bytep> rows(static_cast<size_t>(height));
    for (int y = 0; y < height; y++)
        rows[size_t(y)] = const_cast<png_bytep>(&rgb[size_t(y) * size_t(width) * 3]);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        *err = "libpng failed writing " + path;
        return false;
    }
    png_init_io(png, f.get());
    png_set_IHDR(png, info, png_uint_32(width), png_uint_32(height), 8, PNG_COLOR_TYPE_RGB,
                 PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_write_info(png, info);
    png_write_image(png, rows.data());
    png_write_end(png, nullptr);
    png_destroy_write_struct(&png, &info);
    if (std::fflush(f.get()) != 0) {
        *err = "write to " + path + " failed: " + std::strerror(errno);
        return false;
    }
    return true;
}

} // namespace snapshot
