/*
 * ozi_vi.cpp - video input of the host platform: an emulated 1920x1080
 * sensor with an ISP and up to kMaxChn capture channels.
 *
 * Each enabled channel delivers I420 pictures of its own size at its own
 * frame rate, paced by the monotonic clock: sensor frame k of a channel is
 * due k frame intervals after the whole second before the channel was
 * enabled.  The scene moves with the capture time; the frame captured on
 * a whole second of the clock carries the A/V sync mark.  A caller that comes
 * late gets the newest due picture (older ones are dropped, as a sensor
 * overwrites a buffer nobody read); one that comes early gets a non-zero
 * result at once.  A channel holds frame_depth buffers; while all are out
 * with the caller, no picture is delivered.  Pictures dropped while a
 * caller polls (it asked within the last second) are counted and logged,
 * at most once a second and when the channel stops, so that a gap in the
 * footage can be told apart from one the caller made; the pictures of a
 * channel nobody polls are not drops.
 *
 * THREADS: the daemon's encoder workers and its legacy pull interface call
 * vi from several threads, also on one channel at once.
 *   g_dev_mutex   guards Device (open/enable/attributes/tuning data).
 *   Channel::mutex guards the channel's attributes, pacing and buffer table.
 *   Channel::render_mutex guards the Channel::scene pointer only: a capture
 *                 copies it out and draws without a lock (a scene may draw
 *                 on several threads at once), into a buffer already
 *                 marked as held; the last holder frees a dropped scene.
 * Locks are never nested; g_dev_enabled is atomic so a capture need not
 * take g_dev_mutex.
 */
#include "ozi_core.h"
#include "ozi_host.h"
#include "ozi_scene.h"
#include "ozi_sdk.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <sys/stat.h>
#include <vector>

namespace {

constexpr int kSensorWidth = 1920;
constexpr int kSensorHeight = 1080;
constexpr int kMaxChn = 2;
constexpr int kMaxDepth = 8;
constexpr int kMaxFps = 60;
constexpr long kMaxTuningBytes = 1 << 20;
/* A caller that asked for a picture this recently is polling the channel:
 * the pictures it misses count as dropped. */
constexpr uint64_t kPolledUs = 1000000;

struct Device {
    bool opened = false;
    bool attr_set = false;
    VI_DEV_ATTR attr{};
    std::vector<unsigned char> tuning; /* ISP tuning data, opaque */
    bool builtin_tuning = true;
};

struct Buffer {
    std::unique_ptr<unsigned char[]> data;
    bool held = false; /* lent to a caller (or being drawn for one) */
};

struct Channel {
    std::mutex mutex; /* guards every field up to render_mutex */
    bool configured = false;
    bool enabled = false;
    VI_CHN_ATTR attr{};
    size_t frame_bytes = 0;
    uint64_t start_us = 0;  /* clock at enable */
    uint64_t next_slot = 1; /* sensor frame number of the next picture */
    uint32_t seq = 0;       /* pictures delivered */
    uint64_t dropped = 0;   /* pictures dropped since the last report */
    uint64_t report_us = 0; /* clock at the last report */
    uint64_t polled_us = 0; /* clock at the last ozi_vi_get_frame (or enable) */
    Buffer bufs[kMaxDepth];
    int depth = 0;

