/*
 * motion_detect - runs a motion detector over a YUV4MPEG2 stream and
 * prints one JSON line per frame with the boxes found.
 *
 *   ffmpeg -i clip.mp4 -f yuv4mpegpipe - | motion_detect --detector mrd -
 *
 * vibe: every frame's luma plane goes to ozi_vibe.  mrd: every pair of
 * consecutive frames becomes a 32 x 24 activity grid (activity_grid.h)
 * that goes to ozi_mrd; the first frame is compared with itself.  Boxes
 * are printed in frame pixels, for mrd also in grid cells.  The libraries
 * print their banners and messages on standard output; this program moves
 * those to standard error so that standard output carries only JSON.
 */
#include <getopt.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "activity_grid.h"
#include "ozi_mrd.h"
#include "ozi_vibe.h"
#include "snapshot.h"
#include "y4m.h"

namespace {

const char kUsage[] =
    "usage: motion_detect [options] [INPUT]\n"
    "\n"
    "Reads a YUV4MPEG2 stream (8-bit 4:2:0, 4:2:2, 4:4:4 or mono) from INPUT or,\n"
    "when INPUT is '-' or absent, from standard input, e.g.\n"
    "  ffmpeg -i clip.mp4 -f yuv4mpegpipe - | motion_detect --detector mrd\n"
    "and prints one JSON line per frame:\n"
    "  {\"frame\":N,\"detector\":\"vibe\",\"count\":K,\"boxes\":[[left,top,right,bottom,tag],...]}\n"
    "Boxes are in frame pixels, bounds inclusive.  mrd lines add \"cells\": the same\n"
    "boxes in grid cells (32 columns x 24 rows).\n"
    "\n"
    "  -d, --detector vibe|mrd   detector (default vibe)\n"
    "  -s, --snapshots DIR       write DIR/frame_NNNNNN.png (grey luma, boxes in red)\n"
    "                            for every frame with at least one box\n"
    "  -n, --max-frames N        stop after N frames\n"
    "  -h, --help                this text\n"
    "\n"
    "Detector settings (each calls the library's setter; unset ones keep the\n"
    "library's defaults):\n"
    "  --mode N                  0 = alarm filter (default), other = raw boxes\n"
    "  --filters A,B             vibe: strong/weak gradient thresholds (20,15)\n"
    "                            mrd: seed/grow activity thresholds (7000,4000)\n"
    "  --motion-region-size A,B  smallest and largest area in cells\n"
    "                            (vibe 30,2400; mrd 4,300)\n"
    "  --fw-params C,H,F,S,W,HT[,L]\n"
    "                            alarm filter: confirm frames, alarm hits, history\n"
    "                            frames, speed, min width, min height; vibe also\n"
    "                            takes the large-box factor L (vibe 3,2,4,200,4,6,0;\n"
    "                            mrd all 0, so in mode 0 mrd alarms only on boxes\n"
    "                            that stay where they were: try 3,2,4,200,1,1)\n"
    "  --detection-region LEN,L,T,R,B\n"
    "                            mrd: search only columns L..R and rows T..B,\n"
    "                            counted from 1, of a LEN-row grid (LEN 24 here)\n"
    "  --frame-difference-filter N   vibe (8)\n"
    "  --update-frames N             vibe (10)\n"
    "  --filtering-flag N            vibe (11)\n"
    "  --fast-updating-flag N        vibe (1)\n"
    "  --false-detection-factor N    vibe (92)\n"
    "\n"
    "mrd activity grid: the frame is cut into 32 x 24 blocks and each block's value\n"
    "is the mean absolute luma difference from the previous frame times 257\n"
    "(0..255 -> 0..65535).  The first frame has no predecessor: its grid is all zero.\n"
    "\n"
    "Exit status: 0 at the end of the stream, 1 on a bad option or input, 2 when a\n"
    "snapshot cannot be written.\n";

struct Options {
    std::string detector = "vibe";
    std::string input = "-";
    std::string snapshots;
    long max_frames = -1;
    /* Setter calls, applied in this order when given. */
    bool has_mode = false;
    int32_t mode = 0;
    std::vector<long long> filters, region_size, fw, detection_region;
    bool has_fdf = false, has_update = false, has_flag = false, has_fast = false,
         has_false = false;
    int32_t fdf = 0, update = 0, flag = 0, fast = 0;
    uint32_t false_factor = 0;
};

bool parse_int(const char *s, long long lo, long long hi, long long *out)
{
    char *end = nullptr;
    errno = 0;
    const long long v = std::strtoll(s, &end, 0);
    if (errno || end == s || *end || v < lo || v > hi)
        return false;
    *out = v;
    return true;
}

/* Comma-separated integers; each within 32-bit signed or unsigned range. */
bool parse_list(const char *s, size_t min_n, size_t max_n, std::vector<long long> *out)
{
    out->clear();
    std::string text(s);
    size_t pos = 0;
    while (true) {
        const size_t comma = text.find(',', pos);
        const std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos
                                                                              : comma - pos);
        long long v;
        if (!parse_int(item.c_str(), INT32_MIN, UINT32_MAX, &v))
            return false;
        out->push_back(v);
        if (comma == std::string::npos)
            break;
        pos = comma + 1;
    }
    return out->size() >= min_n && out->size() <= max_n;
}

