#include "net/content_range.h"

// Reads a run of decimal digits; 0 when there is none or it overflows.
static int read_number(const char** p, uint64_t* out)
{
    const char* s = *p;
    uint64_t value = 0;
    int digits = 0;
    for (; *s >= '0' && *s <= '9'; s++, digits++) {
        unsigned digit = (unsigned)(*s - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return 0;
        value = value * 10 + digit;
    }
    *p = s;
    *out = value;
    return digits > 0;
}

static char lower(char c)
{
    return (c >= 'A' && c <= 'Z') ? (char)(c - 'A' + 'a') : c;
}

int continues_at(const char* content_range, uint64_t held, uint64_t size)
{
    if (!content_range || held == 0 || held >= size)
        return 0;
    const char* p = content_range;
    for (const char* unit = "bytes "; *unit; unit++, p++)
        if (lower(*p) != *unit)
            return 0;
    uint64_t first, last, total;
    if (!read_number(&p, &first) || *p++ != '-' || !read_number(&p, &last) || *p++ != '/' ||
        !read_number(&p, &total) || *p)
        return 0;
    return first == held && last == size - 1 && total == size;
}
