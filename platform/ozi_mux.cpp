/*
 * ozi_mux.cpp - the platform's container muxer: MP4 and AVI record files,
 * and the repair of a record file that was never stopped.
 *
 * A segment is written straight to its record file: MP4 as ftyp + a growing
 * mdat, AVI as RIFF header + a growing movi list.  Beside it the muxer keeps
 * side files that make the file repairable after a crash: the segment's
 * configuration ("<file>.moov" for MP4, the head of "<file>.idx" for AVI)
 * and a journal of fixed-size sample records ("<file>.stbl", "<file>.idx").
 * Media bytes go to the kernel at every frame.  Every 750 ms (at most) the
 * caller hands the journal records of the samples stored so far, and the
 * end of the record file they lie within, to the handle's sync thread
 * ("mux_sync"), which syncs the record file to storage (fdatasync), then
 * writes the configuration and the records to the side files and syncs
 * them: a record never names bytes that may not be on storage, and a power
 * cut loses at most the last second or so.  A sync that takes long (a slow
 * card) never holds up the caller: what it hands over meanwhile waits and
 * goes with the next sync.  The sync thread also reserves the record
 * file's storage some MB ahead (size unchanged), so that a sync carries
 * less file-system metadata; the index's truncation gives the rest back.
 * A stop waits for the sync thread, then writes and syncs the indexed
 * file before it removes the side files.  Every file
 * operation goes through the I/O table (ozi_mux.h), so that tests can
 * stage crashes and power cuts.
 * ozi_mux_stop writes the index (moov or idx1), fixes the sizes and removes
 * the side files; ozi_mux_fix_file does the same from the side files.
 *
 * The repaired file's modification time is set to the segment's start
 * (wall clock, seconds), which is how a caller learns when it began.
 *
 * THREADS: any thread may call; one muxer handle is used by one thread at a
 * time.  Each open handle has its own sync thread, started by ozi_mux_open
 * and joined by ozi_mux_close: a slow sync of one recording never delays
 * another's, and no queue or lock is shared between handles.  g_lock
 * guards only the handle table g_muxers (slot lookup, insert, removal);
 * each handle's SyncQueue::lock guards the hand-over to its sync thread.
 * Neither is held with the other, nor during I/O.  The I/O table is an
 * atomic pointer, swapped only while no muxer works.
 */
#include "ozi_mux.h"
#include "ozi_clock.h"
#include "ozi_host.h"
#include "ozi_mux_index.h"
#include "ozi_sdk.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

using namespace ozimux;

namespace {

constexpr int kMaxMuxers = 16;
constexpr uint64_t kMaxMp4Offset = 1ull << 40; /* journal records hold 40-bit offsets */
constexpr uint64_t kMaxAviSize = 0xFFFF0000u;  /* RIFF sizes are 32-bit */
constexpr size_t kMaxJournalBytes = 512u << 20;
/* The journal grows by zero-filled steps, so that most of its syncs write
 * one block and change no file size (no file-system metadata). */
constexpr uint64_t kJournalStep = 16u << 10;
/* Storage for the record file is reserved this far ahead of the synced
 * bytes, so that a sync allocates nothing (less file-system metadata). */
constexpr uint64_t kReserveStep = 4u << 20;

/* The durable-write work handed from a handle's caller to its sync thread.
 * `lock` guards every field below it; it is held only to hand work over,
 * to take it or to wait for it, never during I/O nor while another lock is
 * taken. */
struct SyncQueue {
    std::mutex lock;
    std::condition_variable cv;   /* work handed over, work done, quit */
    std::vector<uint8_t> records; /* journal records not yet taken, in sample order */
    std::vector<uint8_t> config;  /* newest configuration image not yet taken; empty: none */
    uint64_t end = 0;             /* record file bytes that the records lie within */
    bool pending = false;         /* work handed over and not yet taken */
    bool busy = false;            /* the sync thread is doing I/O */
    bool quit = false;            /* ozi_mux_close: the thread ends */
};

struct Muxer {
    ozi_mux_input in{};
    Config cfg{};
    bool active = false;        /* a segment file is open */
    bool cfg_dirty = false;     /* cfg changed since it was handed to the sync thread */
    bool audio_config_set = false; /* audio config taken from this segment's stream */
    /* Files, opened and closed by the caller while the sync thread is idle
     * (start and stop wait for it). */
    int fd = -1;                /* record file */
    int jfd = -1;               /* journal: .stbl or .idx */
    int cfd = -1;               /* MP4 .moov */
    std::string path, jpath, cpath;
    uint32_t journal_records;   /* offset of the first record in the journal */
    bool have_origin = false;
    uint64_t origin = 0;        /* ts of the segment's first frame, ms */
    uint64_t end = 0;           /* where the next sample goes */
    std::vector<Sample> samples;
    size_t handed = 0;          /* samples whose records went to the sync thread */
    uint64_t avi_video_chunks = 0; /* AVI: video chunks so far, empty ones included */
    int64_t last_flush_ms = 0;
    /* Scratch reused from frame to frame (amortised growth only). */
    std::vector<uint8_t> jbuf;
    std::vector<Nal> nals;
    std::vector<uint8_t> lens;
    std::vector<iovec> iov;

