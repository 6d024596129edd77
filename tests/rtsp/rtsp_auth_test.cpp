// Digest authentication: MD5 and the RFC example vectors, the header
// parser, and the server's verdicts (stale nonce, wrong realm, replay,
// forgery, lock-out) on its own nonces with a fixed key and clock.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "rtsp_auth.h"

namespace {

TEST(Md5, Rfc1321Vectors)
{
    struct Row {
        std::string in;
        const char *hex;
    } rows[] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
         "d174ab98d277d9f5a5611c2c9f419d9f"},
        {std::string("1234567890") + "1234567890" + "1234567890" + "1234567890" + "1234567890" +
             "1234567890" + "1234567890" + "1234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const Row &r : rows) {
        char out[33];
        rtsp_md5_hex(r.in.data(), r.in.size(), out);
        EXPECT_STREQ(out, r.hex) << r.in;
    }
}

std::string ha1(const char *user, const char *realm, const char *pass)
{
    std::string s = std::string(user) + ":" + realm + ":" + pass;
    char out[33];
    rtsp_md5_hex(s.data(), s.size(), out);
    return out;
}

TEST(Digest, RfcExampleVectors)
{
    struct Row {
        const char *header, *method, *password, *want;
    } rows[] = {
        // RFC 7616 3.9.1, MD5.
        {"Digest username=\"Mufasa\", realm=\"http-auth@example.org\", uri=\"/dir/index.html\", "
         "algorithm=MD5, nonce=\"7ypf/xlj9XXwfDPEoM4URrv/xwf94BcCAzFZH4GiTo0v\", nc=00000001, "
         "cnonce=\"f2/wE4q74E6zIJEtWaHKaf5wv/H5QzzpXusqGemxURZJ\", qop=auth, "
         "response=\"8ca523f5e9506fed4657c9700eebdbec\", "
         "opaque=\"FQhe/qaU925kfnzjCev0ciny7QMkPqMAFRtzCUYo5tdS\"",
         "GET", "Circle of Life", "8ca523f5e9506fed4657c9700eebdbec"},
        // RFC 2617 3.5.
        {"Digest username=\"Mufasa\",\r\n realm=\"testrealm@host.com\",\r\n "
         "nonce=\"dcd98b7102dd2f0e8b11d0f600bfb0c093\",\r\n uri=\"/dir/index.html\",\r\n "
         "qop=auth,\r\n nc=00000001,\r\n cnonce=\"0a4f113b\",\r\n "
         "response=\"6629fae49393a05397450978507c4ef1\",\r\n "
         "opaque=\"5ccc069c403ebaf9f0171e9517f40e41\"",
         "GET", "Circle Of Life", "6629fae49393a05397450978507c4ef1"},
    };
    for (const Row &r : rows) {
        rtsp_digest d;
        ASSERT_EQ(rtsp_digest_parse(r.header, strlen(r.header), &d), 0) << r.header;
        EXPECT_STREQ(d.username, "Mufasa");
        EXPECT_STREQ(d.uri, "/dir/index.html");
        EXPECT_STREQ(d.nc, "00000001");
        EXPECT_STREQ(d.response, r.want);
        char out[33];
        rtsp_digest_response(ha1(d.username, d.realm, r.password).c_str(), r.method, &d, out);
        EXPECT_STREQ(out, r.want) << r.header;
    }
}

