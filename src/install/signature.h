#pragma once
// The check that a setup list comes from the game's publisher: the
// signature published beside it, verified with the public key built into
// the exe, before anything in the list is used.

#include <stdint.h>

// The digest of the list's exact bytes, taken before the parse cuts the
// text apart.
struct list_seal {
    uint8_t digest[32]; // SHA-256 of the list as it arrived
    int taken;          // 0 when the provider failed: nothing can verify then
};

// Digests the len bytes at text (null when len is 0) into *seal.
void seal_list(const char* text, uint64_t len, list_seal* seal);

// Fetches the signature of the list of release tag (the list's own tag;
// with TOLVAR_SETUP_LIST set, that URL with ".sig" appended) on the list's
// schedule, and returns when it is a valid signature of the sealed list
// under key_pem (the publisher's PEM public key). Otherwise ends the run in
// fail(): a signature that cannot be had (404) or one that does not verify.
// The network's own failures end it with the list's messages. Worker only.
void require_signature(const char* key_pem, const list_seal* seal, const char* tag);
