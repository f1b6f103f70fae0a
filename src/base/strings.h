#pragma once
// Small text predicates shared by the parsers, the link scanner and the
// tree walk. Needs no Windows call.

#include <wchar.h>

// 1 when the zero-terminated s begins with prefix (case-sensitive; an empty
// prefix always matches).
bool starts_with(const char* s, const char* prefix);
bool wstarts_with(const wchar_t* s, const wchar_t* prefix);
