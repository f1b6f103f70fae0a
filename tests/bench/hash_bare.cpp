// The least CNG needs to hash a file: provider, hash object, a ReadFile
// loop with a 1 MiB buffer, finish.
//
//   bare_hash.exe OUT.json FILE
//
// JSON keys: ok, s (wall time, provider open to digest), cpu_s, sha256.
#include <windows.h>
#include <bcrypt.h>

#include "bench_out.h"

static unsigned char g_buf[0x100000];

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    double cpu0 = bench_cpu_seconds();
    LARGE_INTEGER t0 = bench_now();
    BCRYPT_ALG_HANDLE alg = 0;
    BCRYPT_HASH_HANDLE hash = 0;
    unsigned char digest[32];
    char hex[65] = "";
    int ok = 0;
    if (BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, 0, 0) == 0 &&
        BCryptCreateHash(alg, &hash, 0, 0, 0, 0, 0) == 0) {
        HANDLE f = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
        if (f != INVALID_HANDLE_VALUE) {
            DWORD got = 0;
            while (ReadFile(f, g_buf, sizeof g_buf, &got, 0) && got)
                BCryptHashData(hash, g_buf, got, 0);
            CloseHandle(f);
            ok = BCryptFinishHash(hash, digest, sizeof digest, 0) == 0;
        }
    }
    if (hash)
        BCryptDestroyHash(hash);
    if (alg)
        BCryptCloseAlgorithmProvider(alg, 0);
    double s = bench_seconds(t0, bench_now());
    double cpu = bench_cpu_seconds() - cpu0;
    if (ok)
        bench_hex(digest, hex);
    bench_report(argv[1], "{\"ok\":%d,\"s\":%.6f,\"cpu_s\":%.4f,\"sha256\":\"%s\"}\n", ok, s, cpu, hex);
    return ok ? 0 : 1;
}