TEST(Digest, ParserRejectsMalformedHeaders)
{
    const std::string full = "username=\"u\", realm=\"r\", nonce=\"n\", uri=\"/\", response=\"x\"";
    struct Row {
        std::string header;
        int want;
    } rows[] = {
        {"Digest " + full, 0},
        {"digest   " + full + ",", 0},
        {"Digest username=u, realm=r, nonce=n, uri=/, response=x", 0},
        {"Digest username=\"a\\\"b\", realm=\"r\", nonce=\"n\", uri=\"/\", response=\"x\"", 0},
        {"Basic dXNlcjpwYXNz", -1},
        {"Digestusername=\"u\"", -1},
        {"Digest realm=\"r\", nonce=\"n\", uri=\"/\", response=\"x\"", -1},       // no username
        {"Digest " + full + ", username=\"v\"", -1},                              // repeated
        {"Digest username=\"" + std::string(64, 'u') + "\", realm=\"r\", nonce=\"n\", uri=\"/\", response=\"x\"", -1},
        {"Digest username=\"u, realm=\"r\"", -1},                                 // unclosed quote
        {"Digest ,,, = ,=x, " + full, 0},
        {"", -1},
    };
    for (const Row &r : rows) {
        rtsp_digest d;
        EXPECT_EQ(rtsp_digest_parse(r.header.data(), r.header.size(), &d), r.want) << r.header;
    }
    rtsp_digest d;
    std::string q = "Digest username=\"a\\\"b\", realm=\"r\", nonce=\"n\", uri=\"/\", response=\"x\"";
    ASSERT_EQ(rtsp_digest_parse(q.data(), q.size(), &d), 0);
    EXPECT_STREQ(d.username, "a\"b");
}

// ---- the server's verdicts --------------------------------------------------

const uint8_t kKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
const char *kUrl = "rtsp://cam/tavro_mirel/main";

class Auth : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string text = "# users\nviewer:cam:" + ha1("viewer", "cam", "secret") + "\r\n" +
                           "broken line\n" + "other:elsewhere:" + ha1("other", "elsewhere", "pw") +
                           "\n";
        a_ = rtsp_auth_from_text(text.c_str(), kKey);
        ASSERT_NE(a_, nullptr);
    }
    void TearDown() override { rtsp_auth_free(a_); }

    // A fresh nonce from a challenge at time t.
    std::string nonce(uint64_t t)
    {
        char c[256];
        EXPECT_GT(rtsp_auth_challenge(a_, t, 0, c, sizeof(c)), 0);
        std::string s = c;
        size_t p = s.find("nonce=\"") + 7;
        return s.substr(p, s.find('"', p) - p);
    }
    // Credentials a client computes for the given fields.
    static std::string creds(const std::string &user, const std::string &realm, const std::string &pass,
                             const std::string &nonce, const std::string &method, const std::string &uri,
                             const char *nc = "00000001", bool qop = true)
    {
        std::string h = "Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"" + nonce +
                        "\", uri=\"" + uri + "\"";
        if (qop)
            h += ", qop=auth, nc=" + std::string(nc) + ", cnonce=\"c0ffee\"";
        rtsp_digest d;
        h += ", response=\"0\"";
        EXPECT_EQ(rtsp_digest_parse(h.data(), h.size(), &d), 0);
        char resp[33];
        rtsp_digest_response(ha1(user.c_str(), realm.c_str(), pass.c_str()).c_str(), method.c_str(), &d, resp);
        return h.substr(0, h.size() - 2) + resp + "\"";
    }
    rtsp_auth_result check(const std::string &h, uint64_t t, const char *method = "DESCRIBE",
                           uint32_t peer = 0x0100007f)
    {
        return rtsp_auth_check(a_, method, kUrl, h.data(), h.size(), peer, t, nullptr, 0);
    }
    rtsp_auth *a_ = nullptr;
};

