/*
 * footage_index.cpp - see footage_index.h.
 *
 * MP4: the moov's tracks give frame counts (stsz), durations (stts), the
 * start of each track (empty edits in elst) and the handler (vide/soun);
 * moov/udta/orgn gives the origin.  AVI: frames are counted in idx1 and
 * timed by the streams' scale and rate; avih's reserved words carry the
 * origin.
 */
#include "footage_index.h"

#include <algorithm>
#include <cinttypes>
#include <cstdarg>
#include <cstdlib>
#include <ctime>
#include <cstdio>
#include <cstring>

namespace footage {

namespace {

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; }
uint64_t be64(const uint8_t *p) { return uint64_t(be32(p)) << 32 | be32(p + 4); }
uint32_t le32(const uint8_t *p) { return uint32_t(p[0]) | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint64_t le64(const uint8_t *p) { return le32(p) | uint64_t(le32(p + 4)) << 32; }

/* A box inside [p, p + n): its type and payload. */
struct Box {
    char type[5] = {0};
    const uint8_t *body = nullptr;
    size_t len = 0;
};

/* Iterates the boxes of a payload; stops at the first malformed one. */
bool next_box(const uint8_t *p, size_t n, size_t *pos, Box *b)
{
    if (*pos + 8 > n)
        return false;
    const uint8_t *h = p + *pos;
    uint64_t size = be32(h);
    size_t head = 8;
    if (size == 1) {
        if (*pos + 16 > n)
            return false;
        size = be64(h + 8);
        head = 16;
    } else if (size == 0) {
        size = n - *pos;
    }
    if (size < head || size > n - *pos)
        return false;
    std::memcpy(b->type, h + 4, 4);
    b->body = h + head;
    b->len = size_t(size) - head;
    *pos += size_t(size);
    return true;
}

bool find_box(const uint8_t *p, size_t n, const char *type, Box *out)
{
    size_t pos = 0;
    Box b;
    while (next_box(p, n, &pos, &b))
        if (std::memcmp(b.type, type, 4) == 0) {
            *out = b;
            return true;
        }
    return false;
}

/* Times of one track in its own time scale, shifted by its edits. */
struct Track {
    char handler[5] = {0};
    uint32_t timescale = 0;
    uint64_t samples = 0;
    uint64_t media_dur = 0;  /* sum of stts */
    double offset_s = 0;     /* presentation time of the first sample */
};

bool parse_trak(const Box &trak, uint32_t movie_scale, Track *t, std::string *err)
{
    Box mdia, mdhd, hdlr, minf, stbl, stts, stsz, edts, elst;
    if (!find_box(trak.body, trak.len, "mdia", &mdia) ||
        !find_box(mdia.body, mdia.len, "mdhd", &mdhd) ||
        !find_box(mdia.body, mdia.len, "hdlr", &hdlr) ||
        !find_box(mdia.body, mdia.len, "minf", &minf) ||
        !find_box(minf.body, minf.len, "stbl", &stbl) ||
        !find_box(stbl.body, stbl.len, "stts", &stts) ||
        !find_box(stbl.body, stbl.len, "stsz", &stsz)) {
        *err = "track without mdia/minf/stbl tables";
        return false;
    }
    const bool v1 = mdhd.len >= 1 && mdhd.body[0] == 1;
    if (mdhd.len < (v1 ? 24u : 16u) || hdlr.len < 12 || stsz.len < 12 || stts.len < 8) {
        *err = "short track box";
        return false;
    }
    t->timescale = be32(mdhd.body + (v1 ? 20 : 12));
    std::memcpy(t->handler, hdlr.body + 8, 4);
    t->samples = be32(stsz.body + 8);
    const uint64_t runs = be32(stts.body + 4);
    if (runs > (stts.len - 8) / 8) {
        *err = "stts shorter than its count";
        return false;
    }
    uint64_t counted = 0;
    for (uint64_t i = 0; i < runs; i++) {
        uint64_t cnt = be32(stts.body + 8 + i * 8), d = be32(stts.body + 12 + i * 8);
        counted += cnt;
        t->media_dur += cnt * d;
    }
    if (t->timescale == 0 || counted != t->samples) {
        *err = "stts and stsz disagree";
        return false;
    }
    /* Empty edits delay the track; the first real edit may skip media. */
    if (find_box(trak.body, trak.len, "edts", &edts) && find_box(edts.body, edts.len, "elst", &elst) &&
        elst.len >= 8 && movie_scale) {
        const bool ev1 = elst.body[0] == 1;
        const size_t rec = ev1 ? 20 : 12;
        const uint64_t cnt = be32(elst.body + 4);
        for (uint64_t i = 0; i < cnt && 8 + (i + 1) * rec <= elst.len; i++) {
            const uint8_t *e = elst.body + 8 + i * rec;
            uint64_t seg = ev1 ? be64(e) : be32(e);
            int64_t media = ev1 ? int64_t(be64(e + 8)) : int64_t(int32_t(be32(e + 4)));
            if (media == -1) {
                t->offset_s += double(seg) / movie_scale;
                continue;
            }
            t->offset_s -= double(media) / t->timescale;
            break;
        }
    }
    return true;
}

int64_t to_ms(double s) { return int64_t(s * 1000 + (s >= 0 ? 0.5 : -0.5)); }

bool take_span(const Track &t, Span *s)
{
    s->frames = uint32_t(t.samples);
    s->first_ms = to_ms(t.offset_s);
    s->end_ms = to_ms(t.offset_s + double(t.media_dur) / t.timescale);
    return true;
}

} // namespace

bool parse_moov(const uint8_t *p, size_t n, FileIndex *out)
{
    out->container = "mp4";
    Box moov, mvhd, b;
    size_t pos = 0;
    if (!next_box(p, n, &pos, &moov) || std::memcmp(moov.type, "moov", 4) != 0) {
        out->error = "no moov box";
        return false;
    }
    if (!find_box(moov.body, moov.len, "mvhd", &mvhd) || mvhd.len < 20) {
        out->error = "no mvhd";
        return false;
    }
    const uint32_t movie_scale = be32(mvhd.body + (mvhd.body[0] == 1 ? 20 : 12));
    bool video = false, audio = false;
    pos = 0;
    while (next_box(moov.body, moov.len, &pos, &b)) {
        if (std::memcmp(b.type, "trak", 4) == 0) {
            Track t;
            if (!parse_trak(b, movie_scale, &t, &out->error))
                return false;
            if (std::memcmp(t.handler, "vide", 4) == 0 && !video)
                video = take_span(t, &out->video);
            else if (std::memcmp(t.handler, "soun", 4) == 0 && !audio)
                audio = take_span(t, &out->audio);
        } else if (std::memcmp(b.type, "udta", 4) == 0) {
            Box o;
            if (find_box(b.body, b.len, "orgn", &o) && o.len >= 20) {
                out->origin_wall_ms = int64_t(be64(o.body + 4));
                out->origin_ts_ms = be64(o.body + 12);
            }
        }
    }
    if (!video && !audio) {
        out->error = "no audio or video track";
        return false;
    }
    out->indexed = true;
    return true;
}

bool parse_avi(const uint8_t *hdrl, size_t hn, const uint8_t *idx1, size_t in, FileIndex *out)
{
    out->container = "avi";
    if (hn < 12 || std::memcmp(hdrl, "LIST", 4) != 0 || std::memcmp(hdrl + 8, "hdrl", 4) != 0) {
        out->error = "no hdrl list";
        return false;
    }
    /* Per stream: fourcc type, scale, rate, start. */
    struct Strm {
        char type[4];
        uint32_t scale, rate, start;
        uint64_t chunks;
    };
    std::vector<Strm> strm;
    const size_t end = std::min<size_t>(hn, 8 + uint64_t(le32(hdrl + 4)));
    for (size_t pos = 12; pos + 8 <= end;) {
        const uint8_t *c = hdrl + pos;
        const uint32_t len = le32(c + 4);
        if (len > end - pos - 8)
            break;
        if (std::memcmp(c, "avih", 4) == 0 && len >= 56) {
            out->origin_wall_ms = int64_t(le64(c + 8 + 40));
            out->origin_ts_ms = le64(c + 8 + 48);
        } else if (std::memcmp(c, "LIST", 4) == 0 && len >= 4 + 8 + 36 &&
                   std::memcmp(c + 8, "strl", 4) == 0 && std::memcmp(c + 12, "strh", 4) == 0) {
            const uint8_t *h = c + 20;
            Strm s;
            std::memcpy(s.type, h, 4);
            s.scale = le32(h + 20);
            s.rate = le32(h + 24);
            s.start = le32(h + 28);
            s.chunks = 0;
            strm.push_back(s);
        }
        pos += 8 + len + (len & 1);
    }
    if (strm.empty()) {
        out->error = "no stream headers";
        return false;
    }
    if (!idx1 || in < 8 || std::memcmp(idx1, "idx1", 4) != 0) {
        out->error = "no idx1 index";
        return false;
    }
    const size_t n = std::min<size_t>(le32(idx1 + 4), in - 8) / 16;
    for (size_t i = 0; i < n; i++) {
        const uint8_t *e = idx1 + 8 + i * 16;
        if (e[0] < '0' || e[0] > '9' || e[1] < '0' || e[1] > '9')
            continue;
        size_t k = size_t(e[0] - '0') * 10 + size_t(e[1] - '0');
        if (k < strm.size())
            strm[k].chunks++;
    }
    bool any = false;
    for (const Strm &s : strm) {
        Span *span = std::memcmp(s.type, "vids", 4) == 0 ? &out->video
                     : std::memcmp(s.type, "auds", 4) == 0 ? &out->audio : nullptr;
        if (!span || span->frames || s.rate == 0)
            continue;
        span->frames = uint32_t(s.chunks);
        span->first_ms = to_ms(double(s.start) * s.scale / s.rate);
        span->end_ms = to_ms(double(s.start + s.chunks) * s.scale / s.rate);
        any = true;
    }
    if (!any) {
        out->error = "no audio or video stream";
        return false;
    }
    out->indexed = true;
    return true;
}

FileIndex read_index(const Reader &rd, uint64_t size)
{
    FileIndex fi;
    uint8_t h[16];
    if (size < 12 || !rd(0, 12, h)) {
        fi.error = "too short";
        return fi;
    }
    if (std::memcmp(h, "RIFF", 4) == 0 && std::memcmp(h + 8, "AVI ", 4) == 0) {
        fi.container = "avi";
        std::vector<uint8_t> hdrl, idx1;
        for (uint64_t pos = 12; pos + 8 <= size;) {
            if (!rd(pos, 8, h))
                break;
            const uint64_t len = le32(h + 4);
            const bool is_hdrl = std::memcmp(h, "LIST", 4) == 0 && pos + 12 <= size &&
                                 rd(pos + 8, 4, h + 8) && std::memcmp(h + 8, "hdrl", 4) == 0;
            std::vector<uint8_t> *dst = is_hdrl ? &hdrl : std::memcmp(h, "idx1", 4) == 0 ? &idx1 : nullptr;
            if (dst && len <= (64u << 20) && pos + 8 + len <= size) {
                dst->resize(size_t(len) + 8);
                if (!rd(pos, dst->size(), dst->data()))
                    dst->clear();
            }
            if (len == 0 && std::memcmp(h, "LIST", 4) == 0 && !is_hdrl)
                break; /* movi of a file still being written */
            pos += 8 + len + (len & 1);
        }
        parse_avi(hdrl.data(), hdrl.size(), idx1.empty() ? nullptr : idx1.data(), idx1.size(), &fi);
        return fi;
    }
    fi.container = "mp4";
    for (uint64_t pos = 0; pos + 8 <= size;) {
        if (!rd(pos, 8, h))
            break;
        uint64_t box = be32(h);
        if (box == 1) {
            if (!rd(pos + 8, 8, h + 8))
                break;
            box = be64(h + 8);
        } else if (box == 0) {
            box = size - pos; /* to the end: an mdat still being written */
        }
        if (box < 8 || box > size - pos)
            break;
        if (std::memcmp(h + 4, "moov", 4) == 0 && box <= (256u << 20)) {
            std::vector<uint8_t> moov(static_cast<size_t>(box));
            if (rd(pos, moov.size(), moov.data()))
                parse_moov(moov.data(), moov.size(), &fi);
            else
                fi.error = "moov cut short";
            return fi;
        }
        pos += box;
    }
    fi.error = "no moov box";
    return fi;
}

bool parse_name(const std::string &rel, NameInfo *out)
{
    *out = NameInfo{};
    const size_t slash = rel.rfind('/');
    if (slash == std::string::npos || slash < 8)
        return false;
    const std::string dir = rel.substr(slash - 8, 8);
    std::string base = rel.substr(slash + 1);
    auto digits = [](const std::string &s) {
        return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
    };
    if (!digits(dir) || (slash > 8 && rel[slash - 9] != '/'))
        return false;
    const size_t dot = base.rfind('.');
    if (dot == std::string::npos)
        return false;
    out->ext = base.substr(dot + 1);
    if (out->ext != "mp4" && out->ext != "avi")
        return false;
    base.resize(dot);
    if (base.compare(0, 6, "tavro_") == 0)
        base.erase(0, 6);
    else
        out->repaired = true;
    /* HHMMSS_<ms>[_k] */
    if (base.size() < 7 + 8 || base[6] != '_')
        return false;
    const std::string hms = base.substr(0, 6);
    std::string ms = base.substr(7);
    const size_t us = ms.find('_');
    if (us != std::string::npos) {
        if (!digits(ms.substr(us + 1)))
            return false;
        ms.resize(us);
    }
    if (!digits(hms) || !digits(ms) || ms.size() < 8 || ms.size() > 18)
        return false;
    out->year = std::stoi(dir.substr(0, 4));
    out->mon = std::stoi(dir.substr(4, 2));
    out->day = std::stoi(dir.substr(6, 2));
    out->hour = std::stoi(hms.substr(0, 2));
    out->min = std::stoi(hms.substr(2, 2));
    out->sec = std::stoi(hms.substr(4, 2));
    out->ms = std::stoull(ms);
    return out->mon >= 1 && out->mon <= 12 && out->day >= 1 && out->day <= 31 && out->hour < 24 &&
           out->min < 60 && out->sec < 61;
}

void build_listing(std::vector<Entry> *entries, const LocalToWall &to_wall)
{
    for (Entry &e : *entries) {
        const FileIndex &x = e.index;
        const bool video = x.indexed && x.video.frames > 0;
        const Span &s = video ? x.video : x.audio;
        if (x.indexed)
            e.length_ms = s.end_ms - s.first_ms;
        else if (e.named)
            e.length_ms = int64_t(e.name.ms);
        if (x.indexed && x.origin_wall_ms)
            e.start_wall_ms = x.origin_wall_ms + s.first_ms;
        else if (e.named)
            e.start_wall_ms = to_wall(e.name);
    }
    std::stable_sort(entries->begin(), entries->end(), [](const Entry &a, const Entry &b) {
        return a.start_wall_ms < b.start_wall_ms;
    });
    for (size_t i = 0; i + 1 < entries->size(); i++) {
        Entry &a = (*entries)[i];
        const Entry &b = (*entries)[i + 1];
        a.has_next = true;
        a.gap_ms = b.start_wall_ms - (a.start_wall_ms + a.length_ms);
        const FileIndex &x = a.index, &y = b.index;
        if (!x.indexed || !y.indexed || !x.origin_ts_ms || !y.origin_ts_ms)
            continue;
        const Span &sa = x.video.frames ? x.video : x.audio;
        const Span &sb = y.video.frames ? y.video : y.audio;
        const int64_t on_frames = int64_t(y.origin_ts_ms + uint64_t(sb.first_ms)) -
                                  int64_t(x.origin_ts_ms + uint64_t(sa.end_ms));
        if (std::llabs(on_frames - a.gap_ms) <= 2000)
            a.gap_ms = on_frames;
    }
}

namespace {

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...)
{
    char buf[512];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buf, sizeof buf, f, ap);
    va_end(ap);
    return buf;
}