    SyncQueue q;
    std::thread syncer;
    /* The sync thread's own state: touched by it only while q.busy, and
     * reset by the caller at a start, while it is idle. */
    uint64_t synced_end = 0;    /* record file bytes known to be on storage */
    uint64_t jcap = 0;          /* journal file bytes written (records, then zeros) */
    uint64_t jrecords = 0;      /* records in the journal */
    uint64_t reserved = 0;      /* record file storage reserved up to here */
    std::vector<uint8_t> t_records, t_config; /* the work taken */
};

std::mutex g_lock;                   /* guards g_muxers */
/* Samples are synced and journaled at least this often.  A crash of the
 * process loses what the journal does not name yet: 750 ms plus a frame
 * keeps that under a second with the encoder's latency on top. */
std::atomic<int64_t> g_flush_interval_ms{750};
Muxer *g_muxers[kMaxMuxers];

/* The platform's clock, as the frames' time stamps. */
int64_t mono_ms() { return int64_t(ozi__now_ms()); }

int sys_open(const char *path, int flags, mode_t mode) { return open(path, flags, mode); }

int sys_reserve(int fd, off_t off, off_t len) { return fallocate(fd, FALLOC_FL_KEEP_SIZE, off, len); }

const ozi_mux_io kSystemIo = {sys_open,  pwrite, pwritev, pread,  ftruncate,
                              fdatasync, close,  unlink,  mono_ms, sys_reserve};
std::atomic<const ozi_mux_io *> g_io{&kSystemIo};

const ozi_mux_io &io() { return *g_io.load(std::memory_order_acquire); }

Muxer *lookup(int handle)
{
    if (handle < 0 || handle >= kMaxMuxers)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_lock);
    return g_muxers[handle];
}

int64_t now_ms() { return io().now_ms(); }

bool pwrite_all(int fd, const void *p, size_t n, uint64_t off)
{
    const uint8_t *c = static_cast<const uint8_t *>(p);
    while (n > 0) {
        ssize_t w = io().pwrite(fd, c, n, off_t(off));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        c += w;
        n -= size_t(w);
        off += uint64_t(w);
    }
    return true;
}

/* Writes all of iov (which it consumes) at off; partial writes resume. */
bool pwritev_all(int fd, iovec *iov, size_t cnt, uint64_t off)
{
    while (cnt > 0) {
        int batch = int(cnt < IOV_MAX ? cnt : IOV_MAX);
        ssize_t w = io().pwritev(fd, iov, batch, off_t(off));
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            return false;
        off += uint64_t(w);
        size_t left = size_t(w);
        while (cnt > 0 && left >= iov->iov_len) {
            left -= iov->iov_len;
            iov++;
            cnt--;
        }
        if (cnt > 0) {
            iov->iov_base = static_cast<uint8_t *>(iov->iov_base) + left;
            iov->iov_len -= left;
        }
    }
    return true;
}

void close_fd(int *fd)
{
    if (*fd >= 0)
        io().close(*fd);
    *fd = -1;
}

bool is_mp4(const Muxer *m) { return m->cfg.type == MUX_TYPE_MP4; }

/* Side-file copy of the configuration: .moov (MP4) or the head of .idx (AVI). */
bool write_config(const Muxer *m, const std::vector<uint8_t> &b)
{
    if (is_mp4(m))
        return pwrite_all(m->cfd, b.data(), b.size(), 0);
    return b.size() <= kConfigMax && pwrite_all(m->jfd, b.data(), b.size(), kJournalHeaderSize);
}

bool sync_fd(int fd)
{
    int rc;
    do
        rc = io().fdatasync(fd);
    while (rc != 0 && errno == EINTR);
    return rc == 0;
}

/* Sync thread: puts the record file up to `end` on storage, then the
 * configuration (if any) and the journal records, synced last.  A failed
 * step names nothing new. */
