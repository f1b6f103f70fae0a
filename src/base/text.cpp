#include "base/text.h"

#include <stdio.h>
#include <windows.h>

int wvformat(wchar_t* buf, int n, const wchar_t* fmt, va_list ap)
{
    // The C runtime leaves the buffer unterminated when the text fills it,
    // so format into n - 1 and terminate by hand.
    int written = _vsnwprintf(buf, (size_t)(n - 1), fmt, ap);
    buf[n - 1] = 0;
    return written >= 0;
}

int wformat(wchar_t* buf, int n, const wchar_t* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int fitted = wvformat(buf, n, fmt, ap);
    va_end(ap);
    return fitted;
}

int format(char* buf, int n, const char* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    int written = _vsnprintf(buf, (size_t)(n - 1), fmt, ap);
    va_end(ap);
    buf[n - 1] = 0;
    return written >= 0;
}

// Invalid UTF-8 (or a lone surrogate the other way) fails rather than
// becoming U+FFFD: a name that does not convert back is another name.
int utf8_to_wide(const char* text, wchar_t* buf, int n)
{
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, buf, n) > 0)
        return 1;
    buf[0] = 0;
    return 0;
}

int wide_to_utf8(const wchar_t* text, char* buf, int n)
{
    if (WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, buf, n, 0, 0) > 0)
        return 1;
    buf[0] = 0;
    return 0;
}