std::string secs(int64_t ms)
{
    const int64_t a = ms < 0 ? -ms : ms;
    return fmt("%s%" PRId64 ".%03d", ms < 0 ? "-" : "", a / 1000, int(a % 1000));
}

std::string json_str(const std::string &s)
{
    std::string o = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\')
            o += '\\';
        if (static_cast<unsigned char>(c) < 0x20)
            o += fmt("\\u%04x", c);
        else
            o += c;
    }
    return o + "\"";
}

} // namespace

std::string format_text(const std::vector<Entry> &entries)
{
    std::string o = fmt("%-40s %-23s %10s %6s %6s %9s %9s %9s\n", "file", "start (wall)", "length s",
                        "video", "audio", "a.head s", "a.tail s", "gap s");
    int64_t total = 0;
    for (const Entry &e : entries) {
        std::string start = "-";
        if (e.start_wall_ms) {
            time_t t = time_t(e.start_wall_ms / 1000);
            struct tm tm;
            char b[32];
            localtime_r(&t, &tm);
            strftime(b, sizeof b, "%Y-%m-%d %H:%M:%S", &tm);
            start = fmt("%s.%03d", b, int(e.start_wall_ms % 1000));
        }
        const FileIndex &x = e.index;
        if (!x.indexed) {
            o += fmt("%-40s %-23s %10s  no index: %s\n", e.path.c_str(), start.c_str(),
                     e.named ? secs(e.length_ms).c_str() : "-", x.error.c_str());
            continue;
        }
        total += e.length_ms;
        const bool both = x.video.frames && x.audio.frames;
        o += fmt("%-40s %-23s %10s %6u %6u %9s %9s %9s\n", e.path.c_str(), start.c_str(),
                 secs(e.length_ms).c_str(), x.video.frames, x.audio.frames,
                 both ? secs(x.audio.first_ms - x.video.first_ms).c_str() : "-",
                 both ? secs(x.video.end_ms - x.audio.end_ms).c_str() : "-",
                 e.has_next ? secs(e.gap_ms).c_str() : "-");
    }
    o += fmt("%zu files, %s s of footage\n", entries.size(), secs(total).c_str());
    return o;
}

