#include "base/folder_name.h"

#include <windows.h>

int same_folder_name(const wchar_t* a, const wchar_t* b)
{
    return CompareStringOrdinal(a, -1, b, -1, TRUE /* ignore case */) == CSTR_EQUAL;
}
