#pragma once
// The memory sink of http_get: collects a response body in a growable heap
// block that is always zero-terminated. Needs no Windows call.

#include <stdint.h>

// Start it all zero. After every successful append data[len] is 0 and cap is
// at least len + 1. The caller releases data with free after the fetch,
// whatever the result; data stays null until the first byte arrives.
struct mem_buf {
    char* data;   // heap block from realloc, or null
    uint64_t len; // bytes stored
    uint64_t cap; // bytes allocated
};

// A sink_fn: appends len bytes of chunk to the mem_buf at ctx, growing the
// block to twice the size needed. Returns 1, or 0 when the block cannot grow;
// the record is then left as it was (data still holds the old block).
int mem_sink(void* ctx, const void* chunk, uint32_t len);
