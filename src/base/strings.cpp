#include "base/strings.h"

#include <string.h>

bool starts_with(const char* s, const char* prefix)
{
    return strncmp(s, prefix, strlen(prefix)) == 0;
}

bool wstarts_with(const wchar_t* s, const wchar_t* prefix)
{
    return wcsncmp(s, prefix, wcslen(prefix)) == 0;
}
