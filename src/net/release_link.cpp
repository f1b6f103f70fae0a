#include "net/release_link.h"

#include <string.h>

#include "base/strings.h"

#define WEB_HOST "github.com"
#define API_HOST "api.github.com"
const char web_host[] = WEB_HOST;
const char api_host[] = API_HOST;
const char pre[] = "https://" WEB_HOST "/";
const char api_prefix[] = "https://" API_HOST "/";
const char game_repo[] = "brannix/ProjectTolvar";

// Copies len bytes and a terminator into out of the given size; 0 when they
// do not fit.
static int copy_piece(const char* from, size_t len, char* out, size_t size)
{
    if (len >= size)
        return 0;
    memcpy(out, from, len);
    out[len] = 0;
    return 1;
}

int split_release_link(const char* link, char repo[256], char tag[256], char file[260], int* latest)
{
    repo[0] = 0;
    tag[0] = 0;
    file[0] = 0;
    if (!link || !starts_with(link, pre))
        return 0;
    const char* owner = link + strlen(pre);
    const char* owner_end = strchr(owner, '/');
    if (!owner_end)
        return 0;
    const char* repo_end = strchr(owner_end + 1, '/');
    if (!repo_end || !copy_piece(owner, (size_t)(repo_end - owner), repo, 256))
        return 0;

    static const char latest_form[] = "/releases/latest/download/";
    static const char tag_form[] = "/releases/download/";
    const char* name;
    int latest_shape = starts_with(repo_end, latest_form);
    if (latest_shape) {
        name = repo_end + strlen(latest_form);
    } else if (starts_with(repo_end, tag_form)) {
        const char* tag_start = repo_end + strlen(tag_form);
        const char* tag_end = strchr(tag_start, '/');
        if (!tag_end || !copy_piece(tag_start, (size_t)(tag_end - tag_start), tag, 256))
            return 0;
        name = tag_end + 1;
    } else {
        return 0;
    }

    // A query or fragment on the link, or a deeper path, names no asset.
    size_t name_len = strlen(name);
    if (name_len == 0 || strpbrk(name, "/?#") || !copy_piece(name, name_len, file, 260))
        return 0;
    if (latest)
        *latest = latest_shape;
    return 1;
}

// Appends text to out (size bytes) at *used, cutting what does not fit; 0
// when something was cut.
static int append(char* out, size_t size, size_t* used, const char* text)
{
    size_t len = strlen(text);
    size_t room = size - 1 - *used;
    size_t take = len < room ? len : room;
    memcpy(out + *used, text, take);
    *used += take;
    out[*used] = 0;
    return take == len;
}

int setup_list_link(const char* tag, char out[1024])
{
    out[0] = 0;
    size_t used = 0;
    int fits = append(out, 1024, &used, pre);
    fits &= append(out, 1024, &used, game_repo);
    if (tag && tag[0]) {
        fits &= append(out, 1024, &used, "/releases/download/");
        fits &= append(out, 1024, &used, tag);
        fits &= append(out, 1024, &used, "/tolvar-setup.txt");
    } else {
        fits &= append(out, 1024, &used, "/releases/latest/download/tolvar-setup.txt");
    }
    return fits;
}

int release_query_url(const char* repo, const char* tag, char out[1024])
{
    out[0] = 0;
    if (!repo)
        return 0;
    size_t used = 0;
    int fits = append(out, 1024, &used, api_prefix);
    fits &= append(out, 1024, &used, "repos/");
    fits &= append(out, 1024, &used, repo);
    if (tag && tag[0]) {
        fits &= append(out, 1024, &used, "/releases/tags/");
        fits &= append(out, 1024, &used, tag);
    } else {
        fits &= append(out, 1024, &used, "/releases/latest");
    }
    return fits;
}

// The scanner below reads the answer as bytes, with no JSON parser: keys are
// found by plain search, and only these four bytes count as white space.
static bool is_json_space(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// From just after a key, steps over white space, a colon, white space and
// the opening quote of a string value. Returns the first byte of the value,
// or null when the key is not followed by a colon and a string with at least
// one byte after its quote.
static const char* string_value_after_key(const char* p, const char* end)
{
    if (p >= end)
        return 0;
    while (p < end && is_json_space(*p))
        p++;
    if (p >= end || *p != ':' || p + 1 >= end)
        return 0;
    p++;
    while (p < end && is_json_space(*p))
        p++;
    if (p >= end || *p != '"' || p + 1 >= end)
        return 0;
    return p + 1;
}

// Reads a string value up to its closing quote into out, storing at most
// limit bytes and dropping the rest. An escape is not decoded: the byte after
// a backslash is taken as it stands. Returns the number of bytes stored, or
// -1 when the end comes before the closing quote. out is not terminated.
static int read_string_value(const char* p, const char* end, char* out, int limit)
{
    int stored = 0;
    while (p < end) {
        char c = *p++;
        if (c == '"')
            return stored;
        if (c == '\\') {
            if (p >= end)
                return -1;
            c = *p++;
        }
        if (stored < limit)
            out[stored++] = c;
    }
    return -1;
}

static const char name_key[] = "\"name\"";
static const char url_key[] = "\"url\"";
static const size_t name_key_len = sizeof name_key - 1;
static const size_t url_key_len = sizeof url_key - 1;

// First occurrence of the name key at or after from, searched as a
// zero-terminated string would be: a zero byte ends the search like the end.
static const char* find_name_key(const char* from, const char* end)
{
    for (const char* p = from; p < end && *p; p++) {
        if ((size_t)(end - p) < name_key_len)
            return 0;
        size_t i = 0;
        while (i < name_key_len && p[i] == name_key[i])
            i++;
        if (i == name_key_len)
            return p;
    }
    return 0;
}

// Last occurrence of the url key that starts at start or later and ends at
// or before limit.
static const char* find_last_url_key(const char* start, const char* limit)
{
    if ((size_t)(limit - start) < url_key_len)
        return 0;
    for (const char* p = limit - url_key_len;; p--) {
        if (memcmp(p, url_key, url_key_len) == 0)
            return p;
        if (p == start)
            return 0;
    }
}

int find_asset_url(const char* answer, uint64_t len, const char* wanted, char out[1024])
{
    if (!answer || len == 0 || !wanted)
        return 0;
    // No asset name from a download link is longer; a longer one could match
    // a name that the 599-byte limit below has cut.
    size_t wanted_len = strlen(wanted);
    if (wanted_len > 259)
        return 0;
    const char* end = answer + len;

    char name[600];
    const char* key = 0;
    for (const char* k = find_name_key(answer, end); k; k = find_name_key(k + name_key_len, end)) {
        const char* value = string_value_after_key(k + name_key_len, end);
        if (!value)
            continue;
        int n = read_string_value(value, end, name, 599);
        if (n >= 0 && (size_t)n == wanted_len && memcmp(name, wanted, wanted_len) == 0) {
            key = k;
            break;
        }
    }
    if (!key || key - answer < 5)
        return 0;

    // The asset's own url key comes before its name in the answer; which
    // object a key belongs to is not known here.
    const char* url = find_last_url_key(answer, key);
    if (!url)
        return 0;
    const char* value = string_value_after_key(url + url_key_len, end);
    if (!value)
        return 0;
    int n = read_string_value(value, end, out, 1023);
    if (n < 0)
        return 0;
    out[n] = 0;
    return starts_with(out, api_prefix);
}