std::string format_json(const std::string &dir, const std::vector<Entry> &entries)
{
    std::string o = "{\"dir\":" + json_str(dir) + ",\"files\":[";
    for (size_t i = 0; i < entries.size(); i++) {
        const Entry &e = entries[i];
        const FileIndex &x = e.index;
        o += i ? ",\n" : "\n";
        o += "{\"path\":" + json_str(e.path) + ",\"container\":" + json_str(x.container);
        o += fmt(",\"indexed\":%s,\"repaired\":%s,\"name_ms\":%s,\"start_wall_ms\":%" PRId64
                 ",\"length_ms\":%" PRId64,
                 x.indexed ? "true" : "false", e.named && e.name.repaired ? "true" : "false",
                 e.named ? std::to_string(e.name.ms).c_str() : "null", e.start_wall_ms, e.length_ms);
        if (!x.indexed)
            o += ",\"error\":" + json_str(x.error);
        o += fmt(",\"origin_ts_ms\":%" PRIu64, x.origin_ts_ms);
        o += fmt(",\"video\":{\"frames\":%u,\"first_ms\":%" PRId64 ",\"end_ms\":%" PRId64 "}", x.video.frames,
                 x.video.first_ms, x.video.end_ms);
        o += fmt(",\"audio\":{\"frames\":%u,\"first_ms\":%" PRId64 ",\"end_ms\":%" PRId64 "}", x.audio.frames,
                 x.audio.first_ms, x.audio.end_ms);
        o += e.has_next ? fmt(",\"gap_to_next_ms\":%" PRId64 "}", e.gap_ms) : ",\"gap_to_next_ms\":null}";
    }
    return o + "\n]}\n";
}

} // namespace footage