    std::mutex render_mutex; /* guards scene */
    std::shared_ptr<ozi__scene> scene;
};

std::mutex g_dev_mutex; /* guards g_dev */
Device g_dev;
std::atomic<bool> g_dev_enabled{false};

/* Channels live for the whole process: detached workers may still use
 * them while the process exits, so they are never destroyed. */
Channel *channels()
{
    static Channel *chans = new Channel[kMaxChn];
    return chans;
}

Channel *channel(int chn)
{
    return chn >= 0 && chn < kMaxChn ? &channels()[chn] : nullptr;
}

/* Time the picture of sensor frame `slot` is due, in us. */
uint64_t slot_time_us(const Channel &c, uint64_t slot)
{
    return c.start_us + slot * 1000000u / (uint64_t)c.attr.frame_rate;
}

/* The drops not yet reported, or 0 while a report is not due (`force`:
 * due now); clears the count it returns.  Under Channel::mutex. */
uint64_t take_drops_locked(Channel &c, uint64_t now_us, bool force)
{
    if (c.dropped == 0 || (!force && now_us - c.report_us < 1000000u))
        return 0;
    uint64_t n = c.dropped;
    c.dropped = 0;
    c.report_us = now_us;
    return n;
}

void report_drops(int chn, uint64_t n)
{
    if (n)
        ozi_print(MODULE_ID_APP, LOG_LEVEL_NOTICE,
                  "[vi] chn %d: %llu pictures dropped, not taken in time\n", chn,
                  (unsigned long long)n);
}

/* Stops capture on channel `chn` and reports the drops not yet reported;
 * `free_buffers` also counts every buffer as returned (the device closes). */
void stop_channel(int chn, Channel &c, bool free_buffers)
{
    uint64_t drops;
    {
        std::lock_guard<std::mutex> lock(c.mutex);
        c.enabled = false;
        if (free_buffers)
            for (Buffer &b : c.bufs)
                b.held = false;
        drops = take_drops_locked(c, ozi__now_us(), true);
    }
    report_drops(chn, drops);
}

/* The channel's scene, built when it has none: outside every lock (it
 * takes a while, 80 ms at 1080p), and a scene another thread installed
 * meanwhile wins. */
std::shared_ptr<ozi__scene> channel_scene(Channel &c, int w, int h, int fps)
{
    {
        std::lock_guard<std::mutex> lock(c.render_mutex);
        if (c.scene)
            return c.scene;
    }
    std::shared_ptr<ozi__scene> scene(ozi__scene_create(w, h, fps, std::getenv("OZI_SCENE_FILE")),
                                      ozi__scene_destroy);
    std::lock_guard<std::mutex> lock(c.render_mutex);
    if (!c.scene)
        c.scene = scene;
    return c.scene;
}

void drop_scene(Channel &c)
{
    std::lock_guard<std::mutex> lock(c.render_mutex);
    c.scene.reset();
}

} // namespace

extern "C" int ozi_vi_open(int dev)
{
    if (ozi_host_should_fail("ozi_vi_open"))
        return -1;
    if (dev != 0)
        return -1;
    std::lock_guard<std::mutex> lock(g_dev_mutex);
    g_dev.opened = true;
    return 0;
}

/* Stops every channel.  Pictures still out stay readable (their buffers
 * are kept for the next use of the channel) but are no longer counted as
 * held: a reopened device starts with all buffers free. */
extern "C" int ozi_vi_close(int dev)
{
    if (ozi_host_should_fail("ozi_vi_close"))
        return -1;
    if (dev != 0)
        return -1;
    for (int i = 0; i < kMaxChn; i++)
        stop_channel(i, *channel(i), true);
    g_dev_enabled = false;
    {
        std::lock_guard<std::mutex> lock(g_dev_mutex);
        g_dev = Device();
    }
    for (int i = 0; i < kMaxChn; i++)
        drop_scene(channels()[i]);
    return 0;
}

extern "C" int ozi_vi_enable_dev(int dev)
{
    if (ozi_host_should_fail("ozi_vi_enable_dev"))
        return -1;
    if (dev != 0)
        return -1;
    std::lock_guard<std::mutex> lock(g_dev_mutex);
    if (!g_dev.opened)
        return -1;
    g_dev_enabled = true;
    return 0;
}

extern "C" int ozi_vi_disable_dev(int dev)
{
    if (ozi_host_should_fail("ozi_vi_disable_dev"))
        return -1;
    if (dev != 0)
        return -1;
    g_dev_enabled = false;
    return 0;
}

/*
 * Loads the sensor's ISP tuning.  The file is opaque tuning data; a
 * missing file is not an error (the ISP then runs on built-in tuning, so
 * a machine without the file still gives pictures), but one that exists
 * and cannot be read is.
 */
