// libFuzzer target: bytes of a control connection, framed as the server
// frames them, each complete request handed to the request handler of a
// server object with one channel ("cam/main").  Replies are discarded.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "ll_log.h"
#include "rtsp_request.h"
#include "rtsp_test_util.h"

namespace {

ssize_t discard(int, const void *, size_t len)
{
    return (ssize_t)len;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    ll_set_log_level(LOG_LEVEL_DISABLE);
    rtsp_set_reply_fn(discard);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    // The extractor on the raw text.
    char text[RTSP_RECV_BUF_SIZE];
    size_t tn = size < sizeof(text) - 1 ? size : sizeof(text) - 1;
    memcpy(text, data, tn);
    text[tn] = '\0';
    char value[100];
    for (int item = RTSP_METHOD; item <= RESERVED + 1; item++)
        for (size_t vs : {(size_t)1, (size_t)10, sizeof(value)})
            rtsp_get_value_from_req(text, static_cast<uri_item>(item), value, vs);

    rtsp_t *rtsp = fake_rtsp_new(32000);
    fake_channel_add(rtsp, "cam/main", true);

    // Bytes arrive in reads of up to 97 bytes, into the connection buffer.
    char buf[RTSP_RECV_BUF_SIZE];
    size_t len = 0, off = 0;
    while (off < size) {
        size_t room = RTSP_RECV_BUF_SIZE - 1 - len;
        size_t chunk = size - off < 97 ? size - off : 97;
        if (chunk > room)
            chunk = room;
        memcpy(buf + len, data + off, chunk);
        len += chunk;
        off += chunk;
        bool closed = false;
        for (;;) {
            size_t skip = 0;
            ssize_t n = rtsp_frame_request(buf, len, RTSP_RECV_BUF_SIZE - 1, &skip);
            if (n < 0) {
                closed = true;
                break;
            }
            if (n == 0) {
                memmove(buf, buf + skip, len - skip);
                len -= skip;
                break;
            }
            char req[RTSP_RECV_BUF_SIZE];
            memcpy(req, buf + skip, (size_t)n);
            req[n] = '\0';
            memmove(buf, buf + skip + n, len - skip - (size_t)n);
            len -= skip + (size_t)n;
            if (n > 3)
                rtsp_handle_packet(rtsp, 7, req, (int)n);
        }
        if (closed || len == RTSP_RECV_BUF_SIZE - 1)
            break;
    }
    fake_rtsp_free(rtsp);
    return 0;
}
