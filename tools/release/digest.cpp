#include "digest.h"

#include <openssl/evp.h>
#include <stdio.h>

int file_digest(const char* path, char hex[65], uint64_t* size)
{
    static unsigned char buf[1 << 20]; // read buffer, one thread only
    hex[0] = 0;
    *size = 0;
    FILE* f = fopen(path, "rb");
    if (!f)
        return 0;
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    int ok = ctx && EVP_DigestInit_ex(ctx, EVP_sha256(), 0);
    uint64_t total = 0;
    while (ok) {
        size_t got = fread(buf, 1, sizeof buf, f);
        if (got > 0)
            ok = EVP_DigestUpdate(ctx, buf, got);
        total += got;
        if (got < sizeof buf) {
            ok = ok && !ferror(f);
            break;
        }
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int md_len = 0;
    ok = ok && EVP_DigestFinal_ex(ctx, md, &md_len) && md_len == 32;
    EVP_MD_CTX_free(ctx);
    fclose(f);
    if (!ok)
        return 0;
    for (unsigned int i = 0; i < md_len; i++)
        snprintf(hex + 2 * i, 3, "%02x", md[i]);
    *size = total;
    return 1;
}
