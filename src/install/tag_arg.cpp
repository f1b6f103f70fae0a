#include "install/tag_arg.h"

static bool is_tag_char(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z') || (c >= L'0' && c <= L'9') ||
           c == L'-' || c == L'.' || c == L'_';
}

void tag_arg(const wchar_t* cmdline, char out[128])
{
    out[0] = 0;
    if (!cmdline)
        return;
    const wchar_t* p = wcsstr(cmdline, L"--tag ");
    if (!p)
        return;
    p += 6;
    // Quotes around the value, and extra spaces before it, are common in
    // shortcuts and scripts.
    while (*p == L' ' || *p == L'"')
        p++;
    int n = 0;
    for (; *p && *p != L' ' && *p != L'"' && n < 127; p++) {
        // Anything else could turn the tag into a path or a URL of its own;
        // such a value pins nothing rather than something unexpected.
        if (!is_tag_char(*p)) {
            out[0] = 0;
            return;
        }
        out[n++] = (char)*p;
    }
    out[n] = 0;
}

int tag_can_be_pinned(const char* tag)
{
    if (!tag || !tag[0])
        return 0;
    int n = 0;
    for (; tag[n]; n++)
        if (n >= 127 || !is_tag_char((unsigned char)tag[n]))
            return 0;
    return 1;
}
