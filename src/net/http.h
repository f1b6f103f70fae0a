#pragma once
// One synchronous HTTP GET over WinHTTP, its body streamed into a sink.
// Worker thread only: the read buffer is one static block, so no two fetches
// may run at once.

#include <stdint.h>
#include <windows.h>
#include <bcrypt.h>

#include "net/mem_sink.h"

// Receives each chunk of the body (len never 0, at most 65,536 bytes; chunk
// valid only during the call). Returns nonzero to go on, 0 to stop the
// fetch as failed.
typedef int (*sink_fn)(void* ctx, const void* chunk, uint32_t len);

// The context of file_sink. The caller opens the file for writing and
// creates the SHA-256 hash before the fetch, and closes and finishes them
// after it.
struct file_ctx {
    HANDLE file;             // written in the order the chunks arrive
    BCRYPT_HASH_HANDLE hash; // fed exactly the bytes that were written
    int write_failed;        // set by file_sink when the file took less than a chunk
};

// A sink_fn: writes the chunk to file and, only once the whole chunk is
// written, adds it to hash. Returns 0 on a failed or short write (and sets
// write_failed: a full disk is no network failure) or a failed hash update.
int file_sink(void* ctx, const void* chunk, uint32_t len);

// Status of the most recent request of the process that received an answer,
// or 0 when the status query failed. Callers set it to 0 before an attempt,
// so 0 then means that no answer came.
extern uint32_t g_http_status;

// GETs url (UTF-8, shorter than 1024 bytes) and hands the body to sink with
// ctx. expected is the exact body size, or 0 for none: with a size, every
// chunk moves g_percent to received * 100 / expected (not clamped) and posts
// a progress notification. accept is sent as the only accept type, or null
// for none. Returns 1 when a 200 answer's body arrived whole (the server's
// length and the expected one, where given, both met) and the sink took all
// of it; 0 otherwise. g_http_status is written only once an answer arrived.
int http_get(const char* url, sink_fn sink, void* ctx, uint64_t expected, const wchar_t* accept);
