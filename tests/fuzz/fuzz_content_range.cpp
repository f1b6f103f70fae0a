// continues_at on any Content-Range text and any held/size pair: it may only
// accept the one text that names exactly the rest of the file.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include "fuzz_check.h"
#include "net/content_range.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 16)
        return 0;
    uint64_t held, whole;
    memcpy(&held, data, 8);
    memcpy(&whole, data + 8, 8);
    // Small numbers now and then, so that the text can name them.
    if (data[0] & 1) {
        held %= 100000;
        whole %= 100000;
    }
    size_t n = size - 16;
    char* header = (char*)malloc(n + 1);
    memcpy(header, data + 16, n);
    header[n] = 0;

    int ok = continues_at(header, held, whole);
    must(ok == 0 || ok == 1);
    if (ok) {
        must(held > 0 && held < whole);
        // The text is "bytes " and three runs of digits that name the rest
        // of the file (leading zeros are still the same number).
        must(strncasecmp(header, "bytes ", 6) == 0);
        const char* p = header + 6;
        unsigned long long first, last, total;
        int used = 0;
        must(strspn(p, "0123456789-/") == strlen(p));
        must(sscanf(p, "%llu-%llu/%llu%n", &first, &last, &total, &used) == 3 && p[used] == 0);
        must(first == held && last == whole - 1 && total == whole);
    }
    // The exact text is always accepted.
    if (held > 0 && held < whole) {
        char exact[80];
        snprintf(exact, sizeof exact, "bytes %llu-%llu/%llu", (unsigned long long)held,
                 (unsigned long long)(whole - 1), (unsigned long long)whole);
        must(continues_at(exact, held, whole) == 1);
    }
    free(header);
    return 0;
}
