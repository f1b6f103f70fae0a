// entry_name_is_safe against a second reading of what a safe name is: split
// at '/' and '\', no segment that Windows would trim to another name or that
// climbs out, nothing that roots the path or opens a stream.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include "fuzz_check.h"
#include "install/path_rules.h"

static bool climbs_or_is_trimmed(const char* seg, size_t len)
{
    if (len == 1 && seg[0] == '.')
        return false;
    if (len == 0)
        return true;
    return seg[len - 1] == '.' || seg[len - 1] == ' ';
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    char name[1024];
    if (size >= sizeof name)
        return 0;
    memcpy(name, data, size);
    name[size] = 0;
    if (!entry_name_is_safe(name))
        return 0;
    size_t len = strlen(name);
    must(len > 0);
    must(name[0] != '/' && name[0] != '\\');
    must(strchr(name, ':') == 0);
    for (size_t k = 0; k < len; k++)
        must((unsigned char)name[k] >= 0x20 && name[k] != 0x7f);
    size_t start = 0;
    for (size_t k = 0; k <= len; k++) {
        if (k < len && name[k] != '/' && name[k] != '\\')
            continue;
        bool last_empty = k == len && k == start;
        must(last_empty || !climbs_or_is_trimmed(name + start, k - start));
        start = k + 1;
    }
    return 0;
}
