#include "names.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <wctype.h>

// Length of the UTF-8 sequence that starts at p (at most len bytes), or 0
// when it is not a valid one.
static size_t utf8_sequence(const unsigned char* p, size_t len)
{
    size_t n;
    unsigned int c = p[0];
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF)
        n = 3;
    else if (c >= 0xF0 && c <= 0xF4)
        n = 4;
    else
        return 0;
    if (len < n)
        return 0;
    for (size_t i = 1; i < n; i++)
        if ((p[i] & 0xC0) != 0x80)
            return 0;
    // Overlong forms, surrogates and values beyond U+10FFFF.
    if ((c == 0xE0 && p[1] < 0xA0) || (c == 0xED && p[1] > 0x9F) || (c == 0xF0 && p[1] < 0x90) ||
        (c == 0xF4 && p[1] > 0x8F))
        return 0;
    return n;
}

std::string shown(const std::string& text)
{
    std::string out = "'";
    const unsigned char* p = (const unsigned char*)text.data();
    size_t len = text.size();
    size_t i = 0;
    while (i < len && out.size() < 121) {
        size_t n = utf8_sequence(p + i, len - i);
        if (n == 1 && p[i] >= 0x20 && p[i] != 0x7F) {
            out += (char)p[i];
        } else if (n > 1) {
            out.append((const char*)p + i, n);
        } else {
            char esc[8];
            snprintf(esc, sizeof esc, "\\x%02X", p[i]);
            out += esc;
            n = 1;
        }
        i += n;
    }
    if (i < len)
        out += "...";
    return out + "'";
}

std::string shown(const char* text)
{
    return shown(std::string(text ? text : ""));
}

// The segment with its letters in upper case, as far as they decode.
static std::string upper_segment(const std::string& seg)
{
    std::string out;
    mbstate_t in_state;
    memset(&in_state, 0, sizeof in_state);
    const char* p = seg.c_str();
    size_t left = seg.size();
    while (left > 0) {
        wchar_t wc;
        size_t n = mbrtowc(&wc, p, left, &in_state);
        if (n == (size_t)-1 || n == (size_t)-2 || n == 0) {
            // Bytes that do not decode compare as they stand.
            out += *p;
            memset(&in_state, 0, sizeof in_state);
            p++;
            left--;
            continue;
        }
        char buf[8];
        mbstate_t out_state;
        memset(&out_state, 0, sizeof out_state);
        size_t m = wcrtomb(buf, (wchar_t)towupper((wint_t)wc), &out_state);
        if (m == (size_t)-1)
            out.append(p, n);
        else
            out.append(buf, m);
        p += n;
        left -= n;
    }
    return out;
}

std::string path_key(const std::string& path)
{
    std::string key;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = path.size();
        std::string seg = path.substr(start, end - start);
        if (!seg.empty() && seg != ".") {
            if (!key.empty())
                key += '/';
            key += upper_segment(seg);
        }
        start = end + 1;
    }
    return key;
}

bool key_inside(const std::string& key, const std::string& folder)
{
    if (folder.empty())
        return true;
    return key == folder || (key.size() > folder.size() && key.compare(0, folder.size(), folder) == 0 &&
                             key[folder.size()] == '/');
}

std::string last_segment(const char* url)
{
    const char* end = url + strcspn(url, "?#");
    const char* start = end;
    while (start > url && start[-1] != '/')
        start--;
    return std::string(start, end);
}

std::string bytes_text(uint64_t n)
{
    char buf[64];
    if (n < 1024)
        snprintf(buf, sizeof buf, "%llu bytes", (unsigned long long)n);
    else if (n < 1024 * 1024)
        snprintf(buf, sizeof buf, "%llu bytes (%.1f KB)", (unsigned long long)n, n / 1024.0);
    else
        snprintf(buf, sizeof buf, "%llu bytes (%.1f MB)", (unsigned long long)n, n / 1048576.0);
    return buf;
}

std::vector<std::string> split_words(const char* line)
{
    std::vector<std::string> words;
    const char* p = line;
    for (;;) {
        while (*p == ' ' || *p == '\t' || *p == '\v' || *p == '\f')
            p++;
        if (!*p)
            break;
        const char* start = p;
        while (*p && *p != ' ' && *p != '\t' && *p != '\v' && *p != '\f')
            p++;
        words.push_back(std::string(start, p));
    }
    return words;
}

bool is_ascii(const std::string& text)
{
    for (unsigned char c : text)
        if (c >= 0x80)
            return false;
    return true;
}

std::string format_text(const char* fmt, ...)
{
    char buf[2048];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

std::string part_label(int i, int n, const char* url)
{
    return format_text("part %d of %d (%s)", i + 1, n, last_segment(url).c_str());
}
