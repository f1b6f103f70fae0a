// Launcher stand-in for the warm start: the first thing it does is write
// the performance counter, as decimal text, to the file that
// TOLVAR_BENCH_STAMP names (through a temporary name, so that a reader
// never sees half of it). Then it exits.
#include <windows.h>
#include <stdio.h>

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    wchar_t stamp[MAX_PATH];
    wchar_t temp[MAX_PATH + 8];
    DWORD n = GetEnvironmentVariableW(L"TOLVAR_BENCH_STAMP", stamp, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 1;
    lstrcpyW(temp, stamp);
    lstrcatW(temp, L".tmp");
    char text[32];
    int len = snprintf(text, sizeof text, "%lld", (long long)now.QuadPart);
    HANDLE f = CreateFileW(temp, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    if (f == INVALID_HANDLE_VALUE)
        return 1;
    DWORD written = 0;
    WriteFile(f, text, (DWORD)len, &written, 0);
    CloseHandle(f);
    return MoveFileExW(temp, stamp, MOVEFILE_REPLACE_EXISTING) ? 0 : 1;
}
