#pragma once
#include <stdarg.h>

// Bounded formatting and UTF-8 conversion. Every buffer size n counts the
// terminator; the result is always terminated.

// Formats into buf (n wide characters). What does not fit is cut. Returns 1
// when the whole text fitted, 0 when it was cut: a cut path may name another
// file, so path builders must not act on it.
int wformat(wchar_t* buf, int n, const wchar_t* fmt, ...);
int wvformat(wchar_t* buf, int n, const wchar_t* fmt, va_list ap);

// The same for byte strings.
int format(char* buf, int n, const char* fmt, ...);

// UTF-8 to wide text in n characters. Returns 1 on success; 0 when the text
// does not fit or is not convertible, with buf then empty.
int utf8_to_wide(const char* text, wchar_t* buf, int n);

// Wide text to UTF-8 in n bytes; the same contract.
int wide_to_utf8(const wchar_t* text, char* buf, int n);
