#include "install/signature.h"

#include <stdlib.h>
#include <string.h>

#include "install/fetch_list.h"
#include "install/p256_verify.h"
#include "install/signature_format.h"
#include "net/mem_sink.h"
#include "ui/status.h"

void seal_list(const char* text, uint64_t len, list_seal* seal)
{
    seal->taken = sha256_of(text, len, seal->digest);
}

// 1 when the len bytes at sig are the publisher's signature of the list.
static int verifies(const char* key_pem, const list_seal* seal, const uint8_t* sig, uint64_t len)
{
    uint8_t xy[64];
    uint8_t rs[64];
    return seal->taken && read_public_key(key_pem, strlen(key_pem), xy) && read_der_signature(sig, len, rs) &&
           p256_verify(xy, seal->digest, rs);
}

void require_signature(const char* key_pem, const list_seal* seal, const char* tag)
{
    static const wchar_t not_signed[] =
        L"This Tolvar release is not signed by its publisher, so it was not installed. Try again in a few "
        L"minutes; if this lasts, tell the game's publisher.";
    const char* custom = getenv("TOLVAR_SETUP_LIST");
    char url[1024];
    // A list URL too long to take ".sig" leaves no signature to fetch.
    if (!signature_link(custom && custom[0] ? manifest_url() : 0, tag, url))
        fail(not_signed);
    // An empty signature file is an answer, a wrong signature, not a failed
    // fetch worth the list's three minutes of retries.
    mem_buf sig = {};
    if (!fetch_release_file(url, &sig, 1))
        fail(not_signed);
    int valid = verifies(key_pem, seal, (const uint8_t*)sig.data, sig.len);
    free(sig.data);
    if (!valid)
        fail(L"This Tolvar release's signature does not match its publisher's key, so it was not installed. "
             L"Tell the game's publisher.");
}