bool write_durably(Muxer *m, const std::vector<uint8_t> &records,
                   const std::vector<uint8_t> &config, uint64_t end)
{
    if (end != m->synced_end) {
        if (end + kReserveStep / 2 > m->reserved) {
            /* Best effort: a file system without it allocates at the sync. */
            const uint64_t to = (end + kReserveStep) / kReserveStep * kReserveStep;
            if (io().reserve(m->fd, off_t(m->reserved), off_t(to - m->reserved)) == 0)
                m->reserved = to;
            else if (errno == EOPNOTSUPP || errno == ENOSYS)
                m->reserved = UINT64_MAX; /* not again for this segment */
        }
        if (!sync_fd(m->fd))
            return false;
        m->synced_end = end;
    }
    bool journal_dirty = false;
    if (!config.empty()) {
        if (!write_config(m, config))
            return false;
        if (is_mp4(m) && !sync_fd(m->cfd))
            return false;
        journal_dirty = !is_mp4(m);
    }
    if (!records.empty()) {
        const uint64_t at = m->journal_records + m->jrecords * kRecordSize;
        const uint64_t need = at + records.size();
        if (need > m->jcap) {
            /* Zero records end the journal for a reader. */
            static const uint8_t kZeros[kJournalStep] = {};
            const uint64_t from = std::max<uint64_t>(m->jcap, at);
            const uint64_t to = (need + kJournalStep - 1) / kJournalStep * kJournalStep;
            for (uint64_t o = from; o < to; o += kJournalStep)
                if (!pwrite_all(m->jfd, kZeros, size_t(std::min(kJournalStep, to - o)), o))
                    return false;
            m->jcap = to;
        }
        if (!pwrite_all(m->jfd, records.data(), records.size(), at))
            return false;
        journal_dirty = true;
    }
    if (journal_dirty && !sync_fd(m->jfd))
        return false;
    m->jrecords += records.size() / kRecordSize;
    return true;
}

/* The sync thread of a handle: takes what was handed over, writes it
 * durably without the lock, and on failure puts it back in front of what
 * came meanwhile, for the next round. */
void sync_main(Muxer *m)
{
    pthread_setname_np(pthread_self(), "mux_sync");
    SyncQueue &q = m->q;
    std::unique_lock<std::mutex> lock(q.lock);
    for (;;) {
        q.cv.wait(lock, [&q] { return q.pending || q.quit; });
        if (!q.pending)
            return;
        m->t_records.clear();
        m->t_config.clear();
        m->t_records.swap(q.records);
        m->t_config.swap(q.config);
        const uint64_t end = q.end;
        q.pending = false;
        q.busy = true;
        lock.unlock();
        const bool ok = write_durably(m, m->t_records, m->t_config, end);
        lock.lock();
        q.busy = false;
        if (!ok) {
            m->t_records.insert(m->t_records.end(), q.records.begin(), q.records.end());
            q.records.swap(m->t_records);
            if (q.config.empty())
                q.config.swap(m->t_config);
        }
        q.cv.notify_all();
    }
}

/* Hands the records of the samples stored since the last hand-over, and
 * the configuration if it changed, to the sync thread; never waits for a
 * sync in progress. */
void hand_over(Muxer *m)
{
    m->last_flush_ms = now_ms();
    const size_t n = m->samples.size() - m->handed;
    if (n == 0 && !m->cfg_dirty)
        return;
    m->jbuf.resize(n * kRecordSize);
    for (size_t i = 0; i < n; i++)
        encode_record(m->samples[m->handed + i], &m->jbuf[i * kRecordSize]);
    Buf config;
    if (m->cfg_dirty)
        encode_config(m->cfg, &config);
    {
        std::lock_guard<std::mutex> lock(m->q.lock);
        m->q.records.insert(m->q.records.end(), m->jbuf.begin(), m->jbuf.end());
        if (m->cfg_dirty)
            m->q.config.swap(config.b);
        m->q.end = m->end;
        m->q.pending = true;
    }
    m->q.cv.notify_all();
    m->handed = m->samples.size();
    m->cfg_dirty = false;
}

/* Waits until the sync thread has done (or failed) all it was handed. */
void wait_synced(Muxer *m)
{
    std::unique_lock<std::mutex> lock(m->q.lock);
    m->q.cv.wait(lock, [m] { return !m->q.pending && !m->q.busy; });
}

/* Writes the index after the last sample, fixes the headers and cuts off
 * whatever lies beyond.  `end` is the end of the last sample's bytes.
 * The headers go first: once they carry the data size, a repair after a
 * crash in between never takes index bytes for samples (see data_limit). */
