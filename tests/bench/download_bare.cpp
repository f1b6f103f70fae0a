// The bare references of the download pipeline: bare_get with the bytes
// thrown away.
//
//   bare_download.exe OUT.json URL [FILE [--two-threads]]
//
// With FILE, each chunk is also written to FILE and then hashed (SHA-256
// through CNG), one after the other: in the read loop itself, the
// platform's own cost of a download that is stored and checked on the way;
// with --two-threads on a second thread that a ring of 8 buffers of 64 KiB
// feeds, the least code that does what the pipeline does. JSON keys: ok,
// bytes, s (wall time, session open to handles closed, the second thread
// joined), cpu_s, chunks (reads that returned data), write_s and hash_s
// (time in WriteFile and in BCryptHashData).
#include <windows.h>
#include <bcrypt.h>
#include <string.h>

#include "bare_http.h"
#include "bench_out.h"

struct store {
    HANDLE file;
    BCRYPT_HASH_HANDLE hash;
    double write_s;
    double hash_s;
};

static int write_and_hash(void* ctx, const char* chunk, DWORD len)
{
    store* s = (store*)ctx;
    LARGE_INTEGER a = bench_now();
    DWORD written = 0;
    if (!WriteFile(s->file, chunk, len, &written, 0) || written != len)
        return 0;
    LARGE_INTEGER b = bench_now();
    BCryptHashData(s->hash, (PUCHAR)chunk, len, 0);
    s->write_s += bench_seconds(a, b);
    s->hash_s += bench_seconds(b, bench_now());
    return 1;
}

// The second thread's ring: the read loop copies each chunk into the next
// free buffer, the thread writes and hashes the buffers in order.
static char g_bufs[8][0x10000];
static DWORD g_lens[8];
static unsigned g_head, g_count;
static int g_done;
static SRWLOCK g_lock = SRWLOCK_INIT;
static CONDITION_VARIABLE g_cv = CONDITION_VARIABLE_INIT;

static int queue_chunk(void*, const char* chunk, DWORD len)
{
    AcquireSRWLockExclusive(&g_lock);
    while (g_count == 8)
        SleepConditionVariableSRW(&g_cv, &g_lock, INFINITE, 0);
    unsigned slot = (g_head + g_count) % 8;
    ReleaseSRWLockExclusive(&g_lock);
    memcpy(g_bufs[slot], chunk, len);
    AcquireSRWLockExclusive(&g_lock);
    g_lens[slot] = len;
    g_count++;
    WakeAllConditionVariable(&g_cv);
    ReleaseSRWLockExclusive(&g_lock);
    return 1;
}

static DWORD WINAPI store_thread(void* ctx)
{
    AcquireSRWLockExclusive(&g_lock);
    for (;;) {
        while (g_count == 0 && !g_done)
            SleepConditionVariableSRW(&g_cv, &g_lock, INFINITE, 0);
        if (g_count == 0)
            break;
        unsigned slot = g_head;
        ReleaseSRWLockExclusive(&g_lock);
        write_and_hash(ctx, g_bufs[slot], g_lens[slot]);
        AcquireSRWLockExclusive(&g_lock);
        g_head = (slot + 1) % 8;
        g_count--;
        WakeAllConditionVariable(&g_cv);
    }
    ReleaseSRWLockExclusive(&g_lock);
    return 0;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    const wchar_t* file_path = argc > 3 ? argv[3] : 0;
    double cpu0 = bench_cpu_seconds();
    LARGE_INTEGER t0 = bench_now();
    store st = {};
    BCRYPT_ALG_HANDLE alg = 0;
    if (file_path) {
        st.file = CreateFileW(file_path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, 0);
        if (st.file == INVALID_HANDLE_VALUE || BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, 0, 0) ||
            BCryptCreateHash(alg, &st.hash, 0, 0, 0, 0, 0))
            return 3;
    }
    unsigned long long bytes = 0;
    unsigned chunks = 0;
    int two_threads = file_path && argc > 4 && lstrcmpW(argv[4], L"--two-threads") == 0;
    HANDLE thread = two_threads ? CreateThread(0, 0, store_thread, &st, 0, 0) : 0;
    if (two_threads && !thread)
        return 3;
    int ok = bare_get(argv[2], two_threads ? queue_chunk : file_path ? write_and_hash : 0, &st, &bytes, &chunks);
    if (thread) {
        AcquireSRWLockExclusive(&g_lock);
        g_done = 1;
        WakeAllConditionVariable(&g_cv);
        ReleaseSRWLockExclusive(&g_lock);
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    if (file_path) {
        unsigned char digest[32];
        BCryptFinishHash(st.hash, digest, sizeof digest, 0);
        BCryptDestroyHash(st.hash);
        BCryptCloseAlgorithmProvider(alg, 0);
        CloseHandle(st.file);
    }
    double s = bench_seconds(t0, bench_now());
    double cpu = bench_cpu_seconds() - cpu0;
    if (file_path)
        DeleteFileW(file_path);
    bench_report(argv[1],
                 "{\"ok\":%d,\"s\":%.6f,\"cpu_s\":%.4f,\"bytes\":%llu,\"chunks\":%u,\"write_s\":%.6f,"
                 "\"hash_s\":%.6f}\n",
                 ok, s, cpu, bytes, chunks, st.write_s, st.hash_s);
    return ok ? 0 : 1;
}
