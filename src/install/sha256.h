#pragma once
#include <windows.h>
#include <bcrypt.h>
#include <stdint.h>

// SHA-256 through the system's CNG provider, as lowercase hex.

struct sha256_hash {
    BCRYPT_ALG_HANDLE alg;   // the provider, or null
    BCRYPT_HASH_HANDLE hash; // the running hash, or null
};

// Opens the provider and a hash object; 1 on success. On 0 nothing is open.
int sha256_begin(sha256_hash* h);

// Finishes the hash into hex (65 bytes: 64 lowercase digits and a NUL; the
// empty text when the hash could not be finished) and releases both handles.
void sha256_end(sha256_hash* h, char* hex);

// Feeds the next n bytes of the open file to the running hash, read in 1 MiB
// chunks. 1 when all n were read and hashed; 0 on a read error or an early
// end. Worker thread only: the read buffer is static.
int sha256_add_file(sha256_hash* h, HANDLE file, uint64_t n);

// The digest of a whole file, read sequentially in 1 MiB chunks. Returns 1
// with hex filled, 0 when the provider or the file cannot be opened (hex is
// then left as it was). A read error ends the digest where it happened.
// Worker thread only: the read buffer is static.
int file_sha256(const wchar_t* path, char* hex);
