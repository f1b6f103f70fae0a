// find_asset_url on any release answer. Input: the wanted asset name up to
// the first LF, then the answer (everything after that LF). The answer is
// not zero-terminated, as it comes from the network.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_check.h"
#include "net/release_link.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const uint8_t* lf = (const uint8_t*)memchr(data, '\n', size);
    size_t wanted_len = lf ? (size_t)(lf - data) : size;
    size_t answer_len = lf ? size - wanted_len - 1 : 0;
    // Exactly sized heap blocks, so that ASan sees any access past their end.
    char* wanted = (char*)malloc(wanted_len + 1);
    memcpy(wanted, data, wanted_len);
    wanted[wanted_len] = 0;
    char* answer = new char[answer_len];
    if (answer_len)
        memcpy(answer, lf + 1, answer_len);
    char* out = (char*)malloc(1024);
    memset(out, 0xAA, 1024);

    int found = find_asset_url(answer, answer_len, wanted, out);
    must(found == 0 || found == 1);
    if (strlen(wanted) > 259)
        must(found == 0);
    if (found) {
        must(terminated(out, 1024));
        must(strlen(out) <= 1023);
        must(strncmp(out, api_prefix, strlen(api_prefix)) == 0);
        must(memmem(answer, answer_len, "\"name\"", 6) != 0);
        must(memmem(answer, answer_len, "\"url\"", 5) != 0);
    }

    free(out);
    delete[] answer;
    free(wanted);
    return 0;
}
