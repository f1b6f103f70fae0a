#include "base/long_path.h"

#include <string.h>
#include <windows.h>

#include "base/strings.h"

int long_form(const wchar_t* path, wchar_t* out)
{
    // The full path is asked for behind room for the longest prefix,
    // "\\?\UNC\", and then moved into place.
    const int room = 8;
    wchar_t* full = out + room;
    DWORD n = GetFullPathNameW(path, long_path_size - room, full, 0);
    if (n == 0 || n >= (DWORD)(long_path_size - room))
        return 0;
    int len;
    if (wstarts_with(full, L"\\\\?\\") || wstarts_with(full, L"\\\\.\\")) {
        memmove(out, full, (n + 1) * sizeof(wchar_t));
        len = (int)n;
    } else if (wstarts_with(full, L"\\\\")) {
        memmove(out + room, full + 2, (n - 1) * sizeof(wchar_t)); // the name after "\\", terminator included
        memcpy(out, L"\\\\?\\UNC\\", room * sizeof(wchar_t));
        len = (int)n - 2 + room;
    } else {
        memmove(out + 4, full, (n + 1) * sizeof(wchar_t));
        memcpy(out, L"\\\\?\\", 4 * sizeof(wchar_t));
        len = (int)n + 4;
    }
    // "\\?\" paths are taken literally: a trailing backslash would double
    // up in front of every name.
    while (len > 1 && out[len - 1] == L'\\' && out[len - 2] != L':')
        out[--len] = 0;
    // What is left with a backslash at its end is a drive root.
    return out[len - 1] == L'\\' ? 0 : len;
}

int long_paths_on()
{
    // ntdll is in every process; the function is missing before 1607.
    typedef BOOLEAN(WINAPI * are_enabled_fn)();
    static int known = -1; // the answer, once asked
    if (known < 0) {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        are_enabled_fn are_enabled =
            ntdll ? (are_enabled_fn)(void*)GetProcAddress(ntdll, "RtlAreLongPathsEnabled") : nullptr;
        known = are_enabled && are_enabled() ? 1 : 0;
    }
    return known;
}
