#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "install/signature_format.h"

namespace {

typedef std::vector<uint8_t> bytes;

bytes operator+(bytes a, const bytes& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

bytes repeat(uint8_t b, size_t n)
{
    return bytes(n, b);
}

// A DER element: tag, short-form length, content as given (so that a test
// can write a content no minimal encoder would).
bytes tlv(uint8_t tag, const bytes& content)
{
    return bytes{tag, (uint8_t)content.size()} + content;
}

bytes der(const bytes& r, const bytes& s)
{
    return tlv(0x30, tlv(0x02, r) + tlv(0x02, s));
}

// r and s as 32 bytes, left-padded.
bytes padded(const bytes& v)
{
    return repeat(0, 32 - v.size()) + v;
}

const bytes order = {0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
                     0xbc, 0xe6, 0xfa, 0xad, 0xa7, 0x17, 0x9e, 0x84, 0xf3, 0xb9, 0xca, 0xc2, 0xfc, 0x63, 0x25, 0x51};

bytes order_minus_one()
{
    bytes v = order;
    v[31]--;
    return v;
}

// What "openssl dgst -sha256 -sign" wrote for "tag 1.0\n" with the test key.
const bytes openssl_sig = {
    0x30, 0x46, 0x02, 0x21, 0x00, 0xb2, 0x5b, 0xbc, 0xe1, 0x6e, 0x8a, 0x7a, 0xb0, 0x95, 0x9f, 0x18, 0x2d, 0xe8,
    0xdd, 0xc3, 0xac, 0xa9, 0x53, 0xa5, 0xa6, 0x59, 0xeb, 0x41, 0xcd, 0x55, 0xa7, 0x9b, 0xc4, 0x48, 0x8e, 0x76,
    0x3f, 0x02, 0x21, 0x00, 0x87, 0xe6, 0x85, 0x01, 0x8d, 0x80, 0xe3, 0x7d, 0x8c, 0x7d, 0xab, 0xcd, 0xf8, 0x4c,
    0xa9, 0x88, 0xbe, 0xab, 0x08, 0xc8, 0x1a, 0xd5, 0x84, 0x12, 0xa5, 0x15, 0xc3, 0xf9, 0x5a, 0x96, 0xac, 0x71};

} // namespace

TEST(signature_format, der_signature_only_in_its_one_minimal_form)
{
    const bytes one = {0x01};
    const bytes high = {0x00, 0x80, 0x01}; // a top bit set needs the sign byte
    const bytes full_high = bytes{0x00} + repeat(0xab, 32);
    struct row {
        const char* name;
        bytes der;
        bytes rs; // empty: refused
    } rows[] = {
        {"as openssl writes it", openssl_sig,
         bytes(openssl_sig.begin() + 5, openssl_sig.begin() + 37) + bytes(openssl_sig.begin() + 40, openssl_sig.end())},
        {"short values are left-padded", der(one, high), padded(one) + padded({0x80, 0x01})},
        {"33 bytes with the sign byte", der(full_high, one), repeat(0xab, 32) + padded(one)},
        {"largest values: the order less one", der(bytes{0} + order_minus_one(), bytes{0} + order_minus_one()),
         order_minus_one() + order_minus_one()},
        {"r is the order", der(bytes{0} + order, one), {}},
        {"s is the order", der(one, bytes{0} + order), {}},
        {"s above the order", der(one, bytes{0} + repeat(0xff, 32)), {}},
        {"r is zero", der({0x00}, one), {}},
        {"s is zero", der(one, {0x00}), {}},
        {"an INTEGER of no bytes", der({}, one), {}},
        {"a needless leading zero", der({0x00, 0x01}, one), {}},
        {"two leading zeros", der({0x00, 0x00, 0x80}, one), {}},
        {"a negative r", der({0x80, 0x01}, one), {}},
        {"a negative s", der(one, repeat(0xab, 32)), {}},
        {"wider than the group", der(bytes{0x01} + repeat(0, 32), one), {}},
        {"34 bytes with the sign byte", der(bytes{0x00} + repeat(0xab, 33), one), {}},
        {"bytes after the SEQUENCE", der(one, one) + bytes{0x00}, {}},
        {"a third INTEGER", tlv(0x30, tlv(0x02, one) + tlv(0x02, one) + tlv(0x02, one)), {}},
        {"only r", tlv(0x30, tlv(0x02, one)), {}},
        {"SEQUENCE longer than its content", bytes{0x30, 0x07, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01}, {}},
        {"SEQUENCE shorter than its content", bytes{0x30, 0x05, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01}, {}},
        {"INTEGER longer than what is left", bytes{0x30, 0x06, 0x02, 0x01, 0x01, 0x02, 0x02, 0x01}, {}},
        {"a long-form length", bytes{0x30, 0x81, 0x06, 0x02, 0x01, 0x01, 0x02, 0x01, 0x01}, {}},
        {"a long-form INTEGER length", bytes{0x30, 0x07, 0x02, 0x81, 0x01, 0x01, 0x02, 0x01, 0x01}, {}},
        {"a SET, not a SEQUENCE", tlv(0x31, tlv(0x02, one) + tlv(0x02, one)), {}},
        {"a BIT STRING for s", tlv(0x30, tlv(0x02, one) + tlv(0x03, one)), {}},
        {"cut short by one byte", bytes(openssl_sig.begin(), openssl_sig.end() - 1), {}},
        {"the raw r and s, not DER", repeat(0x11, 64), {}},
        {"empty", {}, {}},
        {"one byte", {0x30}, {}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        uint8_t rs[64];
        memset(rs, 0xee, sizeof rs);
        int ok = read_der_signature(r.der.data(), r.der.size(), rs);
        EXPECT_EQ(ok, r.rs.empty() ? 0 : 1);
        if (ok && !r.rs.empty())
            EXPECT_EQ(bytes(rs, rs + 64), r.rs);
    }
    uint8_t rs[64];
    EXPECT_EQ(read_der_signature(nullptr, 0, rs), 0);
}

namespace {

std::string base64(const bytes& b)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < b.size(); i += 3) {
        uint32_t v = (uint32_t)b[i] << 16;
        if (i + 1 < b.size())
            v |= (uint32_t)b[i + 1] << 8;
        if (i + 2 < b.size())
            v |= b[i + 2];
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += i + 1 < b.size() ? digits[(v >> 6) & 63] : '=';
        out += i + 2 < b.size() ? digits[v & 63] : '=';
    }
    return out;
}

// A PEM public key around the DER, in lines of 64 characters.
std::string pem(const bytes& spki, const std::string& eol = "\n")
{
    std::string body = base64(spki);
    std::string out = "-----BEGIN PUBLIC KEY-----" + eol;
    for (size_t i = 0; i < body.size(); i += 64)
        out += body.substr(i, 64) + eol;
    return out + "-----END PUBLIC KEY-----" + eol;
}

const bytes spki_prefix = {0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
                           0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04};

// The test publisher's key (tests/e2e/keys/publisher.pub.pem) and its point.
const std::string test_key =
    "-----BEGIN PUBLIC KEY-----\n"
    "MFkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDQgAEw841prcUo/BjU5g+2j8K7v1BPU25\n"
    "iS3m/E+MJKgB4QH7+MlBRCBmEjaONX4baxNDf+U2QuIZIEtP93cnGVb5Lw==\n"
    "-----END PUBLIC KEY-----\n";
const bytes test_point = {
    0xc3, 0xce, 0x35, 0xa6, 0xb7, 0x14, 0xa3, 0xf0, 0x63, 0x53, 0x98, 0x3e, 0xda, 0x3f, 0x0a, 0xee,
    0xfd, 0x41, 0x3d, 0x4d, 0xb9, 0x89, 0x2d, 0xe6, 0xfc, 0x4f, 0x8c, 0x24, 0xa8, 0x01, 0xe1, 0x01,
    0xfb, 0xf8, 0xc9, 0x41, 0x44, 0x20, 0x66, 0x12, 0x36, 0x8e, 0x35, 0x7e, 0x1b, 0x6b, 0x13, 0x43,
    0x7f, 0xe5, 0x36, 0x42, 0xe2, 0x19, 0x20, 0x4b, 0x4f, 0xf7, 0x77, 0x27, 0x19, 0x56, 0xf9, 0x2f};

std::string replaced(std::string s, const std::string& from, const std::string& to)
{
    size_t at = s.find(from);
    if (at != std::string::npos)
        s.replace(at, from.size(), to);
    return s;
}

bytes with_byte(bytes b, size_t at, uint8_t value)
{
    b[at] = value;
    return b;
}

} // namespace

