// The installer's cache check: file_sha256 over one file.
//
//   bench_hash.exe OUT.json FILE
//
// JSON keys: ok, s (wall time of the call), cpu_s, sha256.
#include <windows.h>

#include "bench_out.h"
#include "install/sha256.h"

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    char hex[65] = "";
    double cpu0 = bench_cpu_seconds();
    LARGE_INTEGER t0 = bench_now();
    int ok = file_sha256(argv[2], hex);
    double s = bench_seconds(t0, bench_now());
    double cpu = bench_cpu_seconds() - cpu0;
    bench_report(argv[1], "{\"ok\":%d,\"s\":%.6f,\"cpu_s\":%.4f,\"sha256\":\"%s\"}\n", ok, s, cpu, hex);
    return ok ? 0 : 1;
}
