#include "app/mode.h"

#include <wchar.h>

void copy_cmdline(wchar_t* dst, const wchar_t* src)
{
    int i = 0;
    if (src) {
        while (i < 2047 && src[i]) {
            dst[i] = src[i];
            i++;
        }
    }
    dst[i] = 0;
}

const wchar_t* file_name_of(const wchar_t* path)
{
    const wchar_t* slash = wcsrchr(path, L'\\');
    return slash ? slash + 1 : path;
}

static wchar_t ascii_lower(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? (wchar_t)(c - L'A' + L'a') : c;
}

static int equals_ignoring_case(const wchar_t* a, const wchar_t* b)
{
    while (*a && *b) {
        if (ascii_lower(*a) != ascii_lower(*b))
            return 0;
        a++;
        b++;
    }
    return *a == *b;
}

int is_shim_candidate(const wchar_t* file_name, const wchar_t* cmdline)
{
    return equals_ignoring_case(file_name, L"Tolvar.exe") && !wcsstr(cmdline, L"--");
}

int wants_launch(const wchar_t* cmdline)
{
    return wcsstr(cmdline, L"--launch") != 0;
}
