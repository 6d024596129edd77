/*
 * y4m.h - reader of YUV4MPEG2 streams (the format of
 * `ffmpeg -i clip.mp4 -f yuv4mpegpipe -`): a stream header line, then per
 * frame a "FRAME" line (optionally with parameters) and the raw planes.
 * Only 8-bit samples are read; the luma plane is what callers use.
 */
#ifndef TOOLS_Y4M_H
#define TOOLS_Y4M_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace y4m {

struct Header {
    int width = 0;
    int height = 0;
    std::string colorspace = "420jpeg";  /* value of the C token */
    size_t chroma_bytes = 0;             /* bytes of the planes after luma */
};

/* Parses one stream header line (without its '\n').  Returns false and
 * sets *err for a malformed header, a size outside 1..16384, or a
 * colour space with samples wider than 8 bits. */
bool parse_header(const std::string &line, Header *h, std::string *err);

/* True when `line` (without '\n') is a frame header: "FRAME", optionally
 * followed by a space and parameters. */
bool is_frame_line(const std::string &line);

/* Reads frames from a stream, keeping the luma plane of each. */
class Reader {
public:
    explicit Reader(std::FILE *in) : in_(in) {}
    /* Reads the stream header; false with *err on failure. */
    bool open(std::string *err);
    /* Reads the next frame's luma into *luma (width x height bytes).
     * Returns 1 for a frame, 0 at a clean end of stream, -1 with *err on
     * a malformed or truncated frame. */
    int next(std::vector<uint8_t> *luma, std::string *err);
    const Header &header() const { return h_; }

private:
    bool read_line(std::string *line, size_t limit);
    std::FILE *in_;
    Header h_;
};

} // namespace y4m

#endif