bool write_index(int fd, const Config &c, const Sample *s, size_t n, uint64_t end,
                 uint32_t *total_ms)
{
    if (c.type == MUX_TYPE_MP4) {
        Buf moov;
        mp4_build_moov(c, s, n, &moov, total_ms);
        uint8_t pre[kMp4HeaderSize];
        mp4_preamble(end, pre);
        return pwrite_all(fd, pre, sizeof pre, 0) &&
               pwrite_all(fd, moov.b.data(), moov.size(), end) &&
               io().ftruncate(fd, off_t(end + moov.size())) == 0 && sync_fd(fd);
    }
    Buf idx, hdr;
    AviCounts k;
    avi_build_idx1(c, s, n, &idx, &k);
    avi_build_header(c, k, &hdr);
    *total_ms = avi_total_ms(c, k);
    uint8_t pad = 0;
    /* The last chunk's pad byte may never have been written. */
    if (n && (s[n - 1].size & 1) && !pwrite_all(fd, &pad, 1, k.movi_end - 1))
        return false;
    return pwrite_all(fd, hdr.b.data(), hdr.size(), 0) &&
           pwrite_all(fd, idx.b.data(), idx.size(), k.movi_end) &&
           io().ftruncate(fd, off_t(k.file_end)) == 0 && sync_fd(fd);
}

/* Where sample data may end in a record file of `size` bytes: a file that
 * was stopped or repaired before carries its data size in the mdat header
 * or the movi list (0 while recording), and what follows is index, not
 * samples. */
uint64_t data_limit(int fd, const Config &c, uint64_t size)
{
    uint8_t h[16];
    uint64_t end = 0;
    auto be32 = [](const uint8_t *p) { return uint32_t(p[0]) << 24 | p[1] << 16 | p[2] << 8 | p[3]; };
    if (c.type == MUX_TYPE_MP4) {
        if (io().pread(fd, h, 16, 32) != 16)
            return size;
        if (be32(h) == 1 && std::memcmp(h + 4, "mdat", 4) == 0)
            end = 32 + (uint64_t(be32(h + 8)) << 32 | be32(h + 12));
        else if (std::memcmp(h + 12, "mdat", 4) == 0 && be32(h + 8) != 0)
            end = 40 + uint64_t(be32(h + 8));
    } else {
        uint64_t list = avi_header_size(c) - 12;
        if (io().pread(fd, h, 12, off_t(list)) != 12)
            return size;
        uint32_t len = uint32_t(h[4] | h[5] << 8 | h[6] << 16) | uint32_t(h[7]) << 24;
        if (std::memcmp(h, "LIST", 4) == 0 && std::memcmp(h + 8, "movi", 4) == 0 && len != 0)
            end = list + 8 + len;
    }
    return end && end < size ? end : size;
}

/* Closes the open segment.  The side files go only once the index is in
 * the record file; otherwise they stay for the repair. */
int finish_segment(Muxer *m, bool index = true)
{
    hand_over(m);
    wait_synced(m);
    uint32_t total = 0;
    bool ok = index &&
              write_index(m->fd, m->cfg, m->samples.data(), m->samples.size(), m->end, &total);
    close_fd(&m->fd);
    close_fd(&m->jfd);
    close_fd(&m->cfd);
    if (ok) {
        io().unlink(m->jpath.c_str());
        if (!m->cpath.empty())
            io().unlink(m->cpath.c_str());
    }
    m->active = false;
    m->samples.clear();
    m->handed = 0;
    {
        /* What a failed sync left is of this segment only. */
        std::lock_guard<std::mutex> lock(m->q.lock);
        m->q.records.clear();
        m->q.config.clear();
    }
    return ok ? 0 : -1;
}

/* Undoes a failed start: only the files this start created are removed. */
void abandon_start(Muxer *m)
{
    if (m->fd >= 0)
        io().unlink(m->path.c_str());
    if (m->jfd >= 0)
        io().unlink(m->jpath.c_str());
    if (m->cfd >= 0)
        io().unlink(m->cpath.c_str());
    close_fd(&m->fd);
    close_fd(&m->jfd);
    close_fd(&m->cfd);
}

void default_audio_config(Config *c, const ozi_mux_input &in)
{
    c->audio_rate = uint32_t(in.audio_attr.sample_rate);
    c->audio_channels = uint8_t(in.audio_attr.channel_num > 0 ? in.audio_attr.channel_num : 1);
    c->asc_len = uint8_t(make_asc(2, aac_rate_index(c->audio_rate), c->audio_channels, c->asc));
}

/* Stores one sample made of iov at the end of the record file. */
int store(Muxer *m, iovec *iov, size_t cnt, uint32_t size, uint32_t head, uint64_t ts,
          uint8_t track, uint8_t key)
{
    uint64_t need = m->end + head + size + (size & 1);
    if (is_mp4(m) ? need >= kMaxMp4Offset
                  : need + 16 * (m->samples.size() + 2) > kMaxAviSize)
        return -1;
    if (!pwritev_all(m->fd, iov, cnt, m->end)) {
        /* Disk full or gone: drop what a partial write left; the next
         * sample overwrites it anyway if this fails too. */
        int rc = io().ftruncate(m->fd, off_t(m->end));
        (void)rc;
        return -1;
    }
    int64_t rel = int64_t(ts - m->origin);
    if (rel > INT32_MAX)
        rel = INT32_MAX;
    if (rel < INT32_MIN)
        rel = INT32_MIN;
    m->samples.push_back(Sample{m->end + head, size, int32_t(rel), track, key});
    m->end = need;
    if (now_ms() - m->last_flush_ms >= g_flush_interval_ms.load(std::memory_order_relaxed))
        hand_over(m);
    return 0;
}

