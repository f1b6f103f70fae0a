#include "entry_rules.h"

#include "install/path_rules.h"

static bool is_sep(char c)
{
    return c == '/' || c == '\\';
}

static bool is_letter(char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// How tar.exe strips an absolute front: a \\?\ \\.\ or \\?\UNC\ prefix,
// then, as often as they come, a drive letter and leading separators
// (with "/../" and "/./" among them). Returns the length stripped and adds
// the change bits.
static size_t absolute_front(const std::string& s, int* changes)
{
    size_t p = 0;
    if (s.size() >= 4 && is_sep(s[0]) && is_sep(s[1]) && (s[2] == '.' || s[2] == '?') && is_sep(s[3])) {
        p = 4;
        if (s[2] == '?' && s.size() >= 8 && (s[4] == 'U' || s[4] == 'u') && (s[5] == 'N' || s[5] == 'n') &&
            (s[6] == 'C' || s[6] == 'c') && is_sep(s[7]))
            p = 8;
        *changes |= entry_absolute;
    }
    for (;;) {
        size_t before = p;
        if (p + 1 < s.size() && is_letter(s[p]) && s[p + 1] == ':') {
            p += 2;
            *changes |= entry_drive;
        }
        while (p < s.size() && is_sep(s[p])) {
            *changes |= entry_absolute;
            if (p + 3 < s.size() && s[p + 1] == '.' && s[p + 2] == '.' && is_sep(s[p + 3]))
                p += 3;
            else if (p + 2 < s.size() && s[p + 1] == '.' && is_sep(s[p + 2]))
                p += 2;
            else
                p += 1;
        }
        if (p == before)
            return p;
    }
}

void windows_fate(const std::string& name, entry_fate* out)
{
    out->changes = 0;
    out->written.clear();
    out->stripped.clear();
    out->segment.clear();

    size_t front = absolute_front(name, &out->changes);
    out->stripped = name.substr(0, front);
    std::string rest = name.substr(front);

    std::string written;
    size_t start = 0;
    while (start <= rest.size()) {
        size_t end = rest.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = rest.size();
        else if (rest[end] == '\\')
            out->changes |= entry_backslash;
        std::string seg = rest.substr(start, end - start);
        start = end + 1;
        if (seg.empty() || seg == ".")
            continue;
        if (seg == "..") {
            out->changes |= entry_dot_dot;
            continue;
        }
        for (char& c : seg) {
            if (c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' || c == '|') {
                c = '_';
                out->changes |= entry_bad_char;
            }
        }
        // A name that can stand for a version folder can stand for any
        // file or folder: no trailing dot or space, no device name, no
        // control byte (the characters above are already replaced).
        if (!tag_is_safe(seg.c_str()) && !(out->changes & entry_unusable)) {
            out->changes |= entry_unusable;
            out->segment = seg;
        }
        if (!written.empty())
            written += '/';
        written += seg;
    }
    out->written = out->changes & entry_dot_dot ? "" : written;
}
