// The publisher's signature of the setup list: where it is fetched, on the
// list's schedule, and the verification through the system's provider, with
// the network, the window channel and the waits replaced (loop_fakes).
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "base/cmdline.h"
#include "install/p256_verify.h"
#include "install/signature.h"
#include "install/signature_format.h"
#include "loop_fakes.h"

namespace {

const wchar_t* not_signed =
    L"This Tolvar release is not signed by its publisher, so it was not installed. Try again in a few minutes; "
    L"if this lasts, tell the game's publisher.";
const wchar_t* mismatch =
    L"This Tolvar release's signature does not match its publisher's key, so it was not installed. Tell the "
    L"game's publisher.";
const char* sig_1_0 = "https://github.com/brannix/ProjectTolvar/releases/download/1.0/tolvar-setup.txt.sig";

// The test publisher's key (tests/e2e/keys) and another one.
const char* key =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEw841prcUo/BjU5g+2j8K7v1BPU25\n"
    "iS3m/E+MJKgB4QH7+MlBRCBmEjaONX4baxNDf+U2QuIZIEtP93cnGVb5Lw==\n"
    "-----END PUBLIC KEY-----\n";
const char* other_key =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEinCyoevgYzYwF7owsMubB5auCNp6\n"
    "oto0DBvWBE32f8lQH+H0kxLsh/LXg8fBrl+zCPtPWkjV3o9v3H7Vwz0+zg==\n"
    "-----END PUBLIC KEY-----\n";

// "openssl dgst -sha256 -sign" of list with the test key.
const std::string list = "tag 1.0\n";
const std::string sig(
    "\x30\x46\x02\x21\x00\xb2\x5b\xbc\xe1\x6e\x8a\x7a\xb0\x95\x9f\x18\x2d\xe8\xdd\xc3\xac\xa9\x53\xa5\xa6\x59"
    "\xeb\x41\xcd\x55\xa7\x9b\xc4\x48\x8e\x76\x3f\x02\x21\x00\x87\xe6\x85\x01\x8d\x80\xe3\x7d\x8c\x7d\xab\xcd"
    "\xf8\x4c\xa9\x88\xbe\xab\x08\xc8\x1a\xd5\x84\x12\xa5\x15\xc3\xf9\x5a\x96\xac\x71",
    72);

fake_http answer(const std::string& body)
{
    return fake_http{200, body.data(), 1, false, body.size()};
}

// What the check of list under key_pem said: "" when it returned.
std::wstring check(const char* key_pem, const std::string& text, const char* tag)
{
    list_seal seal;
    seal_list(text.data(), text.size(), &seal);
    if (setjmp(g_fail_jump) == 0) {
        require_signature(key_pem, &seal, tag);
        return L"";
    }
    return g_failed;
}

class signature : public testing::Test {
protected:
    void SetUp() override
    {
        reset_fakes();
        g_cmdline[0] = 0;
        _putenv("TOLVAR_SETUP_LIST=");
    }
    void TearDown() override { _putenv("TOLVAR_SETUP_LIST="); }
};

} // namespace