TEST(signature_format, public_key_only_a_p256_point_in_pem)
{
    const bytes spki = spki_prefix + test_point;
    const std::string body = base64(spki);
    struct row {
        const char* name;
        std::string pem;
        bool ok;
    } rows[] = {
        {"as openssl writes it", test_key, true},
        {"built here the same way", pem(spki), true},
        {"CR LF line ends", pem(spki, "\r\n"), true},
        {"the base64 on one line, blank lines around", "\n\n-----BEGIN PUBLIC KEY-----\n" + body +
                                                           "\n-----END PUBLIC KEY-----\n\n \t",
         true},
        {"no line end at all", "-----BEGIN PUBLIC KEY-----" + body + "-----END PUBLIC KEY-----", true},
        {"another curve, same shape", pem(with_byte(spki, 20, 0x02)), false},
        {"another key type", pem(with_byte(spki, 12, 0x02)), false},
        {"a compressed point",
         "-----BEGIN PUBLIC KEY-----\nMDkwEwYHKoZIzj0CAQYIKoZIzj0DAQcDIgADw841prcUo/BjU5g+2j8K7v1BPU25\n"
         "iS3m/E+MJKgB4QE=\n-----END PUBLIC KEY-----\n",
         false},
        {"an uncompressed point marked hybrid", pem(with_byte(spki, 26, 0x06)), false},
        {"P-384",
         "-----BEGIN PUBLIC KEY-----\nMHYwEAYHKoZIzj0CAQYFK4EEACIDYgAEmW+az5r8XNntQ26x4zL4SbEKPjzpWhii\n"
         "7jP7j367FeIdEs2Sr+OFtuZaRW+sVs++116KSMVOioYUl1R89dmG+QAXxXc4gjrj\nPBeOzzMJAkGu6LSatBsuSTUjrQJu/E5r\n"
         "-----END PUBLIC KEY-----\n",
         false},
        {"a byte more", pem(spki + bytes{0}), false},
        {"a byte less", pem(bytes(spki.begin(), spki.end() - 1)), false},
        {"bits after the last byte", replaced(test_key, "Lw==", "Lx=="), false},
        {"padding cut", replaced(test_key, "Lw==", "Lw"), false},
        {"a character outside base64", replaced(test_key, "+MJKg", "*MJKg"), false},
        {"padding inside", replaced(test_key, "GVb5", "GV=5"), false},
        {"a private key's armour", replaced(replaced(test_key, "BEGIN PUBLIC", "BEGIN PRIVATE"), "END PUBLIC",
                                           "END PRIVATE"),
         false},
        {"no end line", "-----BEGIN PUBLIC KEY-----\n" + body + "\n", false},
        {"text before it", "key: " + test_key, false},
        {"text after it", test_key + "x", false},
        {"a second key after it", test_key + test_key, false},
        {"a NUL inside", replaced(test_key, "\niS3m", std::string("\n\0iS3m", 6)), false},
        {"empty", "", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        uint8_t xy[64];
        memset(xy, 0xee, sizeof xy);
        int ok = read_public_key(r.pem.data(), r.pem.size(), xy);
        EXPECT_EQ(ok, r.ok ? 1 : 0);
        if (ok && r.ok)
            EXPECT_EQ(bytes(xy, xy + 64), test_point);
    }
    uint8_t xy[64];
    EXPECT_EQ(read_public_key(nullptr, 0, xy), 0);
}

TEST(signature_format, signature_link_beside_the_list_of_the_lists_own_tag)
{
    char out[1024];
    ASSERT_EQ(signature_link(nullptr, "1.4.2", out), 1);
    EXPECT_STREQ(out, "https://github.com/brannix/ProjectTolvar/releases/download/1.4.2/tolvar-setup.txt.sig");
    ASSERT_EQ(signature_link("", "1.0", out), 1) << "an empty variable counts as none";
    EXPECT_STREQ(out, "https://github.com/brannix/ProjectTolvar/releases/download/1.0/tolvar-setup.txt.sig");
    ASSERT_EQ(signature_link("http://127.0.0.1/lists/list.txt?x=1", "1.0", out), 1);
    EXPECT_STREQ(out, "http://127.0.0.1/lists/list.txt?x=1.sig") << "appended to the URL as it stands";

    std::string longest(1019, 'u');
    ASSERT_EQ(signature_link(longest.c_str(), "1.0", out), 1);
    EXPECT_EQ(std::string(out), longest + ".sig");
    std::string too_long(1020, 'u');
    memset(out, 'x', sizeof out);
    EXPECT_EQ(signature_link(too_long.c_str(), "1.0", out), 0);
    EXPECT_STREQ(out, "") << "never a cut URL, which would name another file";
}
