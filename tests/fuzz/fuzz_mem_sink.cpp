// mem_sink fed any sequence of chunks. Input: records of one length byte n
// and then n + 1 bytes of chunk (fewer at the end of the input). Every chunk
// is at least one byte long, as http_get never hands over an empty one.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_check.h"
#include "net/mem_sink.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    mem_buf m;
    memset(&m, 0, sizeof m);
    // What the block should hold: the chunks one after the other.
    uint8_t* want = (uint8_t*)malloc(size + 1);
    size_t want_len = 0;
    size_t i = 0;
    while (i < size) {
        size_t n = (size_t)data[i++] + 1;
        if (n > size - i)
            n = size - i;
        if (n == 0)
            break;
        // Its own heap block, so that ASan sees a read past the chunk.
        uint8_t* chunk = (uint8_t*)malloc(n);
        memcpy(chunk, data + i, n);
        i += n;
        must(mem_sink(&m, chunk, (uint32_t)n) == 1);
        free(chunk);
        memcpy(want + want_len, data + i - n, n);
        want_len += n;
        must(m.data != 0);
        must(m.len == want_len);
        must(m.cap >= m.len + 1);
        must(m.data[m.len] == 0);
        must(memcmp(m.data, want, want_len) == 0);
    }
    if (want_len == 0)
        must(m.data == 0);
    free(m.data);
    free(want);
    return 0;
}
