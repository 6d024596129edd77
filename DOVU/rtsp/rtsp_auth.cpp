/*
 * rtsp_auth.cpp - Digest authentication: MD5 (RFC 1321), the credentials
 * header parser, keyed nonces and the per-address failure count.
 */
#include "rtsp_auth.h"

#include <strings.h>
#include <sys/random.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

/* ---- MD5 ----------------------------------------------------------------- */

namespace {

struct md5_ctx {
    uint32_t s[4];
    uint64_t bytes;
    uint8_t block[64];
};

inline uint32_t rol(uint32_t x, int c)
{
    return (x << c) | (x >> (32 - c));
}

void md5_block(uint32_t s[4], const uint8_t *p)
{
    static const uint32_t K[64] = {
        0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613,
        0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193,
        0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d,
        0x02441453, 0xd8a1e681, 0xe7d3fbc8, 0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed,
        0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122,
        0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
        0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665, 0xf4292244,
        0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
        0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb,
        0xeb86d391};
    static const int R[64] = {7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
                              5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
                              4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
                              6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};
    uint32_t m[16];
    for (int i = 0; i < 16; i++)
        m[i] = (uint32_t)p[i * 4] | (uint32_t)p[i * 4 + 1] << 8 | (uint32_t)p[i * 4 + 2] << 16 |
               (uint32_t)p[i * 4 + 3] << 24;
    uint32_t a = s[0], b = s[1], c = s[2], d = s[3];
    for (int i = 0; i < 64; i++) {
        uint32_t f;
        int g;
        if (i < 16)
            f = (b & c) | (~b & d), g = i;
        else if (i < 32)
            f = (d & b) | (~d & c), g = (5 * i + 1) % 16;
        else if (i < 48)
            f = b ^ c ^ d, g = (3 * i + 5) % 16;
        else
            f = c ^ (b | ~d), g = (7 * i) % 16;
        uint32_t t = d;
        d = c;
        c = b;
        b = b + rol(a + f + K[i] + m[g], R[i]);
        a = t;
    }
    s[0] += a, s[1] += b, s[2] += c, s[3] += d;
}

void md5_init(md5_ctx *c)
{
    c->s[0] = 0x67452301, c->s[1] = 0xefcdab89, c->s[2] = 0x98badcfe, c->s[3] = 0x10325476;
    c->bytes = 0;
}

void md5_update(md5_ctx *c, const void *data, size_t n)
{
    const uint8_t *p = static_cast<const uint8_t *>(data);
    while (n > 0) {
        size_t used = (size_t)(c->bytes % 64);
        size_t take = 64 - used < n ? 64 - used : n;
        memcpy(c->block + used, p, take);
        c->bytes += take;
        p += take;
        n -= take;
        if (used + take == 64)
            md5_block(c->s, c->block);
    }
}

void md5_hex_final(md5_ctx *c, char out[33])
{
    uint64_t bits = c->bytes * 8;
    static const uint8_t pad[64] = {0x80};
    size_t used = (size_t)(c->bytes % 64);
    md5_update(c, pad, used < 56 ? 56 - used : 120 - used);
    uint8_t len[8];
    for (int i = 0; i < 8; i++)
        len[i] = (uint8_t)(bits >> (8 * i));
    md5_update(c, len, 8);
    for (int i = 0; i < 16; i++)
        snprintf(out + i * 2, 3, "%02x", (unsigned)(c->s[i / 4] >> (8 * (i % 4))) & 0xff);
}

/* MD5 hex of the parts joined with ':'. */
void md5_join(std::initializer_list<const char *> parts, char out[33])
{
    md5_ctx c;
    md5_init(&c);
    bool first = true;
    for (const char *p : parts) {
        if (!first)
            md5_update(&c, ":", 1);
        md5_update(&c, p, strlen(p));
        first = false;
    }
    md5_hex_final(&c, out);
}

/* Constant-time comparison of two NUL-terminated strings of equal length. */
bool same_text(const char *a, const char *b)
{
    size_t n = strlen(a);
    if (n != strlen(b))
        return false;
    unsigned diff = 0;
    for (size_t i = 0; i < n; i++)
        diff |= (unsigned)(a[i] ^ b[i]);
    return diff == 0;
}

}  // namespace

