#include "install/sha256.h"

#include <stdint.h>

int sha256_begin(sha256_hash* h)
{
    h->alg = 0;
    h->hash = 0;
    if (BCryptOpenAlgorithmProvider(&h->alg, BCRYPT_SHA256_ALGORITHM, 0, 0) != 0) {
        h->alg = 0;
        return 0;
    }
    if (BCryptCreateHash(h->alg, &h->hash,
                         0, 0, // the provider allocates the hash object
                         0, 0, // no secret
                         0) != 0) {
        BCryptCloseAlgorithmProvider(h->alg, 0);
        h->alg = 0;
        h->hash = 0;
        return 0;
    }
    return 1;
}

void sha256_end(sha256_hash* h, char* hex)
{
    uint8_t digest[32];
    hex[0] = 0;
    if (h->hash && BCryptFinishHash(h->hash, digest, sizeof digest, 0) == 0) {
        static const char digits[] = "0123456789abcdef";
        for (int i = 0; i < 32; i++) {
            hex[2 * i] = digits[digest[i] >> 4];
            hex[2 * i + 1] = digits[digest[i] & 15];
        }
        hex[64] = 0;
    }
    if (h->hash)
        BCryptDestroyHash(h->hash);
    if (h->alg)
        BCryptCloseAlgorithmProvider(h->alg, 0);
    h->hash = 0;
    h->alg = 0;
}

static uint8_t buf[0x100000]; // one read of a file being hashed

int sha256_add_file(sha256_hash* h, HANDLE file, uint64_t n)
{
    while (n > 0) {
        DWORD want = n < sizeof buf ? (DWORD)n : (DWORD)sizeof buf;
        DWORD got = 0;
        if (!ReadFile(file, buf, want, &got, 0) || got == 0)
            return 0;
        if (BCryptHashData(h->hash, buf, got, 0) != 0)
            return 0;
        n -= got;
    }
    return 1;
}

int file_sha256(const wchar_t* path, char* hex)
{
    sha256_hash h;
    if (!sha256_begin(&h))
        return 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, 0);
    if (file == INVALID_HANDLE_VALUE) {
        char scratch[65];
        sha256_end(&h, scratch);
        return 0;
    }
    for (;;) {
        DWORD got = 0;
        if (!ReadFile(file, buf, sizeof buf, &got, 0) || got == 0)
            break;
        BCryptHashData(h.hash, buf, got, 0);
    }
    CloseHandle(file);
    sha256_end(&h, hex);
    return 1;
}
