#include "base/path_exists.h"

#include <windows.h>

int path_exists(const wchar_t* path)
{
    return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}
