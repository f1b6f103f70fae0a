#pragma once
// Whether a byte string is UTF-8 that converts to wide text and back to the
// same bytes. Needs no Windows call.

// 1 when the zero-terminated s is well-formed UTF-8: no stray continuation
// byte, no truncated sequence, no overlong form, no encoded surrogate
// (U+D800 to U+DFFF) and nothing above U+10FFFF.
int utf8_is_valid(const char* s);
