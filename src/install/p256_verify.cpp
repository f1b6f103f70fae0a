#include "install/p256_verify.h"

#include <windows.h>
#include <bcrypt.h>
#include <string.h>

int sha256_of(const void* data, uint64_t len, uint8_t digest[32])
{
    BCRYPT_ALG_HANDLE alg = 0;
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, 0, 0) != 0)
        return 0;
    BCRYPT_HASH_HANDLE hash = 0;
    int ok = BCryptCreateHash(alg, &hash,
                              0, 0, // the provider allocates the hash object
                              0, 0, // no secret
                              0) == 0;
    const uint8_t* at = (const uint8_t*)data;
    while (ok && len > 0) {
        ULONG chunk = len < 0x40000000 ? (ULONG)len : 0x40000000;
        ok = BCryptHashData(hash, (PUCHAR)at, chunk, 0) == 0;
        at += chunk;
        len -= chunk;
    }
    ok = ok && BCryptFinishHash(hash, digest, 32, 0) == 0;
    if (hash)
        BCryptDestroyHash(hash);
    BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
}

int p256_verify(const uint8_t xy[64], const uint8_t digest[32], const uint8_t rs[64])
{
    BCRYPT_ALG_HANDLE alg = 0;
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_ECDSA_P256_ALGORITHM, 0, 0) != 0)
        return 0;
    struct {
        BCRYPT_ECCKEY_BLOB head;
        uint8_t xy[64];
    } blob;
    blob.head.dwMagic = BCRYPT_ECDSA_PUBLIC_P256_MAGIC;
    blob.head.cbKey = 32;
    memcpy(blob.xy, xy, 64);
    BCRYPT_KEY_HANDLE key = 0;
    int ok = BCryptImportKeyPair(alg,
                                 0, // no key to decrypt the blob with
                                 BCRYPT_ECCPUBLIC_BLOB, &key, (PUCHAR)&blob, sizeof blob,
                                 0) == 0;
    // Success only: STATUS_INVALID_SIGNATURE and every error refuse alike.
    ok = ok && BCryptVerifySignature(key,
                                     0, // no padding: ECDSA
                                     (PUCHAR)digest, 32, (PUCHAR)rs, 64, 0) == 0;
    if (key)
        BCryptDestroyKey(key);
    BCryptCloseAlgorithmProvider(alg, 0);
    return ok;
}
