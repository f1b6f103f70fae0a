#include "install/signature_format.h"

#include <string.h>

#include "net/release_link.h"

const char signature_file[] = "tolvar-setup.txt.sig";

// The order of the group of P-256: r and s lie below it.
static const uint8_t order[32] = {
    0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xbc, 0xe6, 0xfa, 0xad, 0xa7, 0x17, 0x9e, 0x84, 0xf3, 0xb9, 0xca, 0xc2, 0xfc, 0x63, 0x25, 0x51,
};

// Reads the INTEGER at *at (before end) into out, 32 bytes left-padded, and
// moves *at past it. 0 unless it is minimal, positive and below the order.
static int read_integer(const uint8_t** at, const uint8_t* end, uint8_t out[32])
{
    const uint8_t* p = *at;
    if (end - p < 2 || p[0] != 0x02)
        return 0;
    size_t len = p[1]; // a long-form length (0x80 and up) is over 33 and refused
    p += 2;
    if (len == 0 || len > 33 || (size_t)(end - p) < len)
        return 0;
    if (p[0] & 0x80)
        return 0; // negative
    if (p[0] == 0 && len > 1 && !(p[1] & 0x80))
        return 0; // a leading zero that no top bit needs
    const uint8_t* value = p;
    size_t n = len;
    if (value[0] == 0) {
        value++;
        n--;
    }
    if (n == 0 || n > 32)
        return 0; // zero, or wider than the group
    memset(out, 0, 32);
    memcpy(out + 32 - n, value, n);
    *at = p + len;
    return memcmp(out, order, 32) < 0;
}

int read_der_signature(const uint8_t* der, size_t len, uint8_t rs[64])
{
    // The longest minimal encoding: two 33-byte INTEGERs in a SEQUENCE.
    if (!der || len < 2 || len > 72 || der[0] != 0x30 || der[1] != len - 2)
        return 0;
    const uint8_t* at = der + 2;
    const uint8_t* end = der + len;
    if (!read_integer(&at, end, rs) || !read_integer(&at, end, rs + 32))
        return 0;
    return at == end;
}

// The SubjectPublicKeyInfo of a P-256 key, up to the point's X: SEQUENCE {
// SEQUENCE { OID ecPublicKey, OID prime256v1 }, BIT STRING { 0x04 X Y } }.
static const uint8_t spki_prefix[27] = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
    0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04,
};
static const char pem_begin[] = "-----BEGIN PUBLIC KEY-----";
static const char pem_end[] = "-----END PUBLIC KEY-----";
// The base64 of the 91 bytes: 30 groups of four characters, then two and "==".
enum { spki_len = 91, base64_len = 124 };

static int is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

// The value of a base64 digit, or -1.
static int sextet(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    return -1;
}

// Decodes exactly the canonical base64 of spki_len bytes.
static int decode_spki(const char* b64, uint8_t out[spki_len])
{
    size_t o = 0;
    for (size_t i = 0; i + 4 <= base64_len - 4; i += 4) {
        int a = sextet(b64[i]), b = sextet(b64[i + 1]), c = sextet(b64[i + 2]), d = sextet(b64[i + 3]);
        if (a < 0 || b < 0 || c < 0 || d < 0)
            return 0;
        uint32_t v = (uint32_t)a << 18 | (uint32_t)b << 12 | (uint32_t)c << 6 | (uint32_t)d;
        out[o++] = (uint8_t)(v >> 16);
        out[o++] = (uint8_t)(v >> 8);
        out[o++] = (uint8_t)v;
    }
    const char* last = b64 + base64_len - 4;
    int a = sextet(last[0]), b = sextet(last[1]);
    // The bits after the last byte are zero in the one canonical encoding.
    if (a < 0 || b < 0 || (b & 15) || last[2] != '=' || last[3] != '=')
        return 0;
    out[o] = (uint8_t)(a << 2 | b >> 4);
    return 1;
}

int read_public_key(const char* pem, size_t len, uint8_t xy[64])
{
    if (!pem)
        return 0;
    size_t i = 0;
    while (i < len && is_space(pem[i]))
        i++;
    size_t begin_len = sizeof pem_begin - 1;
    if (len - i < begin_len || memcmp(pem + i, pem_begin, begin_len) != 0)
        return 0;
    i += begin_len;

    char b64[base64_len];
    size_t n = 0;
    for (; i < len && pem[i] != '-'; i++) {
        if (is_space(pem[i]))
            continue;
        if (n == base64_len)
            return 0;
        b64[n++] = pem[i];
    }
    size_t end_len = sizeof pem_end - 1;
    if (n != base64_len || len - i < end_len || memcmp(pem + i, pem_end, end_len) != 0)
        return 0;
    for (i += end_len; i < len; i++) {
        if (!is_space(pem[i]))
            return 0;
    }

    uint8_t spki[spki_len];
    if (!decode_spki(b64, spki) || memcmp(spki, spki_prefix, sizeof spki_prefix) != 0)
        return 0;
    memcpy(xy, spki + sizeof spki_prefix, 64);
    return 1;
}

// Appends text to out (1024 bytes) at *used; 0 when it does not fit.
static int append(char out[1024], size_t* used, const char* text)
{
    size_t len = strlen(text);
    if (len >= 1024 - *used)
        return 0;
    memcpy(out + *used, text, len + 1);
    *used += len;
    return 1;
}

int signature_link(const char* custom_list_url, const char* tag, char out[1024])
{
    size_t used = 0;
    out[0] = 0;
    int fits;
    if (custom_list_url && custom_list_url[0])
        fits = append(out, &used, custom_list_url) && append(out, &used, ".sig");
    else
        fits = append(out, &used, pre) && append(out, &used, game_repo) &&
               append(out, &used, "/releases/download/") && append(out, &used, tag) && append(out, &used, "/") &&
               append(out, &used, signature_file);
    if (!fits)
        out[0] = 0;
    return fits;
}