extern "C" void rtsp_md5_hex(const void *data, size_t n, char out[33])
{
    md5_ctx c;
    md5_init(&c);
    md5_update(&c, data, n);
    md5_hex_final(&c, out);
}

/* ---- the header parser ---------------------------------------------------- */

namespace {

bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

bool put(char *dst, size_t size, const std::string &v)
{
    if (v.size() + 1 > size)
        return false;
    memcpy(dst, v.data(), v.size());
    dst[v.size()] = '\0';
    return true;
}

}  // namespace

extern "C" int rtsp_digest_parse(const char *value, size_t n, rtsp_digest *out)
{
    if (!value || !out)
        return -1;
    memset(out, 0, sizeof(*out));
    size_t i = 0;
    while (i < n && is_space(value[i]))
        i++;
    if (n - i < 6 || strncasecmp(value + i, "Digest", 6) != 0 ||
        (n - i > 6 && !is_space(value[i + 6])))
        return -1;
    i += 6;
    bool seen[9] = {};
    while (i < n) {
        while (i < n && (is_space(value[i]) || value[i] == ','))
            i++;
        size_t k0 = i;
        while (i < n && value[i] != '=' && value[i] != ',' && !is_space(value[i]))
            i++;
        std::string key(value + k0, i - k0);
        while (i < n && is_space(value[i]))
            i++;
        if (key.empty() || i >= n || value[i] != '=') {
            if (key.empty() && i < n)
                i++;   /* a stray character */
            continue;
        }
        i++;
        while (i < n && is_space(value[i]))
            i++;
        std::string v;
        if (i < n && value[i] == '"') {
            i++;
            bool closed = false;
            while (i < n) {
                char c = value[i++];
                if (c == '\\' && i < n) {
                    v += value[i++];
                } else if (c == '"') {
                    closed = true;
                    break;
                } else {
                    v += c;
                }
            }
            if (!closed)
                return -1;
        } else {
            while (i < n && value[i] != ',' && !is_space(value[i]))
                v += value[i++];
        }
        struct field {
            const char *name;
            char *dst;
            size_t size;
        } fields[] = {
            {"username", out->username, sizeof(out->username)},
            {"realm", out->realm, sizeof(out->realm)},
            {"nonce", out->nonce, sizeof(out->nonce)},
            {"uri", out->uri, sizeof(out->uri)},
            {"response", out->response, sizeof(out->response)},
            {"algorithm", out->algorithm, sizeof(out->algorithm)},
            {"qop", out->qop, sizeof(out->qop)},
            {"nc", out->nc, sizeof(out->nc)},
            {"cnonce", out->cnonce, sizeof(out->cnonce)},
        };
        for (int f = 0; f < 9; f++) {
            if (strcasecmp(key.c_str(), fields[f].name) != 0)
                continue;
            if (seen[f] || !put(fields[f].dst, fields[f].size, v))
                return -1;   /* a repeated or oversized field */
            seen[f] = true;
        }
    }
    return (seen[0] && seen[1] && seen[2] && seen[3] && seen[4]) ? 0 : -1;
}

extern "C" void rtsp_digest_response(const char *ha1, const char *method, const rtsp_digest *d,
                                     char out[33])
{
    char ha2[33];
    md5_join({method, d->uri}, ha2);
    if (d->qop[0])
        md5_join({ha1, d->nonce, d->nc, d->cnonce, d->qop, ha2}, out);
    else
        md5_join({ha1, d->nonce, ha2}, out);
}

/* ---- users, nonces, failures ---------------------------------------------- */

namespace {

struct user_entry {
    std::string name;
    std::string realm;
    std::string ha1;
};

/* Highest nonce count seen for a nonce (by its serial). */
struct nc_entry {
    uint32_t serial;
    uint32_t nc;
};

struct peer_entry {
    uint32_t addr;
    uint32_t fails;
    uint64_t locked_until;
    uint64_t last;
};

constexpr size_t kNcSlots = 256;
constexpr size_t kPeerSlots = 64;

bool is_hex32(const std::string &s)
{
    if (s.size() != 32)
        return false;
    for (char c : s)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F')))
            return false;
    return true;
}

}  // namespace