extern "C" int ozi_vi_load_sensor_cfg(int dev, const char *isp_file)
{
    if (ozi_host_should_fail("ozi_vi_load_sensor_cfg"))
        return -1;
    if (dev != 0)
        return -1;
    struct stat st;
    if (!isp_file || !*isp_file || stat(isp_file, &st) != 0) {
        ozi_print(MODULE_ID_APP, LOG_LEVEL_NOTICE,
                  "[vi] isp file [%s] not found, using built-in tuning\n",
                  isp_file ? isp_file : "");
        std::lock_guard<std::mutex> lock(g_dev_mutex);
        g_dev.tuning.clear();
        g_dev.builtin_tuning = true;
        return 0;
    }
    std::vector<unsigned char> data;
    FILE *f = S_ISREG(st.st_mode) && st.st_size <= kMaxTuningBytes ? fopen(isp_file, "rb")
                                                                    : nullptr;
    if (!f) {
        ozi_print(MODULE_ID_APP, LOG_LEVEL_ERROR, "[vi] isp file [%s] cannot be read\n",
                  isp_file);
        return -1;
    }
    data.resize((size_t)st.st_size);
    size_t got = data.empty() ? 0 : fread(data.data(), 1, data.size(), f);
    bool bad = ferror(f) != 0 || got != data.size();
    fclose(f);
    if (bad) {
        ozi_print(MODULE_ID_APP, LOG_LEVEL_ERROR, "[vi] isp file [%s] read error\n", isp_file);
        return -1;
    }
    ozi_print(MODULE_ID_APP, LOG_LEVEL_NORMAL, "[vi] isp file [%s] loaded, %zu bytes\n",
              isp_file, data.size());
    std::lock_guard<std::mutex> lock(g_dev_mutex);
    g_dev.tuning.swap(data);
    g_dev.builtin_tuning = false;
    return 0;
}

extern "C" int ozi_vi_get_sensor_resolution(int dev, RECTANGLE_S *res)
{
    if (ozi_host_should_fail("ozi_vi_get_sensor_resolution"))
        return -1;
    if (dev != 0 || !res)
        return -1;
    std::lock_guard<std::mutex> lock(g_dev_mutex);
    if (!g_dev.opened)
        return -1;
    res->width = kSensorWidth;
    res->height = kSensorHeight;
    return 0;
}

extern "C" int ozi_vi_set_dev_attr(int dev, VI_DEV_ATTR *attr)
{
    if (ozi_host_should_fail("ozi_vi_set_dev_attr"))
        return -1;
    if (dev != 0 || !attr)
        return -1;
    const crop_info &c = attr->crop;
    if (c.left < 0 || c.top < 0 || c.width < 0 || c.height < 0 ||
        c.left + c.width > kSensorWidth || c.top + c.height > kSensorHeight)
        return -1;
    std::lock_guard<std::mutex> lock(g_dev_mutex);
    if (!g_dev.opened)
        return -1;
    g_dev.attr = *attr;
    g_dev.attr_set = true;
    return 0;
}

/* Sizes must be even and fit the sensor; rates 1..60; depth 1..8 (0 is
 * taken as 1).  Refused while the channel runs or a picture is out. */
extern "C" int ozi_vi_set_chn_attr(int chn, VI_CHN_ATTR *attr)
{
    if (ozi_host_should_fail("ozi_vi_set_chn_attr"))
        return -1;
    Channel *c = channel(chn);
    if (!c || !attr)
        return -1;
    int w = attr->res.width, h = attr->res.height;
    if (w < 16 || h < 16 || (w & 1) || (h & 1) || w > kSensorWidth || h > kSensorHeight ||
        attr->frame_rate < 1 || attr->frame_rate > kMaxFps || attr->frame_depth < 0 ||
        attr->frame_depth > kMaxDepth)
        return -1;
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        if (c->enabled)
            return -1;
        for (int i = 0; i < c->depth; i++)
            if (c->bufs[i].held)
                return -1;
        size_t bytes = (size_t)w * h * 3 / 2;
        int depth = attr->frame_depth > 0 ? attr->frame_depth : 1;
        for (int i = 0; i < kMaxDepth; i++) {
            if (i < depth && (!c->bufs[i].data || c->frame_bytes != bytes))
                c->bufs[i].data.reset(new (std::nothrow) unsigned char[bytes]);
            else if (i >= depth)
                c->bufs[i].data.reset();
            if (i < depth && !c->bufs[i].data) {
                c->configured = false;
                c->depth = 0;
                return -1;
            }
        }
        c->attr = *attr;
        c->attr.frame_depth = depth;
        c->attr.chn_id = chn;
        c->frame_bytes = bytes;
        c->depth = depth;
        c->configured = true;
    }
    drop_scene(*c); /* a new size needs a new background */
    return 0;
}