TEST_F(Auth, VerdictsOnOwnNonces)
{
    const uint64_t t0 = 1700000000;
    std::string n = nonce(t0);
    ASSERT_EQ(n.size(), 32u);
    std::string other = "rtsp://cam/tavro_mirel/sub";
    struct Row {
        const char *what;
        std::string header;
        uint64_t at;
        rtsp_auth_result want;
    } rows[] = {
        {"right", creds("viewer", "cam", "secret", n, "DESCRIBE", kUrl), t0 + 1, RTSP_AUTH_OK},
        {"nc grows", creds("viewer", "cam", "secret", n, "DESCRIBE", kUrl, "00000002"), t0 + 2, RTSP_AUTH_OK},
        {"replay", creds("viewer", "cam", "secret", n, "DESCRIBE", kUrl, "00000002"), t0 + 2, RTSP_AUTH_REPLAY},
        {"older nc", creds("viewer", "cam", "secret", n, "DESCRIBE", kUrl, "00000001"), t0 + 2, RTSP_AUTH_REPLAY},
        {"without qop", creds("viewer", "cam", "secret", n, "DESCRIBE", kUrl, "", false), t0 + 3, RTSP_AUTH_OK},
        {"stale", creds("viewer", "cam", "secret", n, "DESCRIBE", kUrl, "00000009"),
         t0 + RTSP_NONCE_TTL_SEC + 1, RTSP_AUTH_STALE},
        {"wrong password", creds("viewer", "cam", "guess", n, "DESCRIBE", kUrl, "0000000a"), t0 + 4, RTSP_AUTH_BAD},
        {"wrong realm", creds("viewer", "elsewhere", "secret", n, "DESCRIBE", kUrl, "0000000b"), t0 + 4, RTSP_AUTH_BAD},
        {"other method", creds("viewer", "cam", "secret", n, "PLAY", kUrl, "0000000c"), t0 + 4, RTSP_AUTH_BAD},
        {"other uri", creds("viewer", "cam", "secret", n, "DESCRIBE", other, "0000000d"), t0 + 4, RTSP_AUTH_BAD},
        {"forged nonce", creds("viewer", "cam", "secret", std::string(32, 'a'), "DESCRIBE", kUrl), t0 + 4,
         RTSP_AUTH_BAD},
        {"unknown user", creds("nobody", "cam", "secret", n, "DESCRIBE", kUrl, "0000000e"), t0 + 4, RTSP_AUTH_BAD},
        {"not digest", "Basic dmlld2VyOnNlY3JldA==", t0 + 4, RTSP_AUTH_BAD},
        {"none", "", t0 + 4, RTSP_AUTH_MISSING},
    };
    for (const Row &r : rows) {
        // A different address per row, so failures do not add up to a lock-out.
        uint32_t peer = (uint32_t)(&r - rows) + 100;
        EXPECT_EQ(check(r.header, r.at, "DESCRIBE", peer), r.want) << r.what;
    }
    // The second realm's user is known, but challenged with the first realm.
    EXPECT_STREQ(rtsp_auth_realm(a_), "cam");
    char c[256];
    ASSERT_GT(rtsp_auth_challenge(a_, t0, 1, c, sizeof(c)), 0);
    EXPECT_NE(std::string(c).find("realm=\"cam\""), std::string::npos);
    EXPECT_NE(std::string(c).find("qop=\"auth\""), std::string::npos);
    EXPECT_NE(std::string(c).find(", stale=TRUE\r\n"), std::string::npos) << c;
}

TEST_F(Auth, RepeatedFailuresLockTheAddressForAWhile)
{
    const uint64_t t0 = 1700000000;
    std::string n = nonce(t0);
    const uint32_t bad_peer = 7, good_peer = 8;
    for (int i = 0; i < RTSP_AUTH_FAIL_BURST; i++)
        EXPECT_EQ(check(creds("viewer", "cam", "guess", n, "DESCRIBE", kUrl), t0 + 1, "DESCRIBE", bad_peer),
                  RTSP_AUTH_BAD);
    std::string right = creds("viewer", "cam", "secret", n, "DESCRIBE", kUrl, "00000005");
    EXPECT_EQ(check(right, t0 + 2, "DESCRIBE", bad_peer), RTSP_AUTH_LOCKED) << "even right credentials";
    EXPECT_EQ(check("", t0 + 2, "DESCRIBE", bad_peer), RTSP_AUTH_LOCKED);
    EXPECT_EQ(check(right, t0 + 2, "DESCRIBE", good_peer), RTSP_AUTH_OK) << "others are not locked out";
    std::string later = creds("viewer", "cam", "secret", n, "DESCRIBE", kUrl, "00000006");
    EXPECT_EQ(check(later, t0 + 1 + RTSP_AUTH_LOCK_SEC, "DESCRIBE", bad_peer), RTSP_AUTH_OK);
}

TEST_F(Auth, FileWithoutValidLinesMeansNoAuthentication)
{
    for (const char *text : {"", "# only a comment\n", "u:r:nothex\n", "u::" "0123456789abcdef0123456789abcdef\n"})
        EXPECT_EQ(rtsp_auth_from_text(text, kKey), nullptr) << text;
    EXPECT_EQ(rtsp_auth_load("/nonexistent/users"), nullptr);
    EXPECT_EQ(rtsp_auth_load(""), nullptr);
}

}  // namespace
