#include "net/api_link.h"

#include <stdlib.h>
#include <string.h>

#include "base/text.h"
#include "net/http.h"
#include "net/release_link.h"

int api_link_for(const char* link, char out[1024])
{
    char repo[256];
    char tag[256];
    char file[260];
    int latest = 0;
    if (!split_release_link(link, repo, tag, file, &latest))
        return 0;
    // The tag form with an empty tag still names a tag: it must not become
    // a query for the newest release, which would pick another release's file.
    return api_asset_url(repo, latest ? 0 : tag, file, out);
}

int api_asset_url(const char* repo, const char* tag, const char* file, char out[1024])
{
    char query[1024];
    int fits;
    if (tag && !tag[0])
        fits = format(query, 1024, "%srepos/%s/releases/tags/", api_prefix, repo);
    else
        fits = release_query_url(repo, tag, query);
    if (!fits)
        return 0;

    mem_buf answer;
    memset(&answer, 0, sizeof answer);
    int found = 0;
    if (http_get(query, mem_sink, &answer, 0, L"application/vnd.github+json") && answer.data)
        found = find_asset_url(answer.data, answer.len, file, out);
    free(answer.data);
    return found;
}