void set_origin(Muxer *m, uint64_t ts)
{
    if (!m->have_origin) {
        m->origin = ts;
        m->have_origin = true;
        /* The wall clock of the capture: now, less the frame's age. */
        timespec t;
        clock_gettime(CLOCK_REALTIME, &t);
        int64_t wall = int64_t(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
        int64_t age = mono_ms() - int64_t(ts);
        m->cfg.origin_wall_ms = age > 0 && age < 60000 ? wall - age : wall;
        m->cfg.origin_ts_ms = ts;
        m->cfg_dirty = true;
    }
}

/* Parameter sets go into the configuration the first time they are seen. */
void take_parameter_set(Muxer *m, const Nal &nal)
{
    uint8_t type = nal.p[0] & 0x1F;
    uint8_t *dst = type == 7 ? m->cfg.sps : m->cfg.pps;
    uint16_t *len = type == 7 ? &m->cfg.sps_len : &m->cfg.pps_len;
    if (*len || nal.n > sizeof m->cfg.sps)
        return;
    std::memcpy(dst, nal.p, nal.n);
    *len = uint16_t(nal.n);
    m->cfg_dirty = true;
}

int add_video_mp4(Muxer *m, const video_stream *s)
{
    m->nals.clear();
    size_t pos = 0;
    Nal nal;
    bool idr = false;
    uint64_t size = 0;
    while (next_nal(s->data, s->len, &pos, &nal)) {
        if (nal.n == 0)
            continue;
        uint8_t type = nal.p[0] & 0x1F;
        if (type == 9) /* access unit delimiter: the container frames samples */
            continue;
        if (type == 7 || type == 8)
            take_parameter_set(m, nal);
        idr |= type == 5;
        m->nals.push_back(nal);
        size += 4 + nal.n;
    }
    if (m->nals.empty() || size > UINT32_MAX)
        return -1;
    m->lens.resize(m->nals.size() * 4);
    m->iov.clear();
    for (size_t i = 0; i < m->nals.size(); i++) {
        uint8_t *l = &m->lens[i * 4];
        uint32_t n = m->nals[i].n;
        l[0] = uint8_t(n >> 24);
        l[1] = uint8_t(n >> 16);
        l[2] = uint8_t(n >> 8);
        l[3] = uint8_t(n);
        m->iov.push_back({l, 4});
        m->iov.push_back({const_cast<uint8_t *>(m->nals[i].p), n});
    }
    set_origin(m, s->ts);
    return store(m, m->iov.data(), m->iov.size(), uint32_t(size), 0, s->ts, kTrackVideo,
                 idr || s->frame_type == FRAME_TYPE_I);
}

/* AVI plays video at a fixed rate: frames lost upstream (or refused by a
 * full disk) become empty chunks, so later pictures keep their time and
 * stay in step with the sound.  A jump of more than ten seconds is taken
 * for a clock step, not for lost frames. */
int fill_avi_gap(Muxer *m, uint64_t ts)
{
    static const uint8_t kEmpty[8] = {'0', '0', 'd', 'c', 0, 0, 0, 0};
    const uint64_t fps = m->cfg.fps;
    uint64_t slot = ts > m->origin ? ((ts - m->origin) * fps + 500) / 1000 : 0;
    if (slot <= m->avi_video_chunks || slot - m->avi_video_chunks > fps * 10)
        return 0;
    while (m->avi_video_chunks < slot) {
        iovec e = {const_cast<uint8_t *>(kEmpty), 8};
        uint64_t at = m->origin + m->avi_video_chunks * 1000 / fps;
        if (store(m, &e, 1, 0, 8, at, kTrackVideo, 0) != 0)
            return -1;
        m->avi_video_chunks++;
    }
    return 0;
}

int add_video_avi(Muxer *m, const video_stream *s)
{
    size_t pos = 0;
    Nal nal;
    bool idr = false;
    while (next_nal(s->data, s->len, &pos, &nal))
        if (nal.n)
            idr |= (nal.p[0] & 0x1F) == 5;
    set_origin(m, s->ts);
    if (fill_avi_gap(m, s->ts) != 0)
        return -1;
    uint8_t hdr[8] = {'0', '0', 'd', 'c'};
    uint8_t pad = 0;
    for (int k = 0; k < 4; k++)
        hdr[4 + k] = uint8_t(s->len >> (8 * k));
    iovec iov[3] = {{hdr, 8}, {s->data, s->len}, {&pad, 1}};
    if (store(m, iov, (s->len & 1) ? 3 : 2, s->len, 8, s->ts, kTrackVideo,
              idr || s->frame_type == FRAME_TYPE_I) != 0)
        return -1;
    m->avi_video_chunks++;
    return 0;
}

/* One AAC frame, header already stripped. */
int add_aac(Muxer *m, const uint8_t *p, uint32_t n, uint64_t ts)
{
    set_origin(m, ts);
    /* Audio captured before the segment's first frame belongs to no picture
     * of this file: it is left out (half a frame early is kept, at 0). */
    uint32_t half = (m->cfg.frame_interval_ms ? m->cfg.frame_interval_ms : 64) / 2;
    if (ts + half < m->origin)
        return 0;
    if (n == 0)
        return 0;
    if (is_mp4(m)) {
        iovec iov = {const_cast<uint8_t *>(p), n};
        return store(m, &iov, 1, n, 0, ts, kTrackAudio, 1);
    }
    uint8_t hdr[8] = {'0', '1', 'w', 'b'};
    uint8_t pad = 0;
    for (int k = 0; k < 4; k++)
        hdr[4 + k] = uint8_t(n >> (8 * k));
    iovec iov[3] = {{hdr, 8}, {const_cast<uint8_t *>(p), n}, {&pad, 1}};
    return store(m, iov, (n & 1) ? 3 : 2, n, 8, ts, kTrackAudio, 1);
}

/* The first ADTS header of a segment sets the audio configuration; frames
 * that disagree with it later cannot be described and are refused. */
bool check_adts_config(Muxer *m, const Adts &a)
{
    uint8_t asc[8];
    int len = make_asc(a.object_type, a.sf_index, a.channels ? a.channels : 1, asc);
    if (len == 0)
        return false;
    if (!m->audio_config_set) {
        m->audio_config_set = true;
        if (m->cfg.asc_len != len || std::memcmp(m->cfg.asc, asc, size_t(len)) != 0) {
            std::memcpy(m->cfg.asc, asc, size_t(len));
            m->cfg.asc_len = uint8_t(len);
            m->cfg.audio_rate = aac_rate(a.sf_index);
            m->cfg.audio_channels = a.channels ? a.channels : 1;
            m->cfg_dirty = true;
        }
        return true;
    }
    return m->cfg.asc_len == len && std::memcmp(m->cfg.asc, asc, size_t(len)) == 0;
}

/* Reads a whole stream from its start. */
bool read_stream(FILE *f, std::vector<uint8_t> *out)
{
    if (fseek(f, 0, SEEK_SET) != 0)
        return false;
    out->clear();
    uint8_t buf[65536];
    size_t got;
    while ((got = fread(buf, 1, sizeof buf, f)) > 0) {
        out->insert(out->end(), buf, buf + got);
        if (out->size() > kMaxJournalBytes)
            return false;
    }
    return !ferror(f);
}

/* Whole, valid records of a journal; a torn or zeroed tail ends the list. */
bool read_journal(const std::vector<uint8_t> &j, std::vector<Sample> *out)
{
    uint32_t first;
    if (!decode_journal_header(j.data(), j.size(), &first) || first > j.size())
        return false;
    for (size_t off = first; off + kRecordSize <= j.size(); off += kRecordSize) {
        Sample s;
        if (!decode_record(&j[off], &s))
            break;
        out->push_back(s);
    }
    return true;
}

/* Keeps the samples that lie wholly in a file of `size` bytes, in file
 * order, up to the first that does not; returns the end of the last one
 * kept (with an AVI chunk's pad byte). */
uint64_t keep_whole_samples(const Config &c, std::vector<Sample> *s, uint64_t size)
{
    const bool mp4 = c.type == MUX_TYPE_MP4;
    const uint64_t head = mp4 ? 0 : 8; /* AVI chunk header before the payload */
    uint64_t end = mp4 ? kMp4HeaderSize : avi_header_size(c);
    size_t kept = 0;
    for (const Sample &x : *s) {
        if (x.offset < end + head || x.offset + x.size > size || (mp4 && x.size == 0))
            break;
        end = x.offset + x.size + (mp4 ? 0 : (x.size & 1));
        kept++;
    }
    s->resize(kept);
    return end;
}

/* Ends and joins the sync thread of a handle with no segment open. */
void stop_syncer(Muxer *m)
{
    {
        std::lock_guard<std::mutex> lock(m->q.lock);
        m->q.quit = true;
    }
    m->q.cv.notify_all();
    m->syncer.join();
}

} // namespace

