// read_der_signature on any bytes: it may take only the one minimal DER
// encoding of an r and s in range, and must take every such encoding. The
// input is also read as r and s (its first 64 bytes), which must come back
// from their own encoding.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <vector>

#include "fuzz_check.h"
#include "install/signature_format.h"

static const uint8_t order[32] = {
    0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xbc, 0xe6, 0xfa, 0xad, 0xa7, 0x17, 0x9e, 0x84, 0xf3, 0xb9, 0xca, 0xc2, 0xfc, 0x63, 0x25, 0x51,
};

static bool in_range(const uint8_t v[32])
{
    static const uint8_t zero[32] = {};
    return memcmp(v, zero, 32) != 0 && memcmp(v, order, 32) < 0;
}

// The minimal DER INTEGER of a positive 32-byte value.
static void put_integer(std::vector<uint8_t>* out, const uint8_t v[32])
{
    size_t skip = 0;
    while (skip < 31 && v[skip] == 0)
        skip++;
    bool sign_byte = v[skip] & 0x80;
    out->push_back(0x02);
    out->push_back((uint8_t)(32 - skip + sign_byte));
    if (sign_byte)
        out->push_back(0);
    out->insert(out->end(), v + skip, v + 32);
}

static std::vector<uint8_t> encode(const uint8_t rs[64])
{
    std::vector<uint8_t> body;
    put_integer(&body, rs);
    put_integer(&body, rs + 32);
    std::vector<uint8_t> der = {0x30, (uint8_t)body.size()};
    der.insert(der.end(), body.begin(), body.end());
    return der;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // An exactly sized heap block, so that ASan sees any read past its end.
    uint8_t* der = (uint8_t*)malloc(size ? size : 1);
    memcpy(der, data, size);
    uint8_t rs[64];
    int ok = read_der_signature(der, size, rs);
    must(ok == 0 || ok == 1);
    if (ok) {
        must(in_range(rs) && in_range(rs + 32));
        std::vector<uint8_t> again = encode(rs);
        must(again.size() == size && memcmp(again.data(), data, size) == 0);
    }
    free(der);

    if (size >= 64) {
        uint8_t want[64];
        memcpy(want, data, 64);
        if (in_range(want) && in_range(want + 32)) {
            std::vector<uint8_t> canonical = encode(want);
            uint8_t got[64];
            must(read_der_signature(canonical.data(), canonical.size(), got) == 1);
            must(memcmp(got, want, 64) == 0);
        }
    }
    return 0;
}
