/*
 * rtsp_rtp_aac.cpp - AAC in RTP (RFC 3640).  Pure: no socket, thread or
 * clock.
 *
 * Payload of a packet, mode AAC-hbr:
 *   AU-headers-length (16 bits: 16 per AU-header)
 *   AU-header per access unit: AU-size (13 bits), AU-index(-delta) (3 bits, 0)
 *   the access units, back to back
 */
#include "rtsp_rtp_aac.h"

#include <cstring>

namespace {

constexpr int kRates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                          22050, 16000, 12000, 11025, 8000,  7350};
constexpr size_t kPayloadMax = RTP_MAX_NAL_PAYLOAD;
constexpr size_t kAuMax = 8191;   /* 13-bit AU-size */

struct au {
    const uint8_t *p;
    size_t n;
};

}  // namespace

extern "C" {

int rtp_aac_config(int sample_rate, int channels)
{
    if (channels < 1 || channels > 7)
        return -1;
    for (int i = 0; i < (int)(sizeof(kRates) / sizeof(kRates[0])); i++)
        if (kRates[i] == sample_rate)
            return (2 << 11) | (i << 7) | (channels << 3);   /* AAC-LC */
    return -1;
}

int rtp_aac_adts_frame(const uint8_t *b, size_t n, size_t *hdr, size_t *frame)
{
    if (!b || n < 7 || b[0] != 0xff || (b[1] & 0xf6) != 0xf0)
        return 0;
    size_t h = (b[1] & 1) ? 7 : 9;
    size_t len = ((size_t)(b[3] & 3) << 11) | ((size_t)b[4] << 3) | (b[5] >> 5);
    if (len <= h || len > n)
        return 0;
    *hdr = h;
    *frame = len;
    return 1;
}

int rtp_packetize_aac(rtp_audio_state *st, const uint8_t *buf, size_t n, uint64_t ts_ms,
                      rtp_emit_fn emit, void *ctx)
{
    if (!st || !st->hdr || !buf || !emit || st->sample_rate <= 0)
        return 0;
    /* The access units of the buffer. */
    au units[64];
    int count = 0;
    size_t off = 0, h = 0, f = 0;
    while (count < 64 && off < n && rtp_aac_adts_frame(buf + off, n - off, &h, &f)) {
        if (f - h <= kAuMax)
            units[count++] = {buf + off + h, f - h};
        off += f;
    }
    if (count == 0)
        return 0;

    if (!*st->first_set) {
        *st->first_ms = ts_ms;
        *st->first_set = 1;
    }
    uint64_t rel = ts_ms >= *st->first_ms ? ts_ms - *st->first_ms : 0;
    uint32_t ts = (uint32_t)(rel * (uint64_t)st->sample_rate / 1000);

    rtp_packet pkt;
    int packets = 0;
    int i = 0;
    while (i < count) {
        /* As many whole units as fit, at least one (fragmented if big). */
        int k = 0;
        size_t bytes = 2;
        while (i + k < count && bytes + 2 + units[i + k].n <= kPayloadMax) {
            bytes += 2 + units[i + k].n;
            k++;
        }
        uint32_t unit_ts = ts + (uint32_t)(i * AAC_FRAME_SAMPLES);
        if (k > 0) {
            uint8_t *p = pkt.payload;
            p[0] = (uint8_t)((k * 16) >> 8);
            p[1] = (uint8_t)(k * 16);
            size_t pos = 2 + 2 * (size_t)k;
            for (int j = 0; j < k; j++) {
                p[2 + 2 * j] = (uint8_t)(units[i + j].n >> 5);
                p[3 + 2 * j] = (uint8_t)((units[i + j].n & 0x1f) << 3);
                memcpy(p + pos, units[i + j].p, units[i + j].n);
                pos += units[i + j].n;
            }
            pkt.header = *st->hdr;
            pkt.header.ts = unit_ts;
            pkt.header.marker = 1;
            emit(ctx, &pkt, (int)pos);
            st->hdr->seq = (uint16_t)(st->hdr->seq + 1);
            packets++;
            i += k;
            continue;
        }
        /* One unit larger than a packet: fragments, each with the whole
         * unit's AU-header, the marker on the last. */
        const au &u = units[i];
        size_t done = 0;
        while (done < u.n) {
            size_t piece = u.n - done < kPayloadMax - 4 ? u.n - done : kPayloadMax - 4;
            uint8_t *p = pkt.payload;
            p[0] = 0;
            p[1] = 16;
            p[2] = (uint8_t)(u.n >> 5);
            p[3] = (uint8_t)((u.n & 0x1f) << 3);
            memcpy(p + 4, u.p + done, piece);
            done += piece;
            pkt.header = *st->hdr;
            pkt.header.ts = unit_ts;
            pkt.header.marker = done == u.n ? 1 : 0;
            emit(ctx, &pkt, (int)(4 + piece));
            st->hdr->seq = (uint16_t)(st->hdr->seq + 1);
            packets++;
        }
        i++;
    }
    st->hdr->ts = ts + (uint32_t)(count * AAC_FRAME_SAMPLES);
    return packets;
}

}  // extern "C"
