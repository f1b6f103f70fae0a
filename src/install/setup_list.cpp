#include "install/setup_list.h"

#include <string.h>

#include "base/strings.h"
#include "base/utf8.h"
#include "install/path_rules.h"

// The words of a line are read the way the C library's "%Ns" and "%llu"
// conversions read them, written out here so that every C runtime gives the
// same result (their %llu support differs).

static bool is_scan_space(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

static const char* skip_scan_space(const char* p)
{
    while (is_scan_space(*p))
        p++;
    return p;
}

// "%<width>s": skips white space, copies at most width bytes of the word into
// out (width + 1 bytes) and leaves *p on the first byte not taken, so the
// rest of an over-long word starts the next field. 0 when no word is left;
// out is then untouched.
static int scan_word(const char** p, char* out, int width)
{
    const char* s = skip_scan_space(*p);
    if (!*s)
        return 0;
    int n = 0;
    while (n < width && *s && !is_scan_space(*s))
        out[n++] = *s++;
    out[n] = 0;
    *p = s;
    return 1;
}

// "%llu": skips white space, takes an optional sign and at least one decimal
// digit. Too large a value gives UINT64_MAX, a minus sign the value negated
// modulo 2^64, as strtoull does. 0 when no digit follows; *out is then
// untouched.
static int scan_u64(const char** p, uint64_t* out)
{
    const char* s = skip_scan_space(*p);
    bool negative = false;
    if (*s == '+' || *s == '-') {
        negative = *s == '-';
        s++;
    }
    if (*s < '0' || *s > '9')
        return 0;
    uint64_t value = 0;
    bool overflow = false;
    for (; *s >= '0' && *s <= '9'; s++) {
        unsigned digit = (unsigned)(*s - '0');
        if (value > (UINT64_MAX - digit) / 10)
            overflow = true;
        else
            value = value * 10 + digit;
    }
    if (overflow)
        value = UINT64_MAX;
    else if (negative)
        value = 0 - value;
    *out = value;
    *p = s;
    return 1;
}

// Next line of the text, cut off in place at its first CR or LF; runs of
// line ends count as one, so no empty line comes out. The position is the
// caller's, not hidden state. Null when the text is used up.
static char* next_line(char** cursor)
{
    char* p = *cursor;
    while (*p == '\r' || *p == '\n')
        p++;
    if (!*p) {
        *cursor = p;
        return 0;
    }
    char* line = p;
    while (*p && *p != '\r' && *p != '\n')
        p++;
    if (*p)
        *p++ = 0;
    *cursor = p;
    return line;
}

// Reads the six fields of a part line in order and stops at the first that
// cannot be read; fields read before it keep their new values. Returns the
// number of fields read.
static int scan_part(const char* p, part_entry* e)
{
    if (!scan_word(&p, e->sha256, 64))
        return 0;
    if (!scan_u64(&p, &e->size))
        return 1;
    if (!scan_word(&p, e->dir, 259))
        return 2;
    if (!scan_word(&p, e->from, 259))
        return 3;
    if (!scan_word(&p, e->to, 259))
        return 4;
    if (!scan_word(&p, e->url, 1023))
        return 5;
    return 6;
}

// The list comes from the network: none of its names may reach outside
// the versions folder or the version folder it is joined to, and each must
// be UTF-8 that turns into a file name and back into the same bytes (a
// folder whose name does not convert back to the tag would be swept as
// another version's).
int list_is_safe(const setup_list* list)
{
    if (!tag_is_safe(list->tag) || !rel_path_is_safe(list->run) || !utf8_is_valid(list->tag) ||
        !utf8_is_valid(list->run))
        return 0;
    for (int i = 0; i < list->count; i++) {
        const part_entry* e = &list->parts[i];
        if (!rel_path_is_safe(e->dir) || !rel_path_is_safe(e->from) || !rel_path_is_safe(e->to))
            return 0;
        if (!utf8_is_valid(e->dir) || !utf8_is_valid(e->from) || !utf8_is_valid(e->to))
            return 0;
        // The digest names the cached zip inside the downloads folder.
        if (!rel_path_is_safe(e->sha256))
            return 0;
    }
    return 1;
}

int read_setup_list(char* text, const char* pinned_tag, setup_list* out)
{
    memset(out, 0, sizeof *out);
    if (!text)
        return list_unreadable;

    char* cursor = text;
    for (char* line = next_line(&cursor); line; line = next_line(&cursor)) {
        const char* rest;
        if (starts_with(line, "tag ")) {
            rest = line + 4;
            scan_word(&rest, out->tag, 127);
        } else if (starts_with(line, "run ")) {
            rest = line + 4;
            scan_word(&rest, out->run, 259);
        } else if (starts_with(line, "part ")) {
            // A bad line leaves count alone, so the next part line is read
            // into the same entry and replaces what the bad one left there.
            if (out->count < 16 && scan_part(line + 5, &out->parts[out->count]) == 6)
                out->count++;
        }
    }

    if (!out->tag[0] || !out->run[0] || out->count == 0)
        return list_unreadable;
    if (!list_is_safe(out))
        return list_unreadable;
    if (pinned_tag && pinned_tag[0] && strcmp(pinned_tag, out->tag) != 0)
        return list_other_tag;
    return list_ok;
}
