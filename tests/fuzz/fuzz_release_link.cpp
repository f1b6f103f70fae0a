// split_release_link on any link, then release_query_url with what it
// yields. Input: the link; a zero byte ends it. release_query_url also gets
// the whole link as repo and what follows its zero byte as tag, so that its
// cut is reached.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>

#include "fuzz_check.h"
#include "net/release_link.h"

// What release_query_url should write, uncut.
static std::string query_for(const char* repo, const char* tag)
{
    std::string q = std::string(api_prefix) + "repos/" + repo;
    if (tag && tag[0])
        return q + "/releases/tags/" + tag;
    return q + "/releases/latest";
}

// release_query_url writes the query, or its first 1023 bytes and 0.
static void must_query(const char* repo, const char* tag, char* out)
{
    memset(out, 0xAA, 1024);
    int fits = release_query_url(repo, tag, out);
    must(terminated(out, 1024));
    std::string want = query_for(repo, tag);
    must(fits == (want.size() <= 1023 ? 1 : 0));
    must(want.compare(0, 1023, out) == 0);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // Exactly sized heap blocks, so that ASan sees any access past their end.
    char* link = (char*)malloc(size + 1);
    memcpy(link, data, size);
    link[size] = 0;
    char* repo = (char*)malloc(256);
    char* tag = (char*)malloc(256);
    char* file = (char*)malloc(260);
    char* query = (char*)malloc(1024);
    memset(repo, 0xAA, 256);
    memset(tag, 0xAA, 256);
    memset(file, 0xAA, 260);

    int latest = -1;
    int split = split_release_link(link, repo, tag, file, &latest);
    must(split == 0 || split == 1);
    must(split ? (latest == 0 || latest == 1) : latest == -1);
    if (split) {
        must(terminated(repo, 256));
        must(terminated(tag, 256));
        must(terminated(file, 260));
        size_t file_len = strlen(file);
        must(file_len >= 1 && file_len <= 259);
        must(!strpbrk(file, "/?#"));
        // "owner/repo": the owner ends at the first slash, the repository
        // at the next one.
        const char* slash = strchr(repo, '/');
        must(slash && !strchr(slash + 1, '/'));
        must(!strchr(tag, '/'));
        // The pieces put back together give the link again.
        std::string latest_link = std::string(pre) + repo + "/releases/latest/download/" + file;
        std::string tagged = std::string(pre) + repo + "/releases/download/" + tag + "/" + file;
        must(latest ? (tag[0] == 0 && latest_link == link) : tagged == link);

        // Pieces within their buffers always fit the query.
        must(release_query_url(repo, tag, query) == 1);
        must_query(repo, tag, query);
        must_query(repo, 0, query);
    }

    const char* rest = (const char*)memchr(data, 0, size);
    must_query(link, rest ? link + (rest - (const char*)data) + 1 : 0, query);
    must(release_query_url(0, 0, query) == 0 && query[0] == 0);

    free(query);
    free(file);
    free(tag);
    free(repo);
    free(link);
    return 0;
}
