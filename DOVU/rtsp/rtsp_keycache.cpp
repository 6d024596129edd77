/*
 * rtsp_keycache.cpp - the channel's latest key frame and what followed it,
 * in wire form, for players that start just after it.
 */
#include "rtsp_keycache.h"

#include <new>
#include <vector>

struct rtsp_key_cache {
    uint32_t window_ms;
    size_t max_bytes;
    bool open = false;
    uint64_t key_ts = 0;
    uint64_t key_taken_ms = 0;
    std::vector<uint8_t> bytes;
    std::vector<uint16_t> lens;

    void close()
    {
        open = false;
        bytes.clear();
        lens.clear();
    }
};

extern "C" rtsp_key_cache *rtsp_key_cache_new(uint32_t window_ms, size_t max_bytes)
{
    rtsp_key_cache *c = new (std::nothrow) rtsp_key_cache;
    if (c) {
        c->window_ms = window_ms;
        c->max_bytes = max_bytes;
    }
    return c;
}

extern "C" void rtsp_key_cache_free(rtsp_key_cache *c)
{
    delete c;
}

extern "C" void rtsp_key_cache_frame(rtsp_key_cache *c, int is_key, uint64_t ts_ms, uint64_t now_ms)
{
    if (!c)
        return;
    if (is_key) {
        c->close();
        c->open = true;
        c->key_ts = ts_ms;
        c->key_taken_ms = now_ms;
    } else if (c->open && (ts_ms < c->key_ts || ts_ms - c->key_ts > c->window_ms)) {
        c->close();
    }
}

extern "C" void rtsp_key_cache_add(rtsp_key_cache *c, const uint8_t *pkt, size_t len)
{
    if (!c || !c->open || !pkt || len == 0 || len > 0xffff)
        return;
    if (c->bytes.size() + len > c->max_bytes) {
        c->close();   /* a gap would break the sequence: nothing rather than part */
        return;
    }
    c->bytes.insert(c->bytes.end(), pkt, pkt + len);
    c->lens.push_back((uint16_t)len);
}

extern "C" int rtsp_key_cache_open(const rtsp_key_cache *c)
{
    return c && c->open && !c->lens.empty();
}

extern "C" size_t rtsp_key_cache_packets(const rtsp_key_cache *c, const uint8_t **buf,
                                         const uint16_t **lens)
{
    if (!rtsp_key_cache_open(c))
        return 0;
    if (buf)
        *buf = c->bytes.data();
    if (lens)
        *lens = c->lens.data();
    return c->lens.size();
}

extern "C" int rtsp_key_cache_recent(const rtsp_key_cache *c, uint64_t now_ms)
{
    return rtsp_key_cache_open(c) && now_ms >= c->key_taken_ms &&
           now_ms - c->key_taken_ms <= c->window_ms;
}
