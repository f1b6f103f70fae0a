#pragma once
// The sink of a download into a file: every chunk written, then added to a
// SHA-256 hash, so that the download is never read back for its checksum.
// Started, the writing and hashing run on a thread of their own beside the
// receive loop, fed through a small ring of buffers. One started file_ctx at
// a time, on the worker thread: the ring is one static block.

#include <stdint.h>
#include <windows.h>
#include <bcrypt.h>

// The context of file_sink. The caller opens the file for writing and
// creates the SHA-256 hash before the fetch, and closes and finishes them
// after it (after file_sink_finish, when it was started).
struct file_ctx {
    HANDLE file;             // written in the order the chunks arrive
    BCRYPT_HASH_HANDLE hash; // fed exactly the bytes that were written
    int write_failed;        // set when the file took less than a chunk: a full disk is no network failure
    int failed;              // set when a chunk could not be stored (written and hashed)
    HANDLE writer;           // the thread that stores the chunks while started, else null
};

// At most this many chunks (of up to 64 KiB each) wait for the writer: when
// the disk or the hash falls behind, file_sink waits for a free buffer.
enum { file_sink_ring = 8 };

// Starts the writer thread. Without one (it cannot be had), file_sink
// stores each chunk itself before it returns: the same bytes, only slower.
void file_sink_start(file_ctx* f);

// A sink_fn (chunks of at most 65,536 bytes). Stores the chunk: writes it to
// file and, once the whole chunk is written, adds it to hash; started, it
// queues a copy for the writer and returns at once. Returns 0 once a chunk
// could not be stored, now or earlier: the fetch then stops. After a
// failure the file is cut back to the bytes the hash has seen, and every
// later chunk is dropped.
int file_sink(void* ctx, const void* chunk, uint32_t len);

// Waits until every queued chunk is stored and ends the writer thread.
// Returns 1 when every chunk that file_sink took is in the file and the
// hash, 0 after a failure. Then the file and the hash hold the same bytes;
// the file position is at their end. Between start and finish, nothing
// else may touch the file or the hash while a chunk is queued.
int file_sink_finish(file_ctx* f);

// What stores a chunk in the file; tests put a scripted one here.
typedef BOOL(WINAPI* write_file_fn)(HANDLE file, LPCVOID data, DWORD len, LPDWORD written, LPOVERLAPPED overlapped);
extern write_file_fn g_write_file;
