// tag_arg on any command line. Input: the command line as 16-bit units,
// little endian, the way Windows hands it over; a zero unit ends it.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "fuzz_check.h"
#include "install/tag_arg.h"

static bool is_tag_char(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_';
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    size_t units = size / 2;
    wchar_t* cmdline = (wchar_t*)malloc((units + 1) * sizeof(wchar_t));
    for (size_t i = 0; i < units; i++)
        cmdline[i] = (wchar_t)(data[2 * i] | (data[2 * i + 1] << 8));
    cmdline[units] = 0;
    char* out = (char*)malloc(128);
    memset(out, 0xAA, 128);

    tag_arg(cmdline, out);
    must(terminated(out, 128));
    size_t len = strlen(out);
    must(len <= 127);
    bool pinned = len > 0;
    for (size_t i = 0; i < len; i++)
        must(is_tag_char(out[i]));

    if (pinned) {
        // The tag is a run of the command line, after a "--tag ".
        const wchar_t* flag = wcsstr(cmdline, L"--tag ");
        must(flag != 0);
        wchar_t wide[128];
        for (size_t i = 0; i <= len; i++)
            wide[i] = (wchar_t)(unsigned char)out[i];
        must(wcsstr(flag + 6, wide) != 0);
    }

    free(out);
    free(cmdline);
    return 0;
}
