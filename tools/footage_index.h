/*
 * footage_index.h - what a record directory holds, read from the file names
 * and from the files' own indexes (MP4 moov, AVI idx1).
 *
 * Pure functions: the file reader is passed in, no clocks, no directories.
 * record_index.cpp walks a directory with them; tests and benchmarks use
 * them on muxer-made files.
 */
#ifndef FOOTAGE_INDEX_H
#define FOOTAGE_INDEX_H

#include <stddef.h>
#include <stdint.h>

#include <functional>
#include <string>
#include <vector>

namespace footage {

/* A track's span, ms relative to the file's origin (its first frame). */
struct Span {
    uint32_t frames = 0;
    int64_t first_ms = 0;  /* time of the first frame */
    int64_t end_ms = 0;    /* end of the last frame (its time + its duration) */
};

/* What a file's own index says. */
struct FileIndex {
    bool indexed = false;     /* a complete index was found */
    std::string error;        /* why not, when !indexed */
    std::string container;    /* "mp4" or "avi" */
    int64_t origin_wall_ms = 0; /* wall clock of the first frame, 0 when unknown */
    uint64_t origin_ts_ms = 0;  /* frame clock of the first frame, 0 when unknown */
    Span video, audio;
};

/* Reads n bytes at off into out; false when they are not all there. */
using Reader = std::function<bool(uint64_t off, size_t n, uint8_t *out)>;

/* Finds and reads the index of an MP4 or AVI file of `size` bytes. */
FileIndex read_index(const Reader &rd, uint64_t size);
/* Parses a whole moov box (header included). */
bool parse_moov(const uint8_t *p, size_t n, FileIndex *out);
/* Parses an AVI's hdrl list (from its "LIST" header) and idx1 chunk (from
 * its "idx1" id); idx1 may be null when the file has none. */
bool parse_avi(const uint8_t *hdrl, size_t hn, const uint8_t *idx1, size_t in, FileIndex *out);

/* What a finished file's name says: "YYYYMMDD/tavro_HHMMSS_<ms>[_k].ext"
 * (recorded) or "YYYYMMDD/HHMMSS_<ms>[_k].ext" (repaired at start-up). */
struct NameInfo {
    int year = 0, mon = 0, day = 0, hour = 0, min = 0, sec = 0;
    uint64_t ms = 0;
    bool repaired = false;
    std::string ext;  /* "mp4" or "avi" */
};
bool parse_name(const std::string &rel_path, NameInfo *out);

/* One file of the listing. */
struct Entry {
    std::string path;       /* relative to the record directory */
    bool named = false;     /* the name parsed */
    NameInfo name;
    FileIndex index;
    int64_t start_wall_ms = 0; /* from the index's origin, else from the name (local time) */
    int64_t length_ms = 0;     /* video span, or audio span without video */
    bool has_next = false;
    int64_t gap_ms = 0;        /* from this file's end to the next one's start */
};

/* Local-time conversion of a name's date, injected so that the listing
 * stays pure (mktime in the command, a fixed zone in tests). */
using LocalToWall = std::function<int64_t(const NameInfo &)>;

/* Fills start and length, orders the entries by start and sets the gaps.
 * Consecutive files with frame-clock origins that agree with the wall
 * clock within 2 s are measured on the frame clock (exact); otherwise on
 * the wall clock. */
void build_listing(std::vector<Entry> *entries, const LocalToWall &to_wall);

/* Text table and JSON of a listing. */
std::string format_text(const std::vector<Entry> &entries);
std::string format_json(const std::string &dir, const std::vector<Entry> &entries);

} // namespace footage

#endif /* FOOTAGE_INDEX_H */