TEST_F(signature, fetched_from_the_lists_release_and_verified)
{
    const std::string cut = sig.substr(0, sig.size() - 1);
    std::string flipped = sig;
    flipped[20] ^= 1;
    struct row {
        const char* name;
        const char* key;
        std::string list;
        std::vector<fake_http> http;
        std::vector<fake_api> api;
        std::wstring failed;            // empty: the check passes
        std::vector<std::string> urls;  // every request, in order
        std::vector<int> pauses;
    } rows[] = {
        {"the publisher's signature", key, list, {answer(sig)}, {}, L"", {sig_1_0}, {}},
        {"none: 404 at once", key, list, {{404, nullptr, 0}}, {}, not_signed, {sig_1_0}, {}},
        {"a signature of another list", key, "tag 1.0\r\n", {answer(sig)}, {}, mismatch, {sig_1_0}, {}},
        {"made with another key", other_key, list, {answer(sig)}, {}, mismatch, {sig_1_0}, {}},
        {"one bit changed", key, list, {answer(flipped)}, {}, mismatch, {sig_1_0}, {}},
        {"cut short", key, list, {answer(cut)}, {}, mismatch, {sig_1_0}, {}},
        {"an empty file is a wrong one, not a retry", key, list, {{200, nullptr, 1}}, {}, mismatch, {sig_1_0}, {}},
        {"the download host fails, the API serves it", key, list, {{503, nullptr, 0}, answer(sig)}, {{1, 200}},
         L"", {sig_1_0, api_url}, {}},
        {"the API knows no such asset: 404", key, list, {{503, nullptr, 0}}, {{0, 404}}, not_signed, {sig_1_0}, {}},
        {"a retry, then it comes", key, list, {{429, nullptr, 0}, answer(sig)}, {}, L"", {sig_1_0, sig_1_0}, {3}},
        {"401 gives up with the servers message", key, list, {{401, nullptr, 0}}, {}, servers, {sig_1_0}, {}},
        {"no answer at all, the whole schedule", key, list, std::vector<fake_http>(8, fake_http{0, nullptr, 0}),
         std::vector<fake_api>(8, fake_api{0, 0}), unreachable, std::vector<std::string>(8, sig_1_0),
         {3, 6, 12, 20, 30, 45, 60}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        reset_fakes();
        g_fake_http = r.http;
        g_fake_api = r.api;
        EXPECT_EQ(check(r.key, r.list, "1.0"), r.failed);
        std::vector<std::string> urls;
        for (const fake_call& c : g_http_calls)
            urls.push_back(c.url);
        EXPECT_EQ(urls, r.urls);
        EXPECT_EQ(g_pauses, r.pauses);
    }
}

TEST_F(signature, a_pinned_tag_changes_nothing_but_a_list_url_of_ones_own_does)
{
    // The list's own tag names the release, whatever link brought the list.
    wcscpy(g_cmdline, L"--tag 2.0");
    g_fake_http = {{404, nullptr, 0}};
    EXPECT_EQ(check(key, list, "1.0"), not_signed);
    ASSERT_EQ(g_http_calls.size(), 1u);
    EXPECT_EQ(g_http_calls[0].url, sig_1_0);

    reset_fakes();
    _putenv("TOLVAR_SETUP_LIST=https://example.test/lists/list.txt");
    g_fake_http = {{502, nullptr, 0}, answer(sig)};
    EXPECT_EQ(check(key, list, "1.0"), L"");
    ASSERT_EQ(g_http_calls.size(), 2u);
    EXPECT_EQ(g_http_calls[0].url, "https://example.test/lists/list.txt.sig");
    EXPECT_EQ(g_api_calls, std::vector<std::string>{}) << "not a GitHub link: no detour";

    reset_fakes();
    _putenv(("TOLVAR_SETUP_LIST=https://example.test/" + std::string(1000, 'u')).c_str());
    EXPECT_EQ(check(key, list, "1.0"), not_signed) << "no room for \".sig\": nothing to fetch";
    EXPECT_TRUE(g_http_calls.empty());
}

TEST_F(signature, the_provider_verifies_only_the_signed_digest_under_its_key)
{
    uint8_t xy[64], other_xy[64], rs[64], digest[32], other_digest[32];
    ASSERT_TRUE(read_public_key(key, strlen(key), xy));
    ASSERT_TRUE(read_public_key(other_key, strlen(other_key), other_xy));
    ASSERT_TRUE(read_der_signature((const uint8_t*)sig.data(), sig.size(), rs));
    ASSERT_TRUE(sha256_of(list.data(), list.size(), digest));
    ASSERT_TRUE(sha256_of("tag 1.1\n", 8, other_digest));
    EXPECT_TRUE(p256_verify(xy, digest, rs));
    EXPECT_FALSE(p256_verify(other_xy, digest, rs));
    EXPECT_FALSE(p256_verify(xy, other_digest, rs));
    uint8_t swapped[64];
    memcpy(swapped, rs + 32, 32);
    memcpy(swapped + 32, rs, 32);
    EXPECT_FALSE(p256_verify(xy, digest, swapped)) << "r and s in their order";
    uint8_t off_curve[64];
    memcpy(off_curve, xy, 64);
    off_curve[63] ^= 1;
    EXPECT_FALSE(p256_verify(off_curve, digest, rs)) << "a point off the curve is refused, not trusted";
}
