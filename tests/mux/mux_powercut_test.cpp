/*
 * Power cuts: the muxer writes through a simulated storage that keeps what
 * was synced and, at the cut, drops everything else and tears the write in
 * flight.  What the storage then holds, repaired, must play and lack at
 * most the last 2 s of what the muxer was given.
 */
#include "footage_index.h"
#include "mux_test_media.h"
#include "ozi_host.h"
#include "ozi_mux.h"
#include "ozi_sdk.h"
#include "support/scratch_dir.h"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>

using namespace muxtest;

namespace {

/* ---- simulated storage ---------------------------------------------------- */

struct SimFile {
    Bytes cache;    /* what reads see */
    Bytes durable;  /* what survives a power cut */
};

enum OpKind { kOpen, kWrite, kTruncate, kSync, kUnlink };

struct Op {
    OpKind kind;
    std::string path;
};

/* One simulated storage; the muxer runs on the test's thread only. */
struct Storage {
    std::map<std::string, SimFile> files;
    std::map<int, std::string> fds;
    int next_fd = 100;
    std::vector<Op> log;    /* mutating operations so far */
    long cut_at = -1;       /* index of the operation the power cut tears */
    bool cut = false;
    int64_t clock_ms = 0;
} g;

/* Counts a mutating operation; false when the power is (now) off.  The
 * operation at the cut lands partly (`torn` bytes at off) on storage. */
bool step(OpKind kind, const std::string &path, const uint8_t *torn = nullptr, size_t n = 0,
          off_t off = 0)
{
    if (g.cut) {
        errno = EIO;
        return false;
    }
    if (long(g.log.size()) == g.cut_at) {
        g.cut = true;
        if (torn && g.files.count(path)) {
            Bytes &d = g.files[path].durable;
            size_t half = n / 2;
            if (d.size() < size_t(off) + half)
                d.resize(size_t(off) + half);
            std::memcpy(d.data() + off, torn, half);
        }
        errno = EIO;
        return false;
    }
    g.log.push_back({kind, path});
    return true;
}

SimFile *file_of(int fd)
{
    auto it = g.fds.find(fd);
    if (it == g.fds.end() || !g.files.count(it->second)) {
        errno = EBADF;
        return nullptr;
    }
    return &g.files[it->second];
}

void put(Bytes *b, const uint8_t *p, size_t n, off_t off)
{
    if (b->size() < size_t(off) + n)
        b->resize(size_t(off) + n);
    std::memcpy(b->data() + off, p, n);
}

int sim_open(const char *path, int flags, mode_t)
{
    if (!step(kOpen, path))
        return -1;
    /* A created name is on storage at once; its bytes are not. */
    if ((flags & O_TRUNC) || !g.files.count(path))
        g.files[path] = SimFile{};
    g.fds[g.next_fd] = path;
    return g.next_fd++;
}

ssize_t sim_pwrite(int fd, const void *buf, size_t n, off_t off)
{
    SimFile *f = file_of(fd);
    if (!f || !step(kWrite, g.fds[fd], static_cast<const uint8_t *>(buf), n, off))
        return -1;
    put(&f->cache, static_cast<const uint8_t *>(buf), n, off);
    return ssize_t(n);
}

ssize_t sim_pwritev(int fd, const iovec *iov, int cnt, off_t off)
{
    Bytes all;
    for (int i = 0; i < cnt; i++)
        all.insert(all.end(), static_cast<uint8_t *>(iov[i].iov_base),
                   static_cast<uint8_t *>(iov[i].iov_base) + iov[i].iov_len);
    return sim_pwrite(fd, all.data(), all.size(), off);
}

ssize_t sim_pread(int fd, void *buf, size_t n, off_t off)
{
    SimFile *f = file_of(fd);
    if (!f || g.cut)
        return -1;
    if (size_t(off) >= f->cache.size())
        return 0;
    n = std::min(n, f->cache.size() - size_t(off));
    std::memcpy(buf, f->cache.data() + off, n);
    return ssize_t(n);
}

int sim_ftruncate(int fd, off_t len)
{
    SimFile *f = file_of(fd);
    if (!f || !step(kTruncate, g.fds[fd]))
        return -1;
    f->cache.resize(size_t(len));
    return 0;
}

int sim_fdatasync(int fd)
{
    SimFile *f = file_of(fd);
    if (!f || !step(kSync, g.fds[fd]))
        return -1;
    f->durable = f->cache;
    return 0;
}

int sim_close(int fd) { return g.fds.erase(fd) ? 0 : -1; }

int sim_unlink(const char *path)
{
    /* Removing a name reaches storage at once: the worst case for a stop
     * that removes the side files before its index is on storage. */
    if (!step(kUnlink, path))
        return -1;
    return g.files.erase(path) ? 0 : -1;
}

int64_t sim_now() { return g.clock_ms; }

const ozi_mux_io kSim = {sim_open, sim_pwrite, sim_pwritev, sim_pread, sim_ftruncate,
                         sim_fdatasync, sim_close, sim_unlink, sim_now};

/* ---- a recording cut short -------------------------------------------------- */

constexpr uint64_t kBase = 9000000;
long g_started_at = 0; /* log size when the last record() had started its segment */
const std::string kPath = "/sim/recording_now_tmp";

struct Outcome {
    size_t video_given = 0;  /* video frames the muxer accepted before the cut */
    bool stopped = false;    /* ozi_mux_stop completed before the cut */
};

/* Records every test frame (4 s) with the clock at each frame's time, then
 * stops, unless the power goes first. */
Outcome record(ozi_mux_type type)
{
    Outcome r;
    ozi_mux_input in = input_320x240(type);
    int h = -1;
    if (ozi_mux_open(&in, &h) != 0)
        return r;
    const std::string path = kPath + (type == MUX_TYPE_MP4 ? ".mp4" : ".avi");
    ozi_mux_start_param p{};
    std::vector<char> name(path.begin(), path.end());
    name.push_back('\0');
    p.file_path = name.data();
    if (ozi_mux_start(h, &p) == 0) {
        g_started_at = long(g.log.size());
        size_t a = 0;
        for (size_t i = 0; i < media().video.size() && !g.cut; i++) {
            g.clock_ms = int64_t(i) * 40;
            video_stream v{};
            v.data = const_cast<unsigned char *>(media().video[i].data());
            v.len = uint32_t(media().video[i].size());
            v.ts = kBase + i * 40;
            v.frame_type = media().key[i] ? FRAME_TYPE_I : FRAME_TYPE_P;
            if (ozi_mux_add_video(h, &v) == 0 && !g.cut)
                r.video_given = i + 1;
            for (; a < media().audio.size() && a * 128 <= i * 40 && !g.cut; a++) {
                audio_stream s{};
                s.data = const_cast<unsigned char *>(media().audio[a].data());
                s.len = uint32_t(media().audio[a].size());
                s.ts = kBase + a * 128;
                ozi_mux_add_audio(h, &s);
            }
        }
        r.stopped = !g.cut && ozi_mux_stop(h) == 0 && !g.cut;
    }
    ozi_mux_close(h);
    return r;
}

std::string base_name(const std::string &p) { return p.substr(p.rfind('/') + 1); }

struct CutCase {
    const char *name;
    /* Picks the cut from the log of an uncut run; -1 for no cut. */
    std::function<long(const std::vector<Op> &)> pick;
};

enum Role { kRecord, kJournal, kAny };

bool plays(const std::string &p, Role role)
{
    auto ends = [&p](const char *e) {
        size_t n = std::strlen(e);
        return p.size() >= n && p.compare(p.size() - n, n, e) == 0;
    };
    if (role == kRecord)
        return ends(".mp4") || ends(".avi");
    if (role == kJournal)
        return ends(".stbl") || ends(".idx");
    return true;
}

/* The n-th operation of a kind on a file of a role (from 0), at or after
 * operation `from`; -1 if there is none. */
long nth(const std::vector<Op> &log, OpKind kind, Role role, int n, long from = 0)
{
    for (size_t i = size_t(from < 0 ? 0 : from); i < log.size(); i++)
        if (log[i].kind == kind && plays(log[i].path, role) && n-- == 0)
            return long(i);
    return -1;
}

long fraction(const std::vector<Op> &log, int k, int of) { return long(log.size()) * k / of; }

using Log = std::vector<Op>;
const CutCase kCuts[] = {
    {"first_record_sync", [](const Log &l) { return nth(l, kSync, kRecord, 0); }},
    {"first_journal_records",
     [](const Log &l) { return nth(l, kWrite, kJournal, 0, nth(l, kSync, kRecord, 0)); }},
    {"first_journal_sync", [](const Log &l) { return nth(l, kSync, kJournal, 0); }},
    {"second_record_sync", [](const Log &l) { return nth(l, kSync, kRecord, 1); }},
    {"third_journal_records",
     [](const Log &l) { return nth(l, kWrite, kJournal, 0, nth(l, kSync, kRecord, 2)); }},
    {"frame_after_third_sync",
     [](const Log &l) { return nth(l, kWrite, kRecord, 0, nth(l, kSync, kJournal, 2)); }},
    {"index_write", [](const Log &l) { return nth(l, kTruncate, kRecord, 0) - 1; }},
    {"index_truncate", [](const Log &l) { return nth(l, kTruncate, kRecord, 0); }},
    {"index_sync", [](const Log &l) { return nth(l, kSync, kRecord, 0, nth(l, kTruncate, kRecord, 0)); }},
    {"first_unlink", [](const Log &l) { return nth(l, kUnlink, kAny, 0); }},
    {"after_stop", [](const Log &) { return -1L; }},
    {"at_1_of_7", [](const Log &l) { return fraction(l, 1, 7); }},
    {"at_2_of_7", [](const Log &l) { return fraction(l, 2, 7); }},
    {"at_3_of_7", [](const Log &l) { return fraction(l, 3, 7); }},
    {"at_4_of_7", [](const Log &l) { return fraction(l, 4, 7); }},
    {"at_5_of_7", [](const Log &l) { return fraction(l, 5, 7); }},
    {"at_6_of_7", [](const Log &l) { return fraction(l, 6, 7); }},
};

struct PowerCase {
    ozi_mux_type type;
    const CutCase *cut;
};

void PrintTo(const PowerCase &c, std::ostream *os)
{
    *os << (c.type == MUX_TYPE_MP4 ? "mp4/" : "avi/") << c.cut->name;
}

std::vector<PowerCase> power_cases()
{
    std::vector<PowerCase> v;
    for (ozi_mux_type t : {MUX_TYPE_MP4, MUX_TYPE_AVI})
        for (const CutCase &c : kCuts)
            v.push_back({t, &c});
    return v;
}

class PowerCut : public ::testing::TestWithParam<PowerCase> {
protected:
    void SetUp() override
    {
        ASSERT_EQ(media().error, "");
        ozi_host_clear_faults();
        ozi_mux_set_journal_interval(1000);
        old_ = ozi_mux_set_io(&kSim);
    }
    void TearDown() override
    {
        ozi_mux_set_io(old_);
        g = Storage{};
    }
    const ozi_mux_io *old_ = nullptr;
};

TEST_P(PowerCut, RepairedFileLacksAtMostTwoSeconds)
{
    const PowerCase c = GetParam();
    const bool mp4 = c.type == MUX_TYPE_MP4;
    /* An uncut run tells where the cut goes. */
    Outcome whole = record(c.type);
    ASSERT_TRUE(whole.stopped);
    ASSERT_EQ(whole.video_given, media().video.size());
    const long cut = c.cut->pick(g.log);
    const size_t ops = g.log.size();
    g = Storage{};
    if (std::string(c.cut->name) != "after_stop") {
        ASSERT_GE(cut, 0) << "no such operation in " << ops;
    }
    g.cut_at = cut;
    Outcome r = record(c.type);
    EXPECT_EQ(r.stopped, cut < 0);

    /* What storage holds after the cut, as real files. */
    tvrtest::ScratchDir scratch("mux_powercut");
    ASSERT_NE(scratch.path(), "");
    const std::string &dir = scratch.path();
    ozi_mux_set_io(nullptr);
    for (auto &f : g.files)
        write_file(dir + "/" + base_name(f.first), f.second.durable);
    const std::string rec = dir + "/" + base_name(kPath) + (mp4 ? ".mp4" : ".avi");
    const std::vector<std::string> sides =
        mp4 ? std::vector<std::string>{rec + ".moov", rec + ".stbl"} : std::vector<std::string>{rec + ".idx"};
    bool have_sides = true;
    for (const std::string &s : sides)
        have_sides = have_sides && exists(s);
    int fixed = -1;
    if (exists(rec) && have_sides) {
        FILE *f = fopen(rec.c_str(), "rb+");
        FILE *a = fopen(sides[0].c_str(), "rb");
        FILE *b = mp4 ? fopen(sides[1].c_str(), "rb") : nullptr;
        mux_fileinfo info{};
        fixed = mp4 ? ozi_mux_fix_file(f, nullptr, a, b, MUX_TYPE_MP4, &info)
                    : ozi_mux_fix_file(f, a, nullptr, nullptr, MUX_TYPE_AVI, &info);
        fclose(f);
        fclose(a);
        if (b)
            fclose(b);
    }

    Bytes bytes = exists(rec) ? read_file(rec) : Bytes{};
    auto rd = [&bytes](uint64_t off, size_t n, uint8_t *out) {
        if (off > bytes.size() || n > bytes.size() - off)
            return false;
        std::memcpy(out, bytes.data() + off, n);
        return true;
    };
    footage::FileIndex fi = footage::read_index(rd, bytes.size());
    const int64_t given_ms = int64_t(r.video_given) * 40;
    const int64_t kept_ms = fi.indexed ? fi.video.end_ms - fi.video.first_ms : 0;
    RecordProperty("lost_ms", int(given_ms - kept_ms));
    EXPECT_LE(given_ms - kept_ms, 2000) << "repair " << fixed << ", " << fi.error;
    EXPECT_LE(kept_ms, given_ms);
    if (given_ms > 2000 || fixed == 0) {
        ASSERT_TRUE(fi.indexed) << fi.error;
        EXPECT_EQ(decode_errors(rec), "");
        Probe p = probe(rec);
        ASSERT_TRUE(p.find("video")) << p.raw;
        EXPECT_EQ(p.find("video")->packets, long(fi.video.frames));
    }
}

INSTANTIATE_TEST_SUITE_P(Cuts, PowerCut, ::testing::ValuesIn(power_cases()),
                         [](const ::testing::TestParamInfo<PowerCase> &i) {
                             return std::string(i.param.type == MUX_TYPE_MP4 ? "Mp4_" : "Avi_") +
                                    i.param.cut->name;
                         });

/* With the system's I/O: one sync of each file per second of recording. */
TEST(MuxSync, RecordFileAndJournalAreSyncedOncePerSecond)
{
    ASSERT_EQ(media().error, "");
    ozi_host_clear_faults();
    const int64_t interval = ozi_mux_set_journal_interval(1000);
    const ozi_mux_io *old = ozi_mux_set_io(&kSim);
    Outcome r = record(MUX_TYPE_MP4);
    ozi_mux_set_io(old);
    ozi_mux_set_journal_interval(interval);
    ASSERT_TRUE(r.stopped);
    std::map<std::string, int> syncs;
    /* After the start, a journal write never names record bytes that were
     * written but not synced. */
    bool record_unsynced = false, named_unsynced = false;
    for (size_t i = size_t(g_started_at); i < g.log.size(); i++) {
        const Op &op = g.log[i];
        if (op.kind == kSync)
            syncs[op.path.substr(op.path.rfind('.'))]++;
        if (plays(op.path, kRecord) && (op.kind == kWrite || op.kind == kSync))
            record_unsynced = op.kind == kWrite;
        if (op.kind == kWrite && plays(op.path, kJournal) && record_unsynced)
            named_unsynced = true;
    }
    g = Storage{};
    EXPECT_FALSE(named_unsynced);
    /* 4 s of frames: syncs at 1, 2 and 3 s; the stop syncs what remains,
     * then the file with its index. */
    EXPECT_EQ(syncs[".mp4"], 5);
    EXPECT_EQ(syncs[".stbl"], 4);
    EXPECT_GE(syncs[".moov"], 1);
    EXPECT_LE(syncs[".moov"], 2);
}

} // namespace
