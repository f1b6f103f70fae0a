#include "base/relative_path.h"

#include <string.h>
#include <wchar.h>

static int is_ascii(const wchar_t* text)
{
    for (; *text; text++)
        if ((unsigned)*text > 0x7f)
            return 0;
    return 1;
}

// Characters of the root: "C:\" (3), "\\?\C:\" (7), "\\server\share\" or
// "\\?\UNC\server\share\" (up to and with the backslash after the share, or
// the end); 0 when the path is not a full one.
static size_t root_length(const wchar_t* p)
{
    size_t at = 0;
    if (wcsncmp(p, L"\\\\?\\", 4) == 0) {
        at = 4;
        if (wcsncmp(p + at, L"UNC\\", 4) != 0) {
            p += at;
            return p[0] && p[1] == L':' && p[2] == L'\\' ? at + 3 : 0;
        }
        at += 4;
    } else if (p[0] == L'\\' && p[1] == L'\\') {
        at = 2;
    } else {
        return p[0] && p[1] == L':' && p[2] == L'\\' ? 3 : 0;
    }
    // Server and share: two components, neither empty.
    for (int part = 0; part < 2; part++) {
        size_t start = at;
        while (p[at] && p[at] != L'\\')
            at++;
        if (at == start)
            return 0;
        if (p[at] == L'\\')
            at++;
        else if (part == 0)
            return 0;
    }
    return at;
}

int relative_path(const wchar_t* dir, const wchar_t* file, wchar_t* out, int cap)
{
    if (cap < 1)
        return 0;
    out[0] = 0;
    size_t root = root_length(dir);
    if (root == 0 || root != root_length(file) || wcsncmp(dir, file, root) != 0)
        return 0;

    // The longest run of whole components the two share.
    size_t shared = root;
    size_t at = root;
    for (;;) {
        while (dir[at] && dir[at] != L'\\' && dir[at] == file[at])
            at++;
        int dir_ends = dir[at] == 0 || dir[at] == L'\\';
        int file_ends = file[at] == L'\\'; // file's last component is the file itself
        if (!dir_ends || !file_ends)
            break;
        shared = at + 1;
        if (dir[at] == 0)
            break;
        at++;
    }

    size_t n = 0;
    // Every component of dir beyond the shared part is a step up.
    size_t dir_len = wcslen(dir);
    for (size_t i = shared; i <= dir_len && shared < dir_len; i++) {
        if (dir[i] != L'\\' && dir[i] != 0)
            continue;
        if (n + 3 >= (size_t)cap) {
            out[0] = 0;
            return 0;
        }
        wmemcpy(out + n, L"..\\", 3);
        n += 3;
    }
    size_t rest = wcslen(file + shared);
    if (n + rest + 1 > (size_t)cap) {
        out[0] = 0;
        return 0;
    }
    wmemcpy(out + n, file + shared, rest + 1);
    n += rest;
    if (n == 0 || !is_ascii(out)) {
        out[0] = 0;
        return 0;
    }
    return (int)n;
}