const ozi_mux_io *ozi_mux_set_io(const ozi_mux_io *table)
{
    return g_io.exchange(table ? table : &kSystemIo);
}

int64_t ozi_mux_set_journal_interval(int64_t ms)
{
    return g_flush_interval_ms.exchange(ms < 0 ? 0 : ms);
}

int ozi_mux_wait_synced(int handle)
{
    Muxer *m = lookup(handle);
    if (!m)
        return -1;
    wait_synced(m);
    return 0;
}

extern "C" int ozi_mux_open(struct ozi_mux_input *input, int *handle)
{
    if (ozi_host_should_fail("ozi_mux_open"))
        return -1;
    if (!input || !handle || input->video_type != H264_ENC_TYPE ||
        (input->media_rec_type != MUX_TYPE_MP4 && input->media_rec_type != MUX_TYPE_AVI))
        return -1;
    if (input->capture_audio && input->audio_type != OZI_AUDIO_TYPE_AAC)
        return -1;
    if (input->capture_audio && aac_rate_index(uint32_t(input->audio_attr.sample_rate)) < 0)
        return -1;
    Muxer *m = new (std::nothrow) Muxer;
    if (!m)
        return -1;
    m->in = *input;
    try {
        m->syncer = std::thread(sync_main, m);
    } catch (const std::system_error &) {
        delete m;
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(g_lock);
        for (int i = 0; i < kMaxMuxers; i++) {
            if (!g_muxers[i]) {
                g_muxers[i] = m;
                *handle = i;
                return 0;
            }
        }
    }
    stop_syncer(m);
    delete m;
    return -1;
}

