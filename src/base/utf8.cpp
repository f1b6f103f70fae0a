#include "base/utf8.h"

int utf8_is_valid(const char* s)
{
    const unsigned char* p = (const unsigned char*)s;
    while (*p) {
        unsigned c = *p++;
        if (c < 0x80)
            continue;
        int more;
        unsigned low; // the least value the sequence may hold, against overlong forms
        if (c >= 0xC2 && c <= 0xDF) {
            more = 1;
            low = 0x80;
        } else if (c >= 0xE0 && c <= 0xEF) {
            more = 2;
            low = 0x800;
        } else if (c >= 0xF0 && c <= 0xF4) {
            more = 3;
            low = 0x10000;
        } else {
            return 0; // a continuation byte, C0, C1 or F5 and above
        }
        unsigned value = c & (0x3F >> more);
        for (int i = 0; i < more; i++, p++) {
            if ((*p & 0xC0) != 0x80)
                return 0; // also the terminator inside a sequence
            value = (value << 6) | (*p & 0x3F);
        }
        if (value < low || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
            return 0;
    }
    return 1;
}