enum LongOnly {
    OPT_MODE = 256, OPT_FILTERS, OPT_REGION_SIZE, OPT_FW, OPT_DETECTION_REGION, OPT_FDF,
    OPT_UPDATE, OPT_FLAG, OPT_FAST, OPT_FALSE,
};

int usage_error(const std::string &msg)
{
    std::fprintf(stderr, "motion_detect: %s\n(try --help)\n", msg.c_str());
    return 1;
}

/* Returns -1 to go on, else the exit status. */
int parse_options(int argc, char **argv, Options *o)
{
    static const option longs[] = {
        {"detector", required_argument, nullptr, 'd'},
        {"snapshots", required_argument, nullptr, 's'},
        {"max-frames", required_argument, nullptr, 'n'},
        {"help", no_argument, nullptr, 'h'},
        {"mode", required_argument, nullptr, OPT_MODE},
        {"filters", required_argument, nullptr, OPT_FILTERS},
        {"motion-region-size", required_argument, nullptr, OPT_REGION_SIZE},
        {"fw-params", required_argument, nullptr, OPT_FW},
        {"detection-region", required_argument, nullptr, OPT_DETECTION_REGION},
        {"frame-difference-filter", required_argument, nullptr, OPT_FDF},
        {"update-frames", required_argument, nullptr, OPT_UPDATE},
        {"filtering-flag", required_argument, nullptr, OPT_FLAG},
        {"fast-updating-flag", required_argument, nullptr, OPT_FAST},
        {"false-detection-factor", required_argument, nullptr, OPT_FALSE},
        {nullptr, 0, nullptr, 0},
    };
    bool vibe_only = false, mrd_only = false;
    int c;
    long long v;
    while ((c = getopt_long(argc, argv, "d:s:n:h", longs, nullptr)) != -1) {
        const std::string name = optind > 0 && optind <= argc ? argv[optind - 1] : "";
        switch (c) {
        case 'd': o->detector = optarg; break;
        case 's': o->snapshots = optarg; break;
        case 'n':
            if (!parse_int(optarg, 0, INT32_MAX, &v)) return usage_error("bad --max-frames");
            o->max_frames = long(v);
            break;
        case 'h': std::fputs(kUsage, stdout); return 0;
        case OPT_MODE:
            if (!parse_int(optarg, INT32_MIN, INT32_MAX, &v)) return usage_error("bad --mode");
            o->has_mode = true;
            o->mode = int32_t(v);
            break;
        case OPT_FILTERS:
            if (!parse_list(optarg, 2, 2, &o->filters)) return usage_error("--filters needs A,B");
            break;
        case OPT_REGION_SIZE:
            if (!parse_list(optarg, 2, 2, &o->region_size))
                return usage_error("--motion-region-size needs A,B");
            break;
        case OPT_FW:
            if (!parse_list(optarg, 6, 7, &o->fw))
                return usage_error("--fw-params needs C,H,F,S,W,HT[,L]");
            break;
        case OPT_DETECTION_REGION:
            if (!parse_list(optarg, 5, 5, &o->detection_region))
                return usage_error("--detection-region needs LEN,L,T,R,B");
            mrd_only = true;
            break;
        case OPT_FDF: case OPT_UPDATE: case OPT_FLAG: case OPT_FAST: case OPT_FALSE:
            if (!parse_int(optarg, INT32_MIN, UINT32_MAX, &v))
                return usage_error("bad value for " + name);
            vibe_only = true;
            if (c == OPT_FDF) { o->has_fdf = true; o->fdf = int32_t(v); }
            if (c == OPT_UPDATE) { o->has_update = true; o->update = int32_t(v); }
            if (c == OPT_FLAG) { o->has_flag = true; o->flag = int32_t(v); }
            if (c == OPT_FAST) { o->has_fast = true; o->fast = int32_t(v); }
            if (c == OPT_FALSE) { o->has_false = true; o->false_factor = uint32_t(v); }
            break;
        default: return usage_error("unknown option");
        }
    }
    if (optind < argc)
        o->input = argv[optind++];
    if (optind < argc)
        return usage_error("more than one input");
    if (o->detector != "vibe" && o->detector != "mrd")
        return usage_error("--detector must be vibe or mrd");
    if (o->detector == "vibe" && mrd_only)
        return usage_error("--detection-region applies to the mrd detector only");
    if (o->detector == "mrd" && vibe_only)
        return usage_error("that option applies to the vibe detector only");
    if (o->detector == "mrd" && o->fw.size() == 7)
        return usage_error("mrd's --fw-params takes six values");
    return -1;
}

