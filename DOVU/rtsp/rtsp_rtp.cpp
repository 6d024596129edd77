/*
 * rtsp_rtp.cpp - H.264 RTP packetisation (pure: no socket, thread or
 * clock).  Delivery of the packets is rtsp_deliver.cpp.
 */
#include "rtsp_rtp.h"

#include <arpa/inet.h>

#include <cstring>

namespace {

/* A NAL unit of up to this many bytes goes as a single NAL unit packet.
 * 1401 would otherwise be one FU-A fragment with both S and E set, which
 * RFC 6184 5.8 forbids; as a single packet it still fits the payload. */
constexpr size_t kSingleNalMax = RTP_MAX_NAL_PAYLOAD + 1;
constexpr size_t kFuPiece = RTP_MAX_NAL_PAYLOAD;
constexpr uint8_t kFuA = 28;

/* Start code at p[0..]: its length (3 or 4), or 0. */
size_t start_code_len(const uint8_t *p, size_t n)
{
    if (n >= 3 && p[0] == 0 && p[1] == 0 && p[2] == 1)
        return 3;
    if (n >= 4 && p[0] == 0 && p[1] == 0 && p[2] == 0 && p[3] == 1)
        return 4;
    return 0;
}

/* Finds the NAL unit that starts at or after pos (just past a start
 * code).  Its bytes are [*nal, *nal + *len), trailing zero bytes (which
 * belong to the next 4-byte start code or are trailing_zero_8bits) cut
 * off.  Returns the position just past the next start code, or n when the
 * unit runs to the end of the frame. */
size_t next_nal(const uint8_t *p, size_t n, size_t pos, size_t *nal, size_t *len)
{
    size_t i = pos;
    size_t next = n;
    size_t end = n;
    while (i + 3 <= n) {
        if (p[i + 2] > 1) {
            i += 3;
        } else if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1) {
            end = i;
            next = i + 3;
            break;
        } else {
            i++;
        }
    }
    while (end > pos && p[end - 1] == 0)
        end--;
    *nal = pos;
    *len = end - pos;
    return next;
}

struct packet_sink {
    rtp_packet pkt;
    rtp_header *tmpl;
    rtp_emit_fn emit;
    void *ctx;
    int count;

    void send(int payload_size, bool last)
    {
        pkt.header = *tmpl;
        pkt.header.marker = last ? 1 : 0;
        emit(ctx, &pkt, payload_size);
        tmpl->seq = (uint16_t)(tmpl->seq + 1);
        count++;
    }
};

/*
 * One NAL unit.  FU-A (RFC 6184 5.8):
 *
 *   FU indicator        FU header
 *  +-+-+-+-+-+-+-+-+   +-+-+-+-+-+-+-+-+
 *  |F|NRI|  Type=28|   |S|E|R|  Type   |
 *  +-+-+-+-+-+-+-+-+   +-+-+-+-+-+-+-+-+
 */
void packetize_nal(packet_sink *out, const uint8_t *nal, size_t n, bool last_nal)
{
    if (n <= kSingleNalMax) {
        memcpy(out->pkt.payload, nal, n);
        out->send((int)n, last_nal);
        return;
    }
    const uint8_t hdr = nal[0];
    const uint8_t indicator = (uint8_t)((hdr & 0x60) | kFuA);
    const uint8_t *p = nal + 1;
    size_t left = n - 1;
    bool first = true;
    while (left > 0) {
        size_t piece = left > kFuPiece ? kFuPiece : left;
        bool end = piece == left;
        out->pkt.payload[0] = indicator;
        out->pkt.payload[1] =
            (uint8_t)((hdr & 0x1f) | (first ? 0x80 : 0) | (end ? 0x40 : 0));
        memcpy(out->pkt.payload + 2, p, piece);
        out->send((int)(piece + 2), last_nal && end);
        p += piece;
        left -= piece;
        first = false;
    }
}

}  // namespace

extern "C" {

int rtp_packetize_h264(rtp_video_state *st, const uint8_t *frame, size_t frame_size,
                       uint64_t ts_ms, rtp_emit_fn emit, void *ctx)
{
    if (!st || !st->hdr || !frame || !emit)
        return 0;
    size_t sc = start_code_len(frame, frame_size);
    if (sc == 0)
        return 0;

    /* First unit with at least one byte; a frame without one is dropped. */
    size_t pos = sc, nal = 0, len = 0;
    do {
        pos = next_nal(frame, frame_size, pos, &nal, &len);
    } while (len == 0 && pos < frame_size);
    if (len == 0)
        return 0;

    /* 90 kHz from the source's milliseconds; the first frame gets 0. */
    if (!*st->last_ms_set) {
        st->hdr->ts = 0;
        *st->last_ms_set = 1;
    } else {
        uint32_t delta = (uint32_t)ts_ms - (uint32_t)*st->last_ms;
        st->hdr->ts = (uint32_t)(st->hdr->ts + 90u * delta);
    }
    *st->last_ms = ts_ms;

    packet_sink out;
    out.tmpl = st->hdr;
    out.emit = emit;
    out.ctx = ctx;
    out.count = 0;
    /* Look one unit ahead so the marker goes on the frame's last packet. */
    while (len > 0) {
        size_t next_pos = pos, nnal = 0, nlen = 0;
        while (nlen == 0 && next_pos < frame_size)
            next_pos = next_nal(frame, frame_size, next_pos, &nnal, &nlen);
        packetize_nal(&out, frame + nal, len, nlen == 0);
        pos = next_pos, nal = nnal, len = nlen;
    }
    return out.count;
}

int rtp_h264_frame_is_key(const uint8_t *frame, size_t frame_size)
{
    if (!frame)
        return 0;
    size_t sc = start_code_len(frame, frame_size);
    if (sc == 0)
        return 0;
    size_t pos = sc, nal = 0, len = 0;
    while (pos < frame_size) {
        pos = next_nal(frame, frame_size, pos, &nal, &len);
        uint8_t type = len > 0 ? (frame[nal] & 0x1f) : 0;
        if (type == 5 || type == 7)
            return 1;
    }
    return 0;
}

void rtp_header_serialize(const rtp_header *h, uint8_t out[RTP_HEADER_SIZE])
{
    out[0] = (uint8_t)((h->rtp_version << 6) | (h->padding << 5) | (h->extention << 4) |
                       h->csrc_count);
    out[1] = (uint8_t)((h->marker << 7) | h->payload_type);
    uint16_t seq = htons(h->seq);
    uint32_t ts = htonl(h->ts);
    uint32_t ssrc = htonl(h->ssrc);
    memcpy(out + 2, &seq, 2);
    memcpy(out + 4, &ts, 4);
    memcpy(out + 8, &ssrc, 4);
}

}  // extern "C"