extern "C" int ozi_vi_enable_chn(int chn)
{
    if (ozi_host_should_fail("ozi_vi_enable_chn"))
        return -1;
    Channel *c = channel(chn);
    if (!c)
        return -1;
    int w, h, fps;
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        if (!c->configured)
            return -1;
        w = c->attr.res.width;
        h = c->attr.res.height;
        fps = c->attr.frame_rate;
    }
    /* The scene is ready before the first picture is due, so that building
     * it does not make the first capture late (and the next one dropped). */
    channel_scene(*c, w, h, fps);
    std::lock_guard<std::mutex> lock(c->mutex);
    if (!c->configured)
        return -1;
    if (!c->enabled) {
        /* Sensor frames are counted from the last whole second of the
         * clock, so that one frame of each second is captured exactly on
         * the second (where the A/V sync mark goes); the first picture is
         * still due within one frame interval. */
        uint64_t now = ozi__now_us();
        c->enabled = true;
        c->polled_us = now;
        c->start_us = now - now % 1000000u;
        c->next_slot = (now - c->start_us) * (uint64_t)c->attr.frame_rate / 1000000u + 1;
    }
    return 0;
}

extern "C" int ozi_vi_disable_chn(int chn)
{
    if (ozi_host_should_fail("ozi_vi_disable_chn"))
        return -1;
    Channel *c = channel(chn);
    if (!c)
        return -1;
    stop_channel(chn, *c, false);
    return 0;
}

extern "C" int ozi_vi_get_frame(int chn, struct video_input_frame *frame)
{
    if (ozi_host_should_fail("ozi_vi_get_frame"))
        return -1;
    Channel *c = channel(chn);
    if (!c || !frame || !g_dev_enabled)
        return -1;
    Buffer *buf = nullptr;
    uint64_t ts_ms, capture_us;
    uint32_t seq, scene_index;
    int w, h, fps;
    size_t bytes;
    uint64_t drops;
    {
        std::lock_guard<std::mutex> lock(c->mutex);
        if (!c->enabled)
            return -1;
        uint64_t now = ozi__now_us();
        const bool polled = now - c->polled_us <= kPolledUs;
        c->polled_us = now;
        if (now < slot_time_us(*c, c->next_slot))
            return -1;
        for (int i = 0; i < c->depth && !buf; i++)
            if (!c->bufs[i].held)
                buf = &c->bufs[i];
        if (!buf)
            return -1; /* every buffer is out: the sensor drops this picture */
        /* Deliver the newest due picture; older ones are gone. */
        uint64_t slot = (now - c->start_us) * (uint64_t)c->attr.frame_rate / 1000000u;
        if (slot < c->next_slot)
            slot = c->next_slot;
        if (polled)
            c->dropped += slot - c->next_slot;
        drops = take_drops_locked(*c, now, false);
        capture_us = slot_time_us(*c, slot);
        ts_ms = capture_us / 1000u;
        /* The scene's frame number counts from the clock's zero, so that
         * every channel shows the same moment of the scene. */
        scene_index = (uint32_t)(capture_us * (uint64_t)c->attr.frame_rate / 1000000u);
        c->next_slot = slot + 1;
        seq = c->seq++;
        buf->held = true;
        w = c->attr.res.width;
        h = c->attr.res.height;
        fps = c->attr.frame_rate;
        bytes = c->frame_bytes;
    }
    report_drops(chn, drops);
    std::shared_ptr<ozi__scene> scene = channel_scene(*c, w, h, fps);
    if (scene)
        ozi__scene_render(scene.get(), scene_index, time(nullptr), buf->data.get());
    else
        std::memset(buf->data.get(), 0x80, bytes);
    if (capture_us % 1000000u == 0)
        ozi__scene_draw_sync_mark(buf->data.get(), w, h);
    std::memset(frame, 0, sizeof *frame);
    frame->vi_frame.data = buf->data.get();
    frame->vi_frame.len = (uint32_t)bytes;
    frame->vi_frame.ts = ts_ms;
    frame->vi_frame.seq_no = seq;
    frame->phyaddr = (uint32_t)(uintptr_t)buf->data.get();
    return 0;
}

extern "C" int ozi_vi_release_frame(int chn, struct video_input_frame *frame)
{
    if (ozi_host_should_fail("ozi_vi_release_frame"))
        return -1;
    Channel *c = channel(chn);
    if (!c || !frame || !frame->vi_frame.data)
        return -1;
    std::lock_guard<std::mutex> lock(c->mutex);
    for (int i = 0; i < c->depth; i++) {
        if (c->bufs[i].held && c->bufs[i].data.get() == frame->vi_frame.data) {
            c->bufs[i].held = false;
            return 0;
        }
    }
    return -1;
}
