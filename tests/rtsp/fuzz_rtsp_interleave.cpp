// libFuzzer target: the bytes of a connection cut into requests and
// interleaved packets by the message framer, fed in pieces whose sizes come
// from the input; the Transport parser, the RTCP check and the AAC
// packetiser on the same bytes.  Aborts when a result breaks its contract.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "rtsp_interleave.h"
#include "rtsp_rtcp.h"
#include "rtsp_rtp_aac.h"

namespace {

constexpr size_t kMaxRequest = 3071;

void check(bool ok)
{
    if (!ok)
        abort();
}

void count_packet(void *ctx, const rtp_packet *, int n)
{
    check(n > 0 && n <= RTP_MAX_NAL_PAYLOAD);
    ++*static_cast<int *>(ctx);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    // First byte: the size of the pieces the stream arrives in.
    size_t step = (size_t)data[0] % 97 + 1;
    const char *p = reinterpret_cast<const char *>(data + 1);
    size_t n = size - 1;

    std::string buf;
    size_t discard = 0;
    for (size_t pos = 0; pos < n; pos += step) {
        buf.append(p + pos, pos + step <= n ? step : n - pos);
        for (;;) {
            if (discard) {
                size_t d = discard < buf.size() ? discard : buf.size();
                buf.erase(0, d);
                discard -= d;
                if (discard)
                    break;
            }
            rtsp_msg m;
            int r = rtsp_next_message(buf.data(), buf.size(), kMaxRequest, &m);
            check(r >= -1 && r <= 1);
            check(m.skip <= buf.size());
            if (r < 0) {
                buf.clear();   // the server closes the connection
                break;
            }
            if (r == 0) {
                buf.erase(0, m.skip);
                break;
            }
            if (m.kind == RTSP_MSG_REQUEST) {
                check(m.len > 0 && m.skip + m.len <= buf.size() && m.len <= kMaxRequest);
                buf.erase(0, m.skip + m.len);
                continue;
            }
            check(m.kind == RTSP_MSG_INTERLEAVED);
            check(m.len >= RTSP_ILV_HEADER_SIZE && m.len <= RTSP_ILV_HEADER_SIZE + 65535);
            check(buf[m.skip] == '$' && (uint8_t)buf[m.skip + 1] == m.channel);
            if (m.len > kMaxRequest) {
                discard = m.skip + m.len;
                continue;
            }
            if (buf.size() - m.skip < m.len) {
                buf.erase(0, m.skip);
                break;
            }
            rtcp_summary sum;
            rtcp_parse(reinterpret_cast<const uint8_t *>(buf.data()) + m.skip + 4, m.len - 4, &sum);
            buf.erase(0, m.skip + m.len);
        }
    }

    std::string text(p, n);
    int a = -7, b = -7;
    int r = rtsp_transport_interleaved(text.c_str(), &a, &b);
    check(r >= -1 && r <= 1);
    if (r == 1)
        check(a >= 0 && b > a && b <= 255);

    rtcp_summary sum;
    if (rtcp_parse(data + 1, n, &sum) == 1)
        check(sum.sr + sum.rr >= 1 && sum.report_blocks >= 0);

    rtp_header hdr;
    memset(&hdr, 0, sizeof(hdr));
    uint64_t first = 0;
    uint8_t first_set = 0;
    rtp_audio_state st = {&hdr, 8000, &first, &first_set};
    int packets = 0;
    int got = rtp_packetize_aac(&st, data + 1, n, 1000, count_packet, &packets);
    check(got == packets);
    return 0;
}
