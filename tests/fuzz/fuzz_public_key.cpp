// read_public_key on any text: what it takes must be the armour around the
// base64 of the P-256 SubjectPublicKeyInfo of the point it yields, with
// nothing but white space besides. The input's first 64 bytes, as a point,
// must come back from the PEM that openssl would write for them.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_check.h"
#include "install/signature_format.h"

static const uint8_t spki_prefix[27] = {
    0x30, 0x59, 0x30, 0x13, 0x06, 0x07, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x02, 0x01, 0x06,
    0x08, 0x2a, 0x86, 0x48, 0xce, 0x3d, 0x03, 0x01, 0x07, 0x03, 0x42, 0x00, 0x04,
};

static std::string base64(const uint8_t* b, size_t n)
{
    static const char digits[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < n; i += 3) {
        uint32_t v = (uint32_t)b[i] << 16;
        if (i + 1 < n)
            v |= (uint32_t)b[i + 1] << 8;
        if (i + 2 < n)
            v |= b[i + 2];
        out += digits[v >> 18];
        out += digits[(v >> 12) & 63];
        out += i + 1 < n ? digits[(v >> 6) & 63] : '=';
        out += i + 2 < n ? digits[v & 63] : '=';
    }
    return out;
}

static std::string body_of(const uint8_t xy[64])
{
    uint8_t spki[91];
    memcpy(spki, spki_prefix, 27);
    memcpy(spki + 27, xy, 64);
    return base64(spki, sizeof spki);
}

static bool is_space(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    char* pem = (char*)malloc(size ? size : 1);
    memcpy(pem, data, size);
    uint8_t xy[64];
    int ok = read_public_key(pem, size, xy);
    must(ok == 0 || ok == 1);
    if (ok) {
        // Without its white space the text is exactly the armoured base64.
        std::string dense;
        for (size_t i = 0; i < size; i++) {
            if (!is_space(pem[i]))
                dense += pem[i];
        }
        must(dense == "-----BEGINPUBLICKEY-----" + body_of(xy) + "-----ENDPUBLICKEY-----");
    }
    free(pem);

    if (size >= 64) {
        std::string body = body_of(data);
        std::string written = "-----BEGIN PUBLIC KEY-----\n" + body.substr(0, 64) + "\n" + body.substr(64) +
                              "\n-----END PUBLIC KEY-----\n";
        uint8_t got[64];
        must(read_public_key(written.data(), written.size(), got) == 1);
        must(memcmp(got, data, 64) == 0);
    }
    return 0;
}
