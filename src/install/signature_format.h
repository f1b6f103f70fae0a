#pragma once
// The publisher's signature of a setup list as bytes: the ECDSA P-256
// signature that "openssl dgst -sha256 -sign" writes (DER), the public key
// that "openssl ec -pubout" writes (PEM), and where the signature is
// published. Needs no Windows call; the check itself is in signature.h.

#include <stddef.h>
#include <stdint.h>

// The asset beside "tolvar-setup.txt" that holds its signature.
extern const char signature_file[];

// Reads a DER ECDSA signature (SEQUENCE of the INTEGERs r and s, len bytes
// at der) into rs (64 bytes: r then s, each 32 bytes big-endian, left-padded
// with zeros). Only the one minimal encoding is taken: short-form lengths
// that match exactly, no bytes after the SEQUENCE, positive INTEGERs without
// a needless leading zero, and r and s each from 1 to the group order less
// one. Returns 1; 0 for anything else (rs then undefined).
int read_der_signature(const uint8_t* der, size_t len, uint8_t rs[64]);

// Reads a PEM public key (len bytes at pem): "-----BEGIN PUBLIC KEY-----",
// the base64 of a SubjectPublicKeyInfo of an EC key on the curve P-256 with
// an uncompressed point, "-----END PUBLIC KEY-----"; white space may stand
// around and inside the base64, nothing else. Writes the point's X then Y
// into xy (64 bytes, big-endian). Returns 1; 0 for anything else.
int read_public_key(const char* pem, size_t len, uint8_t xy[64]);

// The download link of the signature of the setup list of release tag
// (zero-terminated; never the latest link, which may have moved on since the list was
// fetched), or, when custom_list_url is not null and not empty, that URL
// with ".sig" appended. Writes it zero-terminated into out (1024 bytes).
// Returns 1, or 0 when it does not fit (out is then empty).
int signature_link(const char* custom_list_url, const char* tag, char out[1024]);
