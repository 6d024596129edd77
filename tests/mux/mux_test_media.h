/*
 * mux_test_media.h - real encoded input for the muxer tests, and the
 * ffprobe / ffmpeg checks of what the muxer wrote.
 *
 * The input comes from the ffmpeg tool (H.264 Annex B from libx264, AAC in
 * ADTS), cut into access units and ADTS frames here.
 */
#ifndef MUX_TEST_MEDIA_H
#define MUX_TEST_MEDIA_H

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "ozi_sdk.h"
#include "support/command.h"

namespace muxtest {

using Bytes = std::vector<uint8_t>;

using tvrtest::run;

inline Bytes read_file(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string &path, const Bytes &b)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char *>(b.data()), std::streamsize(b.size()));
}

inline bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline long file_size(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? long(st.st_size) : -1;
}

/* Access units of an Annex B stream: a unit begins at an AUD, SEI or
 * parameter set that follows a slice, or at a slice whose first_mb_in_slice
 * is 0 that follows a slice. */
inline std::vector<Bytes> split_access_units(const Bytes &s)
{
    std::vector<size_t> starts; /* start-code positions */
    for (size_t i = 0; i + 3 < s.size(); i++) {
        if (s[i] == 0 && s[i + 1] == 0 && s[i + 2] == 1) {
            size_t sc = (i > 0 && s[i - 1] == 0) ? i - 1 : i;
            starts.push_back(sc);
            i += 2;
        }
    }
    std::vector<Bytes> units;
    size_t unit_begin = 0;
    bool prev_vcl = false;
    for (size_t k = 0; k < starts.size(); k++) {
        size_t hdr = starts[k] + ((s[starts[k] + 2] == 1) ? 3 : 4);
        uint8_t type = s[hdr] & 0x1F;
        bool vcl = type >= 1 && type <= 5;
        bool first_mb0 = vcl && (s[hdr + 1] & 0x80);
        bool boundary = prev_vcl && ((!vcl && (type == 6 || type == 7 || type == 8 || type == 9)) ||
                                     first_mb0);
        if (boundary && k > 0) {
            units.emplace_back(s.begin() + long(unit_begin), s.begin() + long(starts[k]));
            unit_begin = starts[k];
        }
        prev_vcl = vcl;
    }
    if (!starts.empty())
        units.emplace_back(s.begin() + long(unit_begin), s.end());
    return units;
}

inline std::vector<Bytes> split_adts(const Bytes &s)
{
    std::vector<Bytes> frames;
    size_t off = 0;
    while (off + 7 <= s.size() && s[off] == 0xFF && (s[off + 1] & 0xF0) == 0xF0) {
        size_t len = size_t(s[off + 3] & 3) << 11 | size_t(s[off + 4]) << 3 | s[off + 5] >> 5;
        if (len < 7 || off + len > s.size())
            break;
        frames.emplace_back(s.begin() + long(off), s.begin() + long(off + len));
        off += len;
    }
    return frames;
}

struct Media {
    std::vector<Bytes> video;  /* 25 fps, I frame every 25 */
    std::vector<bool> key;
    std::vector<Bytes> audio;  /* 8000 Hz mono, 128 ms per frame */
    std::string error;
};

/* Four seconds of 320x240 test pattern and a sine tone, encoded once into
 * `dir` and reused by later runs (files appear there by rename only, so
 * parallel runs never see half a file). */