/* One detector behind a common face: settings, then one call per frame. */
struct Detector {
    vibe_handle_t *vibe = nullptr;
    mrd_handle_t *mrd = nullptr;
    std::vector<uint8_t> prev;  /* mrd: previous luma plane */
    ~Detector()
    {
        if (vibe) ozi_vibe_destroy(vibe);
        if (mrd) ozi_mrd_destroy(mrd);
    }
};

bool configure(const Options &o, Detector *d)
{
    const auto &f = o.filters, &rs = o.region_size, &fw = o.fw, &dr = o.detection_region;
    bool ok = true;
    if (o.detector == "vibe") {
        d->vibe = ozi_vibe_init();
        if (!d->vibe)
            return false;
        vibe_handle_t *h = d->vibe;
        if (o.has_mode) ok &= ozi_vibe_set_mode(h, o.mode) == 0;
        if (!f.empty()) ok &= ozi_vibe_set_filters(h, uint32_t(f[0]), uint32_t(f[1])) == 0;
        if (!rs.empty())
            ok &= ozi_vibe_set_motion_region_size(h, uint32_t(rs[0]), uint32_t(rs[1])) == 0;
        if (!fw.empty())
            ok &= ozi_vibe_set_floating_wadding_params(
                      h, int32_t(fw[0]), int32_t(fw[1]), int32_t(fw[2]), int32_t(fw[3]),
                      int32_t(fw[4]), int32_t(fw[5]), fw.size() > 6 ? int32_t(fw[6]) : 0) == 0;
        if (o.has_fdf) ok &= ozi_vibe_set_frame_difference_filter(h, o.fdf) == 0;
        if (o.has_update) ok &= ozi_vibe_set_update_frames(h, o.update) == 0;
        if (o.has_flag) ok &= ozi_vibe_set_filtering_flag(h, o.flag) == 0;
        if (o.has_fast) ok &= ozi_vibe_set_fast_updating_flag(h, o.fast) == 0;
        if (o.has_false) ok &= ozi_vibe_set_false_detection_factor(h, o.false_factor) == 0;
    } else {
        d->mrd = ozi_mrd_init();
        if (!d->mrd)
            return false;
        mrd_handle_t *h = d->mrd;
        if (o.has_mode) ok &= ozi_mrd_set_mode(h, o.mode) == 0;
        if (!f.empty()) ok &= ozi_mrd_set_filters(h, uint32_t(f[0]), uint32_t(f[1])) == 0;
        if (!rs.empty())
            ok &= ozi_mrd_set_motion_region_size(h, int32_t(rs[0]), int32_t(rs[1])) == 0;
        if (!fw.empty())
            ok &= ozi_mrd_set_floating_wadding_params(h, int32_t(fw[0]), int32_t(fw[1]),
                                                      int32_t(fw[2]), int32_t(fw[3]),
                                                      int32_t(fw[4]), int32_t(fw[5])) == 0;
        if (!dr.empty())
            ok &= ozi_mrd_set_detection_region(h, int32_t(dr[0]), int32_t(dr[1]), int32_t(dr[2]),
                                               int32_t(dr[3]), int32_t(dr[4])) == 0;
    }
    return ok;
}

struct FrameBoxes {
    std::vector<snapshot::Rect> pixels;
    std::vector<mrd_box> cells;  /* mrd only */
    std::vector<int32_t> tags;
};

/* Runs the detector on one frame; false on a detector failure. */
bool detect(Detector *d, const std::vector<uint8_t> &luma, int width, int height,
            FrameBoxes *out)
{
    *out = FrameBoxes();
    if (d->vibe) {
        vibe_box boxes[VIBE_MAX_BOXES];
        const int32_t n = ozi_vibe(d->vibe, luma.data(), height, width, boxes);
        if (n < 0)
            return false;
        for (int i = 0; i < n; i++) {
            out->pixels.push_back({boxes[i].left, boxes[i].top, boxes[i].right, boxes[i].bottom});
            out->tags.push_back(boxes[i].tag);
        }
        return true;
    }
    if (d->prev.empty())
        d->prev = luma;
    uint16_t grid[activity::kRows * activity::kCols];
    if (!activity::make_grid(d->prev.data(), luma.data(), width, height, grid))
        return false;
    d->prev = luma;
    mrd_box boxes[MRD_MAX_BOXES];
    const int32_t n = ozi_mrd(d->mrd, grid, activity::kRows, boxes);
    if (n < 0)
        return false;
    for (int i = 0; i < n; i++) {
        const mrd_box &b = boxes[i];
        out->cells.push_back(b);
        out->pixels.push_back({activity::first_pixel(b.left, activity::kCols, width),
                               activity::first_pixel(b.top, activity::kRows, height),
                               activity::last_pixel(b.right, activity::kCols, width),
                               activity::last_pixel(b.bottom, activity::kRows, height)});
        out->tags.push_back(b.tag);
    }
    return true;
}

