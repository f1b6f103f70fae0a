#include "net/mem_sink.h"

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

int mem_sink(void* ctx, const void* chunk, uint32_t len)
{
    mem_buf* m = (mem_buf*)ctx;
    // Nothing to keep: data stays null, which callers read as an empty body.
    if (len == 0)
        return 1;
    uint64_t needed = m->len + len + 1;
    if (needed > m->cap) {
        // Doubling keeps the number of reallocations logarithmic in the size.
        if (needed > SIZE_MAX / 2)
            return 0;
        char* grown = (char*)realloc(m->data, (size_t)(2 * needed));
        if (!grown)
            return 0; // the old block stays in data for the caller to free
        m->data = grown;
        m->cap = 2 * needed;
    }
    memcpy(m->data + m->len, chunk, len);
    m->len += len;
    m->data[m->len] = 0;
    return 1;
}