struct rtsp_auth {
    std::vector<user_entry> users;
    std::string realm;
    char key[33];              /* hex of the 16-byte nonce key */
    uint32_t serial = 0;       /* of the last nonce issued */
    nc_entry nc[kNcSlots] = {};
    peer_entry peers[kPeerSlots] = {};
};

namespace {

/* Nonce: 8 hex digits of the issue time, 8 of a serial, 16 of
 * MD5(key:time:serial). */
void make_nonce(const rtsp_auth *a, uint32_t t, uint32_t serial, char out[33])
{
    char ts[9], ss[9], mac[33];
    snprintf(ts, sizeof(ts), "%08x", t);
    snprintf(ss, sizeof(ss), "%08x", serial);
    md5_join({a->key, ts, ss}, mac);
    snprintf(out, 33, "%s%s%.16s", ts, ss, mac);
}

/* Issue time and serial of a nonce this server made; false for a forgery. */
bool open_nonce(const rtsp_auth *a, const char *nonce, uint32_t *t, uint32_t *serial)
{
    if (strlen(nonce) != 32)
        return false;
    char ts[9] = {0}, ss[9] = {0};
    memcpy(ts, nonce, 8);
    memcpy(ss, nonce + 8, 8);
    char *end;
    *t = (uint32_t)strtoul(ts, &end, 16);
    if (*end)
        return false;
    *serial = (uint32_t)strtoul(ss, &end, 16);
    if (*end)
        return false;
    char want[33];
    make_nonce(a, *t, *serial, want);
    return same_text(want, nonce);
}

peer_entry *peer_slot(rtsp_auth *a, uint32_t addr, uint64_t now)
{
    peer_entry *oldest = &a->peers[0];
    for (peer_entry &p : a->peers) {
        if (p.last != 0 && p.addr == addr)
            return &p;
        if (p.last < oldest->last)
            oldest = &p;
    }
    memset(oldest, 0, sizeof(*oldest));
    oldest->addr = addr;
    oldest->last = now ? now : 1;
    return oldest;
}

rtsp_auth_result failed(rtsp_auth *a, uint32_t addr, uint64_t now, rtsp_auth_result r)
{
    peer_entry *p = peer_slot(a, addr, now);
    p->last = now ? now : 1;
    if (++p->fails >= RTSP_AUTH_FAIL_BURST) {
        p->fails = 0;
        p->locked_until = now + RTSP_AUTH_LOCK_SEC;
    }
    return r;
}

enum nc_verdict { NC_FRESH, NC_REPLAY, NC_FORGOTTEN };

/* Records nc for the nonce's serial if it grew. */
nc_verdict nc_check(rtsp_auth *a, uint32_t serial, uint32_t nc)
{
    nc_entry &e = a->nc[serial % kNcSlots];
    if (e.serial == serial && e.nc != 0) {
        if (nc <= e.nc)
            return NC_REPLAY;
    } else if (serial + kNcSlots <= a->serial) {
        /* Its slot went to a newer nonce and its history with it: the
         * client must take a fresh nonce (as for an expired one). */
        return NC_FORGOTTEN;
    }
    e.serial = serial;
    e.nc = nc;
    return NC_FRESH;
}

}  // namespace

extern "C" rtsp_auth *rtsp_auth_from_text(const char *text, const uint8_t key[16])
{
    if (!text || !key)
        return nullptr;
    rtsp_auth *a = new (std::nothrow) rtsp_auth;
    if (!a)
        return nullptr;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
            line.pop_back();
        if (line.empty() || line[0] == '#')
            continue;
        size_t c1 = line.find(':');
        size_t c2 = c1 == std::string::npos ? c1 : line.find(':', c1 + 1);
        if (c2 == std::string::npos)
            continue;
        user_entry u{line.substr(0, c1), line.substr(c1 + 1, c2 - c1 - 1), line.substr(c2 + 1)};
        if (u.name.empty() || u.realm.empty() || u.name.size() >= sizeof(rtsp_digest::username) ||
            u.realm.size() >= sizeof(rtsp_digest::realm) || u.realm.find('"') != std::string::npos ||
            !is_hex32(u.ha1))
            continue;
        for (char &ch : u.ha1)
            ch = (char)tolower((unsigned char)ch);
        a->users.push_back(u);
    }
    if (a->users.empty()) {
        delete a;
        return nullptr;
    }
    a->realm = a->users[0].realm;
    for (int i = 0; i < 16; i++)
        snprintf(a->key + i * 2, 3, "%02x", key[i]);
    return a;
}