extern "C" int ozi_mux_start(int handle, struct ozi_mux_start_param *param)
{
    if (ozi_host_should_fail("ozi_mux_start"))
        return -1;
    Muxer *m = lookup(handle);
    if (!m || !param || !param->file_path || !param->file_path[0])
        return -1;
    if (m->active)
        finish_segment(m);

    const ozi_mux_input &in = m->in;
    Config &c = m->cfg;
    c = Config{};
    c.type = uint8_t(in.media_rec_type);
    c.has_audio = in.capture_audio ? 1 : 0;
    c.width = in.width;
    c.height = in.height;
    c.fps = in.file_fps > 0 ? uint32_t(in.file_fps) : 25;
    c.video_timescale = 90000;
    c.frame_interval_ms = in.frame_interval > 0 ? uint32_t(in.frame_interval) : 0;
    c.start_wall = int64_t(time(nullptr));
    if (in.capture_audio)
        default_audio_config(&c, in);
    if (!c.frame_interval_ms && c.audio_rate)
        c.frame_interval_ms = 1024 * 1000 / c.audio_rate;
    c.data_offset = is_mp4(m) ? kMp4HeaderSize : avi_header_size(c) - 4;

    m->path = param->file_path;
    m->jpath = m->path + (is_mp4(m) ? ".stbl" : ".idx");
    m->cpath = is_mp4(m) ? m->path + ".moov" : std::string();
    m->journal_records = uint32_t(is_mp4(m) ? kJournalHeaderSize : kAviJournalRecords);
    m->have_origin = false;
    m->audio_config_set = false;
    m->samples.clear();
    m->handed = 0;
    m->synced_end = 0;
    m->jcap = m->journal_records;
    m->jrecords = 0;
    m->reserved = 0;
    m->avi_video_chunks = 0;
    m->last_flush_ms = now_ms();

    const int flags = O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC;
    m->fd = io().open(m->path.c_str(), flags, 0644);
    m->jfd = io().open(m->jpath.c_str(), flags, 0644);
    if (is_mp4(m))
        m->cfd = io().open(m->cpath.c_str(), flags, 0644);
    bool ok = m->fd >= 0 && m->jfd >= 0 && (!is_mp4(m) || m->cfd >= 0);

    uint8_t jh[kJournalHeaderSize];
    encode_journal_header(m->journal_records, jh);
    if (ok && is_mp4(m)) {
        uint8_t pre[kMp4HeaderSize];
        mp4_preamble(0, pre);
        ok = pwrite_all(m->fd, pre, sizeof pre, 0);
        m->end = kMp4HeaderSize;
    } else if (ok) {
        Buf hdr;
        avi_build_header(c, AviCounts{}, &hdr);
        ok = pwrite_all(m->fd, hdr.b.data(), hdr.size(), 0);
        m->end = hdr.size();
    }
    Buf config;
    encode_config(c, &config);
    ok = ok && pwrite_all(m->jfd, jh, sizeof jh, 0) && write_config(m, config.b);
    /* The first hand-over syncs it (with the frames' changes). */
    m->cfg_dirty = true;
    if (!ok) {
        abandon_start(m);
        return -1;
    }
    m->active = true;
    return 0;
}

