// libFuzzer target: bytes of a control connection, read, framed and
// handled by the server's connection read path for a server object with
// one channel ("cam/main").  Replies are discarded.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include <fcntl.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "ll_log.h"
#include "rtsp_auth.h"
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

    // The bytes reach the server's own connection read path through a
    // socket pair: one read per event, framing, logging and handling.
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
        return 0;
    fcntl(sv[0], F_SETFL, O_NONBLOCK);
    size_t off = 0;
    while (off < size) {
        ssize_t w = write(sv[1], data + off, size - off);
        if (w <= 0)
            break;
        off += (size_t)w;
    }
    shutdown(sv[1], SHUT_WR);

    rtsp_t *rtsp = fake_rtsp_new(32000);
    fake_channel_add(rtsp, "cam/main", true);
    // Inputs of odd length meet a server that requires credentials.
    static const uint8_t key[16] = {1};
    if (size % 2)
        rtsp->auth = rtsp_auth_from_text("viewer:cam:1a0cf0dbf0ebaf47fba582bea528033d\n", key);
    if (rtsp__conn_open(rtsp, sv[0]) == 0) {
        // Each event reads at most a buffer's worth; end of stream closes.
        for (size_t i = 0; i < size + 4; i++)
            if (!rtsp__conn_event(rtsp, sv[0], EPOLLIN))
                break;
    }
    rtsp__conns_close(rtsp);
    close(sv[1]);
    rtsp_auth_free(static_cast<rtsp_auth *>(rtsp->auth));
    fake_rtsp_free(rtsp);
    return 0;
}
