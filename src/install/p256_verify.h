#pragma once
// The two CNG steps of the signature check: the digest of the setup list's
// bytes, and the ECDSA P-256 verification of a signature over it.

#include <stdint.h>

// SHA-256 of the len bytes at data into digest (32 bytes). Returns 1, or 0
// when the system's provider fails (digest then undefined).
int sha256_of(const void* data, uint64_t len, uint8_t digest[32]);

// 1 when rs (r then s, 32 bytes each, big-endian) is a valid ECDSA signature
// of digest (32 bytes) under the P-256 public key xy (X then Y, 32 bytes
// each); 0 when it is not, or when the provider refuses the key.
int p256_verify(const uint8_t xy[64], const uint8_t digest[32], const uint8_t rs[64]);