extern "C" int ozi_mux_add_video(int handle, struct video_stream *stream)
{
    if (ozi_host_should_fail("ozi_mux_add_video"))
        return -1;
    Muxer *m = lookup(handle);
    if (!m || !m->active || !stream || !stream->data || stream->len == 0)
        return -1;
    return is_mp4(m) ? add_video_mp4(m, stream) : add_video_avi(m, stream);
}

extern "C" int ozi_mux_add_audio(int handle, struct audio_stream *stream)
{
    if (ozi_host_should_fail("ozi_mux_add_audio"))
        return -1;
    Muxer *m = lookup(handle);
    if (!m || !m->active || !m->cfg.has_audio || !stream || !stream->data || stream->len == 0)
        return -1;
    const uint8_t *d = stream->data;
    const uint32_t n = stream->len;
    Adts a;
    if (!parse_adts(d, n, &a)) {
        if (n >= 2 && d[0] == 0xFF && (d[1] & 0xF0) == 0xF0)
            return -1; /* a broken ADTS header, not raw AAC */
        m->audio_config_set = true; /* raw frames: the configured format */
        return add_aac(m, d, n, stream->ts);
    }
    /* A buffer may carry several ADTS frames; each is one sample. */
    uint64_t ts = stream->ts;
    uint32_t off = 0;
    int rc = 0;
    while (off < n && parse_adts(d + off, n - off, &a)) {
        if (a.blocks != 1 || !check_adts_config(m, a))
            return -1;
        if (add_aac(m, d + off + a.header_len, a.frame_len - a.header_len, ts) != 0)
            rc = -1;
        off += a.frame_len;
        ts += m->cfg.frame_interval_ms;
    }
    return off == n ? rc : -1;
}

extern "C" int ozi_mux_stop(int handle)
{
    Muxer *m = lookup(handle);
    /* An injected failure is a stop that could not write its index: the
     * segment's files are closed and its side files kept for the repair. */
    if (ozi_host_should_fail("ozi_mux_stop")) {
        if (m && m->active)
            finish_segment(m, false);
        return -1;
    }
    if (!m || !m->active)
        return -1;
    return finish_segment(m);
}

extern "C" int ozi_mux_close(int handle)
{
    if (ozi_host_should_fail("ozi_mux_close"))
        return -1;
    Muxer *m = nullptr;
    if (handle >= 0 && handle < kMaxMuxers) {
        std::lock_guard<std::mutex> lock(g_lock);
        m = g_muxers[handle];
        g_muxers[handle] = nullptr;
    }
    if (!m)
        return -1;
    int rc = m->active ? finish_segment(m) : 0;
    stop_syncer(m);
    delete m;
    return rc;
}

extern "C" int ozi_mux_fix_file(FILE *record, FILE *avi_idx, FILE *mp4_moov, FILE *mp4_stbl,
                                enum ozi_mux_type type, struct mux_fileinfo *info)
{
    if (ozi_host_should_fail("ozi_mux_fix_file"))
        return -1;
    if (!record || !info)
        return -1;
    Config c;
    std::vector<uint8_t> side, journal;
    if (type == MUX_TYPE_MP4) {
        if (!mp4_moov || !mp4_stbl || !read_stream(mp4_moov, &side) ||
            !decode_config(side.data(), side.size(), &c) || !read_stream(mp4_stbl, &journal))
            return -1;
    } else if (type == MUX_TYPE_AVI) {
        if (!avi_idx || !read_stream(avi_idx, &journal) || journal.size() < kAviJournalRecords ||
            !decode_config(journal.data() + kJournalHeaderSize, kConfigMax, &c))
            return -1;
    } else {
        return -1;
    }
    if (c.type != type || (type == MUX_TYPE_AVI && c.data_offset != avi_header_size(c) - 4))
        return -1;
    std::vector<Sample> samples;
    if (!read_journal(journal, &samples))
        return -1;

    if (fflush(record) != 0)
        return -1;
    int fd = fileno(record);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return -1;
    uint64_t end = keep_whole_samples(c, &samples, data_limit(fd, c, uint64_t(st.st_size)));
    if (samples.empty())
        return -1;
    uint32_t total = 0;
    if (!write_index(fd, c, samples.data(), samples.size(), end, &total))
        return -1;
    /* The start of the recording travels in the file's modification time. */
    struct timespec times[2];
    times[0].tv_sec = 0;
    times[0].tv_nsec = UTIME_OMIT;
    times[1].tv_sec = time_t(c.start_wall);
    times[1].tv_nsec = 0;
    futimens(fd, times);
    info->total_ms = total;
    return 0;
}
