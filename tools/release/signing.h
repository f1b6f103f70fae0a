#pragma once
// The publisher's key pair and the signature of a setup list, made with
// OpenSSL and read back by the rules the setup reads them by.

#include <openssl/evp.h>

#include <string>

// "keygen DIR": writes DIR/publisher.pem, a new ECDSA P-256 private key
// (PKCS#8 PEM, created owner-only and never over an existing file), and
// DIR/publisher.pub.pem, its public key as the setup is built with it.
// DIR is made (owner-only) when missing. Returns the exit code: 0 written,
// 2 when either file exists or cannot be written (nothing is left then).
int keygen(const char* dir);

// The private key at path, when it is an ECDSA P-256 key; otherwise null,
// with the reason on standard error. The caller frees it (EVP_PKEY_free).
EVP_PKEY* load_signing_key(const char* path);

// The DER signature of text's SHA-256 with key, the bytes that
// "openssl dgst -sha256 -sign" writes. 1 with *sig filled; 0 on failure.
int sign_text(EVP_PKEY* key, const std::string& text, std::string* sig);

// The public half of key as PEM text, as keygen writes it; "" on failure.
std::string public_pem(EVP_PKEY* key);

// Reads the public key file at path into *pem when the setup could be built
// with it; otherwise 0 with the reason on standard error.
int read_publisher_key(const char* path, std::string* pem);

// Judges sig, the bytes of the list's signature file, against the list
// text with the public key pem as the setup does. Returns 1 when the setup
// takes it; 0 after printing a finding (what names the signature file).
int judge_signature(const std::string& pem, const std::string& text, const std::string& sig, const char* what);

// The finding for a list without its signature (what names where it was
// looked for, why what was met there).
void report_unsigned(const char* what, const char* why);
