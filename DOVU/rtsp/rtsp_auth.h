/*
 * rtsp_auth.h - HTTP Digest authentication of RTSP requests (RFC 7616 with
 * MD5 and qop=auth; answers without qop, as RFC 2617 and 2069 clients send
 * them, are accepted too).
 *
 * Users come from a credentials file of "user:realm:HA1" lines, HA1 being
 * the 32 hex digits of MD5(user:realm:password).  The server challenges
 * with the realm of the first line.  Nonces carry their issue time and a
 * keyed hash, so the server keeps no list of the nonces it gave out; they
 * expire after RTSP_NONCE_TTL_SEC.  For qop=auth the highest nonce count
 * seen per nonce is kept, and a count that does not grow is a replay.
 *
 * Pure apart from rtsp_auth_load (reads a file, draws the key): time comes
 * in as an argument.  One thread (the server thread) uses a record.
 */
#ifndef RTSP_AUTH_H
#define RTSP_AUTH_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define RTSP_NONCE_TTL_SEC 120
/* Failed attempts of one address before it is refused for a while. */
#define RTSP_AUTH_FAIL_BURST 5
#define RTSP_AUTH_LOCK_SEC 30

/* MD5 of data[0..n) as 32 lower-case hex digits and a NUL. */
void rtsp_md5_hex(const void *data, size_t n, char out[33]);

/* The fields of a Digest credentials header value (after "Digest"). */
typedef struct rtsp_digest {
    char username[64];
    char realm[64];
    char nonce[64];
    char uri[256];
    char response[40];
    char algorithm[16];
    char qop[16];
    char nc[16];
    char cnonce[128];
} rtsp_digest;

/* Parses `Digest k=v, k="v", ...` (n bytes, not NUL-terminated).  Unknown
 * parameters are skipped.  0 when the scheme is Digest and username,
 * realm, nonce, uri and response are present and fit; -1 otherwise. */
int rtsp_digest_parse(const char *value, size_t n, rtsp_digest *out);

/* The expected response for d and method, from HA1 (32 hex digits). */
void rtsp_digest_response(const char *ha1, const char *method, const rtsp_digest *d, char out[33]);

typedef struct rtsp_auth rtsp_auth;

typedef enum rtsp_auth_result {
    RTSP_AUTH_OK = 0,
    RTSP_AUTH_MISSING = 1,   /* no credentials: challenge */
    RTSP_AUTH_STALE = 2,     /* right answer to an expired nonce: challenge, stale */
    RTSP_AUTH_BAD = 3,       /* unknown user, wrong realm/uri/response, forged nonce */
    RTSP_AUTH_REPLAY = 4,    /* nonce count that did not grow */
    RTSP_AUTH_LOCKED = 5,    /* too many failures from this address */
} rtsp_auth_result;

/* Reads a credentials file; null when it is absent, unreadable or holds
 * no valid line.  The nonce key is drawn from the system's random source. */
rtsp_auth *rtsp_auth_load(const char *path);
/* The same from the file's text, with a given 16-byte key (tests). */
rtsp_auth *rtsp_auth_from_text(const char *text, const uint8_t key[16]);
void rtsp_auth_free(rtsp_auth *a);
const char *rtsp_auth_realm(const rtsp_auth *a);

/*
 * Checks the Authorization header value of a request (null or empty when
 * the request has none) for method and the request-line URL, at now_sec,
 * from the peer address peer (IPv4, any byte order; used only to count
 * failures).  Failures (BAD, REPLAY) count against the address; after
 * RTSP_AUTH_FAIL_BURST of them in a row it is LOCKED for
 * RTSP_AUTH_LOCK_SEC, whatever it sends.  On OK and BAD the user name
 * given is copied to user (user_size bytes) when user is not null.
 */
rtsp_auth_result rtsp_auth_check(rtsp_auth *a, const char *method, const char *url,
                                 const char *authz, size_t authz_len, uint32_t peer,
                                 uint64_t now_sec, char *user, size_t user_size);

/* Writes the WWW-Authenticate header line (with CRLF) of a challenge with
 * a fresh nonce; returns its length, or -1 when it does not fit. */
int rtsp_auth_challenge(rtsp_auth *a, uint64_t now_sec, int stale, char *out, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* RTSP_AUTH_H */
