#pragma once
// One synchronous HTTP GET over WinHTTP, its body streamed into a sink.
// Worker thread only: the read buffer is one static block, so no two fetches
// may run at once.

#include <stdint.h>
#include <windows.h>

#include "net/mem_sink.h"

// Receives each chunk of the body (len never 0, at most 65,536 bytes; chunk
// valid only during the call). Returns nonzero to go on, 0 to stop the
// fetch as failed.
typedef int (*sink_fn)(void* ctx, const void* chunk, uint32_t len);

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

// How the server answered a request for the rest of a file.
enum range_outcome {
    range_continued, // 206 with the rest from the held bytes on: appended
    range_whole,     // 200 with the whole file: start_over ran, then the body
    range_refused,   // 416, or a 206 that does not continue the file: nothing sent to the sink
    range_other,     // any other answer, or none
};

// A GET that continues a partly downloaded file, for the part downloads.
struct range_get {
    uint64_t held;               // bytes the sink's file holds already, 0 < held < size
    uint64_t size;               // the whole file's exact length
    int (*start_over)(void* ctx); // drops the held bytes before a whole file is taken; 0 stops the fetch
    void* start_over_ctx;
    range_outcome outcome;       // set by http_get_range
};

// http_get of url with "Range: bytes=<held>-", the header surviving the
// redirects to the storage host. A 206 is taken only when its
// Content-Range continues the file exactly (start held, total size) and its
// body is the rest, size - held bytes; a 200 is taken as the whole file of
// size bytes after start_over. With either, g_percent runs from held * 100 /
// size (posted at once) to 100. Returns 1 when the sink holds the rest (or
// the whole) and every byte arrived; 0 otherwise, with range->outcome
// saying what came.
int http_get_range(const char* url, sink_fn sink, void* ctx, range_get* range, const wchar_t* accept);