inline Media make_media(const std::string &dir)
{
    Media m;
    std::string v = dir + "/mux_in.h264", a = dir + "/mux_in.aac";
    if (!exists(v) || !exists(a)) {
        std::string tmp = v + "." + std::to_string(getpid());
        std::string out = run("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=320x240:rate=25 -t 4 "
                              "-c:v libx264 -g 25 -bf 0 -x264-params repeat-headers=1 "
                              "-bsf:v h264_mp4toannexb -f h264 '" + tmp + ".h264' 2>&1");
        out += run("ffmpeg -nostdin -v error -y -f lavfi -i sine=r=8000 -t 4 -ac 1 -c:a aac -f adts '" +
                   tmp + ".aac' 2>&1");
        if (!out.empty() || rename((tmp + ".h264").c_str(), v.c_str()) != 0 ||
            rename((tmp + ".aac").c_str(), a.c_str()) != 0) {
            m.error = out.empty() ? "cannot place the encoded input in " + dir : out;
            return m;
        }
    }
    m.video = split_access_units(read_file(v));
    for (const Bytes &u : m.video) {
        bool idr = false;
        for (size_t i = 0; i + 3 < u.size(); i++)
            if (u[i] == 0 && u[i + 1] == 0 && u[i + 2] == 1 && (u[i + 3] & 0x1F) == 5)
                idr = true;
        m.key.push_back(idr);
    }
    m.audio = split_adts(read_file(a));
    return m;
}

struct Stream {
    std::string codec, type;
    int width = 0, height = 0;
    long nb_frames = -1;   /* from the container's header */
    long packets = -1;     /* counted by reading the file */
    double duration = -1;
};

struct Probe {
    std::vector<Stream> streams;
    double duration = -1;  /* of the file */
    std::string raw;
    const Stream *find(const std::string &type) const
    {
        for (const Stream &s : streams)
            if (s.type == type)
                return &s;
        return nullptr;
    }
};

#ifndef MUX_TEST_MEDIA_DIR
#define MUX_TEST_MEDIA_DIR "/tmp"
#endif

/* The encoded test media, made once per test program. */
inline const Media &media()
{
    static Media m = make_media(MUX_TEST_MEDIA_DIR);
    return m;
}

inline Probe probe(const std::string &path)
{
    Probe p;
    p.raw = run("ffprobe -v error -count_packets -show_entries "
                "stream=codec_name,codec_type,width,height,nb_frames,nb_read_packets,duration:"
                "format=duration -of compact=p=0 '" + path + "' 2>&1");
    std::istringstream lines(p.raw);
    std::string line;
    while (std::getline(lines, line)) {
        std::map<std::string, std::string> kv;
        std::istringstream fields(line);
        std::string f;
        while (std::getline(fields, f, '|')) {
            size_t eq = f.find('=');
            if (eq != std::string::npos)
                kv[f.substr(0, eq)] = f.substr(eq + 1);
        }
        auto num = [&](const char *k) { return kv.count(k) ? std::atof(kv[k].c_str()) : -1.0; };
        if (kv.count("codec_type")) {
            Stream s;
            s.codec = kv["codec_name"];
            s.type = kv["codec_type"];
            s.width = int(num("width"));
            s.height = int(num("height"));
            s.nb_frames = long(num("nb_frames"));
            s.packets = long(num("nb_read_packets"));
            s.duration = num("duration");
            p.streams.push_back(s);
        } else if (kv.count("duration")) {
            p.duration = num("duration");
        }
    }
    return p;
}

/* What ffmpeg reports while decoding the whole file; empty when clean. */
inline std::string decode_errors(const std::string &path)
{
    return run("ffmpeg -nostdin -v error -i '" + path + "' -f null - 2>&1");
}

/* Muxer input for the test media: 320x240 H.264 at 25 fps with 8 kHz mono
 * AAC (128 ms per frame), one-minute segments to a local file. */
inline ozi_mux_input input_320x240(ozi_mux_type type)
{
    ozi_mux_input in{};
    in.video_type = H264_ENC_TYPE;
    in.width = 320;
    in.height = 240;
    in.file_fps = 25;
    in.capture_audio = 1;
    in.audio_type = OZI_AUDIO_TYPE_AAC;
    in.audio_attr = {AUDIO_SAMPLE_RATE_8000, 16, 1};
    in.frame_interval = 128;
    in.media_rec_type = type;
    in.data_dest = MUX_DATA_TO_LOCAL_FILE;
    in.record_second = 60;
    return in;
}

} // namespace muxtest

#endif /* MUX_TEST_MEDIA_H */
