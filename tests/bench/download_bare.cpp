// The bare reference of the download pipeline: bare_get with the bytes
// thrown away.
//
//   bare_download.exe OUT.json URL [FILE]
//
// With FILE, each chunk is also written to FILE and then hashed (SHA-256
// through CNG) in the read loop, one after the other: the platform's own
// cost of a download that is stored and checked on the way, to tell it from
// the pipeline's. JSON keys: ok, bytes, s (wall time, session open to
// handles closed), cpu_s, chunks (reads that returned data), write_s and
// hash_s (time in WriteFile and in BCryptHashData).
#include <windows.h>
#include <bcrypt.h>

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
    int ok = bare_get(argv[2], file_path ? write_and_hash : 0, &st, &bytes, &chunks);
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