extern "C" rtsp_auth *rtsp_auth_load(const char *path)
{
    if (!path || !*path)
        return nullptr;
    std::ifstream f(path);
    if (!f)
        return nullptr;
    std::stringstream ss;
    ss << f.rdbuf();
    uint8_t key[16];
    if (getrandom(key, sizeof(key), 0) != (ssize_t)sizeof(key))
        return nullptr;
    return rtsp_auth_from_text(ss.str().c_str(), key);
}

extern "C" void rtsp_auth_free(rtsp_auth *a)
{
    delete a;
}

extern "C" const char *rtsp_auth_realm(const rtsp_auth *a)
{
    return a ? a->realm.c_str() : "";
}

extern "C" int rtsp_auth_challenge(rtsp_auth *a, uint64_t now_sec, int stale, char *out, size_t size)
{
    if (!a || !out)
        return -1;
    char nonce[33];
    make_nonce(a, (uint32_t)now_sec, ++a->serial, nonce);
    int n = snprintf(out, size,
                     "WWW-Authenticate: Digest realm=\"%s\", nonce=\"%s\", algorithm=MD5, "
                     "qop=\"auth\"%s\r\n",
                     a->realm.c_str(), nonce, stale ? ", stale=TRUE" : "");
    return (n < 0 || (size_t)n >= size) ? -1 : n;
}

extern "C" rtsp_auth_result rtsp_auth_check(rtsp_auth *a, const char *method, const char *url,
                                            const char *authz, size_t authz_len, uint32_t peer,
                                            uint64_t now_sec, char *user, size_t user_size)
{
    if (!a || !method || !url)
        return RTSP_AUTH_BAD;
    for (const peer_entry &p : a->peers)
        if (p.last != 0 && p.addr == peer && now_sec < p.locked_until)
            return RTSP_AUTH_LOCKED;
    if (!authz || authz_len == 0)
        return RTSP_AUTH_MISSING;
    rtsp_digest d;
    if (rtsp_digest_parse(authz, authz_len, &d) != 0)
        return failed(a, peer, now_sec, RTSP_AUTH_BAD);
    if (user && user_size)
        snprintf(user, user_size, "%s", d.username);
    const user_entry *u = nullptr;
    for (const user_entry &e : a->users)
        if (e.name == d.username && e.realm == d.realm)
            u = &e;
    uint32_t t = 0, serial = 0;
    bool ok = u && (d.algorithm[0] == '\0' || strcasecmp(d.algorithm, "MD5") == 0) &&
              (d.qop[0] == '\0' || strcmp(d.qop, "auth") == 0) && strcmp(d.uri, url) == 0 &&
              open_nonce(a, d.nonce, &t, &serial);
    uint32_t nc = 0;
    if (ok && d.qop[0]) {
        char *end;
        nc = (uint32_t)strtoul(d.nc, &end, 16);
        ok = strlen(d.nc) == 8 && *end == '\0' && nc > 0 && d.cnonce[0];
    }
    if (ok) {
        char want[33];
        rtsp_digest_response(u->ha1.c_str(), method, &d, want);
        ok = same_text(want, d.response);
    }
    if (!ok)
        return failed(a, peer, now_sec, RTSP_AUTH_BAD);
    if (now_sec > (uint64_t)t + RTSP_NONCE_TTL_SEC || now_sec + 5 < (uint64_t)t)
        return RTSP_AUTH_STALE;
    if (d.qop[0]) {
        nc_verdict v = nc_check(a, serial, nc);
        if (v == NC_REPLAY)
            return failed(a, peer, now_sec, RTSP_AUTH_REPLAY);
        if (v == NC_FORGOTTEN)
            return RTSP_AUTH_STALE;
    }
    peer_slot(a, peer, now_sec)->fails = 0;
    return RTSP_AUTH_OK;
}
