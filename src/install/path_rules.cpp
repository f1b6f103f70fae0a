#include "install/path_rules.h"

#include <string.h>

static char ascii_upper(char c)
{
    return (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
}

static bool same_ascii_nocase(const char* a, int a_len, const char* b)
{
    int b_len = (int)strlen(b);
    if (a_len != b_len)
        return false;
    for (int i = 0; i < a_len; i++)
        if (ascii_upper(a[i]) != ascii_upper(b[i]))
            return false;
    return true;
}

// Windows maps these names to devices in any folder, whatever follows the
// first dot and with spaces before it ("nul.txt", "CON .x", "com1..log").
static bool is_device_name(const char* name)
{
    int len = 0;
    while (name[len] && name[len] != '.')
        len++;
    while (len > 0 && name[len - 1] == ' ')
        len--;

    static const char* const plain[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* device : plain)
        if (same_ascii_nocase(name, len, device))
            return true;

    if (len < 4)
        return false;
    if (!same_ascii_nocase(name, 3, "COM") && !same_ascii_nocase(name, 3, "LPT"))
        return false;
    const unsigned char* n = (const unsigned char*)name + 3;
    if (len == 4 && n[0] >= '0' && n[0] <= '9')
        return true;
    // Superscript one, two and three (UTF-8 C2 B9, C2 B2, C2 B3) count as digits there.
    return len == 5 && n[0] == 0xC2 && (n[1] == 0xB9 || n[1] == 0xB2 || n[1] == 0xB3);
}

int tag_is_safe(const char* tag)
{
    if (!tag || !tag[0])
        return 0;
    size_t len = strlen(tag);
    // Windows drops trailing dots and spaces, so "1.0." would be the folder
    // "1.0", and "." and ".." are no folder of their own at all.
    if (tag[len - 1] == '.' || tag[len - 1] == ' ')
        return 0;
    for (const unsigned char* p = (const unsigned char*)tag; *p; p++) {
        if (*p < 0x20 || *p == 0x7F)
            return 0;
        if (strchr("/\\:<>\"|?*", *p))
            return 0;
    }
    return !is_device_name(tag);
}

// A segment of dots alone, perhaps with spaces, can act as the parent folder
// once Windows has trimmed its trailing dots and spaces; "." is harmless.
static bool is_parent_segment(const char* seg, int len)
{
    int dots = 0;
    for (int i = 0; i < len; i++) {
        if (seg[i] == '.')
            dots++;
        else if (seg[i] != ' ')
            return false;
    }
    return dots >= 2;
}

int rel_path_is_safe(const char* path)
{
    if (!path || !path[0])
        return 0;
    // Covers "\x", "/x", UNC "\\server\share" and "\\?\" forms.
    if (path[0] == '/' || path[0] == '\\')
        return 0;
    // Covers drive letters ("C:\x", "C:x") and alternate data streams.
    if (strchr(path, ':'))
        return 0;
    const char* seg = path;
    for (const char* p = path;; p++) {
        if (*p == '/' || *p == '\\' || !*p) {
            if (is_parent_segment(seg, (int)(p - seg)))
                return 0;
            if (!*p)
                break;
            seg = p + 1;
        }
    }
    return 1;
}

int entry_name_is_safe(const char* name)
{
    if (!name || !name[0] || name[0] == '/' || name[0] == '\\')
        return 0;
    for (const unsigned char* p = (const unsigned char*)name; *p; p++)
        if (*p < 0x20 || *p == 0x7F || strchr(":<>\"|?*", *p))
            return 0;
    const char* seg = name;
    for (const char* p = name;; p++) {
        if (*p != '/' && *p != '\\' && *p)
            continue;
        int len = (int)(p - seg);
        bool folder_mark = !*p && len == 0 && p > name; // "dir/" ends in an empty segment
        bool here = len == 1 && seg[0] == '.';            // "./a", as archivers write it, is "a"
        if (!folder_mark && !here) {
            // Windows would trim "a." or "a " to "a", and ".." leads out.
            if (len == 0 || seg[len - 1] == '.' || seg[len - 1] == ' ')
                return 0;
            // is_device_name reads up to the first dot; a copy ends the segment there.
            char copy[256];
            int n = len < 255 ? len : 255;
            memcpy(copy, seg, n);
            copy[n] = 0;
            if (is_device_name(copy))
                return 0;
        }
        if (!*p)
            break;
        seg = p + 1;
    }
    return 1;
}

int path_length_fits(unsigned long chars, int is_folder, int long_paths)
{
    const unsigned long buffer_chars = 259; // MAX_PATH less the terminator
    const unsigned long folder_chars = 247; // MAX_PATH less room for an 8.3 name, less the terminator
    return chars <= (is_folder && !long_paths ? folder_chars : buffer_chars);
}
