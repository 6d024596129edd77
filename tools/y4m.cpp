/*
 * y4m.cpp - YUV4MPEG2 stream header and frame reading.
 */
#include "y4m.h"

#include <cstdlib>
#include <sstream>

namespace y4m {

namespace {

constexpr int kMaxSide = 16384;
constexpr size_t kMaxLine = 4096;

bool parse_side(const std::string &v, int *out)
{
    if (v.empty() || v.size() > 6)
        return false;
    for (char c : v)
        if (c < '0' || c > '9')
            return false;
    const int n = std::atoi(v.c_str());
    if (n < 1 || n > kMaxSide)
        return false;
    *out = n;
    return true;
}

} // namespace

bool parse_header(const std::string &line, Header *h, std::string *err)
{
    static const std::string magic = "YUV4MPEG2";
    if (line.compare(0, magic.size(), magic) != 0 ||
        (line.size() > magic.size() && line[magic.size()] != ' ')) {
        *err = "not a YUV4MPEG2 stream";
        return false;
    }
    Header r;
    std::istringstream tokens(line.substr(magic.size()));
    std::string tok;
    while (tokens >> tok) {
        const std::string v = tok.substr(1);
        switch (tok[0]) {
        case 'W':
            if (!parse_side(v, &r.width)) { *err = "bad width " + v; return false; }
            break;
        case 'H':
            if (!parse_side(v, &r.height)) { *err = "bad height " + v; return false; }
            break;
        case 'C': r.colorspace = v; break;
        default: break;  // frame rate, interlacing, aspect, extensions
        }
    }
    if (r.width == 0 || r.height == 0) {
        *err = "stream header lacks W or H";
        return false;
    }
    const size_t w = size_t(r.width), hh = size_t(r.height);
    const size_t cw = (w + 1) / 2, ch = (hh + 1) / 2;
    const std::string &cs = r.colorspace;
    if (cs == "420" || cs == "420jpeg" || cs == "420paldv" || cs == "420mpeg2") {
        r.chroma_bytes = 2 * cw * ch;
    } else if (cs == "422") {
        r.chroma_bytes = 2 * cw * hh;
    } else if (cs == "444") {
        r.chroma_bytes = 2 * w * hh;
    } else if (cs == "444alpha") {
        r.chroma_bytes = 3 * w * hh;
    } else if (cs == "mono") {
        r.chroma_bytes = 0;
    } else {
        *err = "unsupported colour space C" + cs + " (8-bit 420, 422, 444 or mono only)";
        return false;
    }
    *h = r;
    return true;
}

bool is_frame_line(const std::string &line)
{
    return line.compare(0, 5, "FRAME") == 0 && (line.size() == 5 || line[5] == ' ');
}

bool Reader::read_line(std::string *line, size_t limit)
{
    line->clear();
    int c;
    while ((c = std::fgetc(in_)) != EOF && c != '\n') {
        if (line->size() >= limit)
            return false;
        line->push_back(char(c));
    }
    return c == '\n';
}

bool Reader::open(std::string *err)
{
    std::string line;
    if (!read_line(&line, kMaxLine)) {
        *err = line.empty() ? "empty input" : "stream header too long or unterminated";
        return false;
    }
    return parse_header(line, &h_, err);
}

int Reader::next(std::vector<uint8_t> *luma, std::string *err)
{
    std::string line;
    if (!read_line(&line, kMaxLine)) {
        if (line.empty() && std::feof(in_))
            return 0;
        *err = "truncated or overlong frame header";
        return -1;
    }
    if (!is_frame_line(line)) {
        *err = "expected FRAME, got \"" + line.substr(0, 32) + "\"";
        return -1;
    }
    const size_t n = size_t(h_.width) * size_t(h_.height);
    luma->resize(n);
    if (std::fread(luma->data(), 1, n, in_) != n) {
        *err = "truncated frame";
        return -1;
    }
    /* Chroma is not needed: skip it without seeking (the input may be a pipe). */
    char skip[4096];
    size_t left = h_.chroma_bytes;
    while (left > 0) {
        const size_t k = left < sizeof skip ? left : sizeof skip;
        if (std::fread(skip, 1, k, in_) != k) {
            *err = "truncated frame";
            return -1;
        }
        left -= k;
    }
    return 1;
}

} // namespace y4m
