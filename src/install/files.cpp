#include "install/files.h"

#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "base/text.h"
#include "install/held_path.h"

void make_dirs(const wchar_t* path)
{
    wchar_t copy[MAX_PATH];
    size_t len = wcslen(path);
    if (len >= MAX_PATH)
        return;
    wcscpy(copy, path);
    // From the fourth character on, so that "C:\" is never created.
    for (size_t i = 3; i < len; i++) {
        if (copy[i] != L'\\')
            continue;
        copy[i] = 0;
        CreateDirectoryW(copy, 0);
        copy[i] = L'\\';
    }
    CreateDirectoryW(copy, 0);
}

void read_first_line(const wchar_t* path, char* buf)
{
    buf[0] = 0;
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD got = 0;
    if (!ReadFile(file, buf, 127, &got, 0))
        got = 0;
    CloseHandle(file);
    buf[got] = 0;
    buf[strcspn(buf, "\r\n")] = 0;
}

int write_text(const wchar_t* path, const char* text)
{
    // Written beside the file and then put in its place, so that a run
    // killed half way leaves the old content or the new, never an empty
    // current.txt that forgets which version is installed.
    wchar_t temp[MAX_PATH];
    if (!wformat(temp, MAX_PATH, L"%ls.new", path)) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return 0;
    }
    HANDLE file = CreateFileW(temp, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD written = 0;
    DWORD len = (DWORD)strlen(text);
    BOOL ok = WriteFile(file, text, len, &written, 0) && written == len;
    DWORD error = ok ? 0 : GetLastError();
    CloseHandle(file);
    // A scanner that looks at the file it replaces is waited for.
    if (ok && move_when_free(temp, path, MOVEFILE_REPLACE_EXISTING))
        return 1;
    if (ok)
        error = GetLastError();
    DeleteFileW(temp);
    SetLastError(error);
    return 0;
}

void to_backslashes(wchar_t* s)
{
    for (; *s; s++) {
        if (*s == L'/')
            *s = L'\\';
    }
}
