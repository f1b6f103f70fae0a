#pragma once
// What every bench program shares: the clock and the one-line JSON report.
// The programs time their work from inside Wine with the performance
// counter, so the start-up of wine itself stays out of the figures.
#include <windows.h>
#include <stdarg.h>
#include <stdio.h>

static inline double bench_seconds(LARGE_INTEGER from, LARGE_INTEGER to)
{
    LARGE_INTEGER freq;
    QueryPerformanceFrequency(&freq);
    return (double)(to.QuadPart - from.QuadPart) / (double)freq.QuadPart;
}

static inline LARGE_INTEGER bench_now()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

// Kernel plus user time, as GetProcessTimes and GetThreadTimes give them, in seconds.
static inline double bench_cpu_sum(const FILETIME* kernel, const FILETIME* user)
{
    ULARGE_INTEGER k, u;
    k.LowPart = kernel->dwLowDateTime;
    k.HighPart = kernel->dwHighDateTime;
    u.LowPart = user->dwLowDateTime;
    u.HighPart = user->dwHighDateTime;
    return (double)(k.QuadPart + u.QuadPart) / 1e7;
}

// CPU time (user + kernel) of this process so far, in seconds.
static inline double bench_cpu_seconds()
{
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return -1;
    return bench_cpu_sum(&kernel, &user);
}

// Writes the formatted report to path in one piece; 1 on success.
static inline int bench_report(const wchar_t* path, const char* fmt, ...)
{
    char text[4096];
    va_list ap;
    va_start(ap, fmt);
    int n = vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    if (n < 0 || n >= (int)sizeof text)
        return 0;
    HANDLE f = CreateFileW(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    if (f == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    int ok = WriteFile(f, text, (DWORD)n, &written, 0) && written == (DWORD)n;
    CloseHandle(f);
    return ok;
}

static inline void bench_hex(const unsigned char* digest, char* hex)
{
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 32; i++) {
        hex[2 * i] = digits[digest[i] >> 4];
        hex[2 * i + 1] = digits[digest[i] & 15];
    }
    hex[64] = 0;
}