void print_json(std::FILE *out, long frame, const std::string &detector, const FrameBoxes &fb)
{
    std::fprintf(out, "{\"frame\":%ld,\"detector\":\"%s\",\"count\":%zu,\"boxes\":[", frame,
                 detector.c_str(), fb.pixels.size());
    for (size_t i = 0; i < fb.pixels.size(); i++) {
        const snapshot::Rect &r = fb.pixels[i];
        std::fprintf(out, "%s[%d,%d,%d,%d,%d]", i ? "," : "", r.left, r.top, r.right, r.bottom,
                     fb.tags[i]);
    }
    std::fprintf(out, "]");
    if (detector == "mrd") {
        std::fprintf(out, ",\"cells\":[");
        for (size_t i = 0; i < fb.cells.size(); i++) {
            const mrd_box &b = fb.cells[i];
            std::fprintf(out, "%s[%d,%d,%d,%d,%d]", i ? "," : "", b.left, b.top, b.right,
                         b.bottom, b.tag);
        }
        std::fprintf(out, "]");
    }
    std::fprintf(out, "}\n");
    std::fflush(out);
}

} // namespace

int main(int argc, char **argv)
{
    Options o;
    const int st = parse_options(argc, argv, &o);
    if (st >= 0)
        return st;

    /* JSON goes to the original standard output; whatever the libraries
     * print on standard output goes to standard error. */
    std::fflush(stdout);
    const int json_fd = dup(STDOUT_FILENO);
    std::FILE *json = json_fd >= 0 ? fdopen(json_fd, "w") : nullptr;
    if (!json || dup2(STDERR_FILENO, STDOUT_FILENO) < 0) {
        std::perror("motion_detect: dup");
        return 1;
    }

    std::FILE *in = stdin;
    if (o.input != "-") {
        in = std::fopen(o.input.c_str(), "rb");
        if (!in) {
            std::fprintf(stderr, "motion_detect: cannot open %s: %s\n", o.input.c_str(),
                         std::strerror(errno));
            return 1;
        }
    }
    if (!o.snapshots.empty() && mkdir(o.snapshots.c_str(), 0755) != 0 && errno != EEXIST) {
        std::fprintf(stderr, "motion_detect: cannot create %s: %s\n", o.snapshots.c_str(),
                     std::strerror(errno));
        return 2;
    }

    y4m::Reader reader(in);
    std::string err;
    if (!reader.open(&err)) {
        std::fprintf(stderr, "motion_detect: %s\n", err.c_str());
        return 1;
    }
    const int width = reader.header().width, height = reader.header().height;

    Detector det;
    if (!configure(o, &det)) {
        std::fprintf(stderr, "motion_detect: detector set-up failed\n");
        return 1;
    }

    std::vector<uint8_t> luma;
    int status = 0;
    long frame = 0;
    for (; o.max_frames < 0 || frame < o.max_frames; frame++) {
        const int r = reader.next(&luma, &err);
        if (r == 0)
            break;
        if (r < 0) {
            std::fprintf(stderr, "motion_detect: frame %ld: %s\n", frame, err.c_str());
            status = 1;
            break;
        }
        FrameBoxes fb;
        if (!detect(&det, luma, width, height, &fb)) {
            std::fprintf(stderr, "motion_detect: frame %ld: the %s detector rejected a %dx%d frame\n",
                         frame, o.detector.c_str(), width, height);
            status = 1;
            break;
        }
        print_json(json, frame, o.detector, fb);
        if (!o.snapshots.empty() && !fb.pixels.empty()) {
            char name[32];
            std::snprintf(name, sizeof name, "/frame_%06ld.png", frame);
            const std::vector<uint8_t> rgb = snapshot::annotate(luma.data(), width, height, fb.pixels);
            if (!snapshot::write_png(o.snapshots + name, rgb, width, height, &err)) {
                std::fprintf(stderr, "motion_detect: %s\n", err.c_str());
                status = 2;
                break;
            }
        }
    }
    if (in != stdin)
        std::fclose(in);
    std::fclose(json);
    return status;
}
