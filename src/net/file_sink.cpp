#include "net/file_sink.h"

#include <string.h>

// Why a thread: the receive loop would otherwise wait for the disk and the
// hash after every chunk before it asks for the next one, and where the
// hash is slow (the portable SHA-256 under Wine and Proton does about twice
// a gigabit link's speed) a download then runs at half the link's speed.
// With the writer beside it, the loop only reads and copies.

write_file_fn g_write_file = WriteFile;

// Cuts the file back by n bytes it has taken beyond what the hash has seen.
static void take_back(HANDLE file, DWORD n)
{
    if (n == 0)
        return;
    LARGE_INTEGER back;
    back.QuadPart = -(LONGLONG)n;
    if (SetFilePointerEx(file, back, 0, FILE_CURRENT))
        SetEndOfFile(file);
}

// Writes the chunk and hashes it; 1 when both worked. A chunk that reached
// the file only in part, or not the hash, is cut off the file again, so
// that the file holds exactly the bytes the hash has seen.
static int store(file_ctx* f, const void* chunk, uint32_t len)
{
    DWORD written = 0;
    if (!g_write_file(f->file, chunk, len, &written, 0) || written != len) {
        take_back(f->file, written <= len ? written : 0);
        f->write_failed = 1;
        f->failed = 1;
        return 0;
    }
    if (BCryptHashData(f->hash, (PUCHAR)chunk, len, 0) != 0) {
        take_back(f->file, len);
        f->failed = 1;
        return 0;
    }
    return 1;
}

// The ring between file_sink (the worker) and the writer. Slot numbers run
// modulo file_sink_ring; [first, first + queued) wait for the writer, the
// slot at first is the one it stores. Guarded by lock.
static char g_slots[file_sink_ring][0x10000]; // chunks on their way to the file
static struct {
    SRWLOCK lock;
    CONDITION_VARIABLE changed; // a chunk was queued or stored, or the end was asked for
    uint32_t first;
    uint32_t queued;
    uint32_t len[file_sink_ring];
    int failed;                 // a chunk could not be stored: the rest are dropped
    int ending;                 // no more chunks come: the writer ends once the ring is empty
} g_ring;                       // the writer's queue

static DWORD WINAPI writer(void* ctx)
{
    file_ctx* f = (file_ctx*)ctx;
    AcquireSRWLockExclusive(&g_ring.lock);
    for (;;) {
        while (g_ring.queued == 0 && !g_ring.ending)
            SleepConditionVariableSRW(&g_ring.changed, &g_ring.lock, INFINITE, 0);
        if (g_ring.queued == 0)
            break;
        uint32_t slot = g_ring.first;
        uint32_t len = g_ring.len[slot];
        int drop = g_ring.failed; // after a failure nothing more may reach the file
        ReleaseSRWLockExclusive(&g_ring.lock);
        int stored = !drop && store(f, g_slots[slot], len);
        AcquireSRWLockExclusive(&g_ring.lock);
        if (!stored)
            g_ring.failed = 1;
        g_ring.first = (slot + 1) % file_sink_ring;
        g_ring.queued--;
        WakeAllConditionVariable(&g_ring.changed);
    }
    ReleaseSRWLockExclusive(&g_ring.lock);
    return 0;
}

void file_sink_start(file_ctx* f)
{
    memset(&g_ring, 0, sizeof g_ring);
    InitializeSRWLock(&g_ring.lock);
    InitializeConditionVariable(&g_ring.changed);
    g_ring.failed = f->failed;
    // A small stack: the writer only calls WriteFile and BCryptHashData.
    f->writer = CreateThread(0, 0x10000, writer, f, STACK_SIZE_PARAM_IS_A_RESERVATION, 0);
}

int file_sink(void* ctx, const void* chunk, uint32_t len)
{
    file_ctx* f = (file_ctx*)ctx;
    if (!f->writer)
        return f->failed ? 0 : store(f, chunk, len);
    const char* bytes = (const char*)chunk;
    while (len > 0) {
        uint32_t n = len < sizeof g_slots[0] ? len : (uint32_t)sizeof g_slots[0];
        AcquireSRWLockExclusive(&g_ring.lock);
        while (g_ring.queued == file_sink_ring && !g_ring.failed)
            SleepConditionVariableSRW(&g_ring.changed, &g_ring.lock, INFINITE, 0);
        int failed = g_ring.failed;
        uint32_t slot = (g_ring.first + g_ring.queued) % file_sink_ring;
        ReleaseSRWLockExclusive(&g_ring.lock);
        if (failed)
            return 0;
        // The slot is free: the writer takes it only once it is queued.
        memcpy(g_slots[slot], bytes, n);
        AcquireSRWLockExclusive(&g_ring.lock);
        g_ring.len[slot] = n;
        g_ring.queued++;
        WakeAllConditionVariable(&g_ring.changed);
        ReleaseSRWLockExclusive(&g_ring.lock);
        bytes += n;
        len -= n;
    }
    return 1;
}

int file_sink_finish(file_ctx* f)
{
    if (f->writer) {
        AcquireSRWLockExclusive(&g_ring.lock);
        g_ring.ending = 1;
        WakeAllConditionVariable(&g_ring.changed);
        ReleaseSRWLockExclusive(&g_ring.lock);
        WaitForSingleObject(f->writer, INFINITE);
        CloseHandle(f->writer);
        f->writer = 0;
    }
    return !f->failed;
}
