// Starts a program and measures how long it takes until the launcher
// stand-in (bench_launcher.exe) that it starts in turn begins to run: the
// performance counter just before CreateProcessW here, against the one the
// stand-in writes first thing to the file named by TOLVAR_BENCH_STAMP.
// Wine's counter is the host's monotonic clock, so both agree.
//
//   bench_starter.exe OUT.json CMDLINE_FILE [CWD]
//
// CMDLINE_FILE holds the whole command line in UTF-8, as for spawn.exe.
// JSON keys: ok, s (start to launcher start), create_s (how long
// CreateProcessW itself took), code (exit code of the started program).
#include <windows.h>
#include <stdlib.h>

#include "bench_out.h"

static wchar_t g_line[32768];
static wchar_t g_stamp[MAX_PATH];

// The launcher's counter from the stamp file, 0 until it is there.
static long long read_stamp()
{
    HANDLE f = CreateFileW(g_stamp, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, 0,
                           OPEN_EXISTING, 0, 0);
    if (f == INVALID_HANDLE_VALUE)
        return 0;
    char text[64];
    DWORD got = 0;
    if (!ReadFile(f, text, sizeof text - 1, &got, 0))
        got = 0;
    CloseHandle(f);
    text[got] = 0;
    return got ? _strtoi64(text, 0, 10) : 0;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 3)
        return 2;
    DWORD n = GetEnvironmentVariableW(L"TOLVAR_BENCH_STAMP", g_stamp, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 2;
    HANDLE f = CreateFileW(argv[2], GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (f == INVALID_HANDLE_VALUE)
        return 2;
    static char bytes[65536];
    DWORD got = 0;
    ReadFile(f, bytes, sizeof bytes - 1, &got, 0);
    CloseHandle(f);
    bytes[got] = 0;
    if (!MultiByteToWideChar(CP_UTF8, 0, bytes, -1, g_line, 32768))
        return 2;
    DeleteFileW(g_stamp);

    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    LARGE_INTEGER t0 = bench_now();
    BOOL started = CreateProcessW(0, g_line, 0, 0, FALSE, 0, 0, argc > 3 ? argv[3] : 0, &si, &pi);
    LARGE_INTEGER t1 = bench_now();
    if (!started)
        return 3;
    CloseHandle(pi.hThread);
    WaitForSingleObject(pi.hProcess, 30000);
    DWORD code = 1;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hProcess);

    // The launcher goes on after the program that started it has ended.
    long long stamp = 0;
    for (int i = 0; i < 1000 && !(stamp = read_stamp()); i++)
        Sleep(10);
    LARGE_INTEGER t2;
    t2.QuadPart = stamp;
    bench_report(argv[1], "{\"ok\":%d,\"s\":%.6f,\"create_s\":%.6f,\"code\":%lu}\n", stamp != 0,
                 stamp ? bench_seconds(t0, t2) : -1.0, bench_seconds(t0, t1), (unsigned long)code);
    return stamp ? 0 : 1;
}
