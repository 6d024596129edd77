// libFuzzer target: the Digest credentials parser, and the whole check of
// a server with one user on the same bytes as an Authorization value.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>

#include "rtsp_auth.h"

namespace {

rtsp_auth *g_auth;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    static const uint8_t key[16] = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0, 1, 2, 3, 4, 5, 6};
    // viewer:cam:secret
    g_auth = rtsp_auth_from_text("viewer:cam:1a0cf0dbf0ebaf47fba582bea528033d\n", key);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *text = reinterpret_cast<const char *>(data);
    rtsp_digest d;
    if (rtsp_digest_parse(text, size, &d) == 0) {
        // Every field is NUL-terminated within its buffer.
        size_t n = strlen(d.username) + strlen(d.realm) + strlen(d.nonce) + strlen(d.uri) +
                   strlen(d.response) + strlen(d.algorithm) + strlen(d.qop) + strlen(d.nc) +
                   strlen(d.cnonce);
        if (n > size)
            __builtin_trap();
        char out[33];
        rtsp_digest_response("1a0cf0dbf0ebaf47fba582bea528033d", "DESCRIBE", &d, out);
    }
    char user[64];
    char challenge[256];
    for (uint64_t t : {(uint64_t)0, (uint64_t)1700000000}) {
        rtsp_auth_challenge(g_auth, t, 1, challenge, sizeof(challenge));
        rtsp_auth_check(g_auth, "DESCRIBE", "rtsp://cam/x", text, size, 0x0100007f, t, user,
                        sizeof(user));
    }
    return 0;
}
