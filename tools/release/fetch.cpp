#include "fetch.h"

#include <curl/curl.h>
#include <stdio.h>
#include <string.h>

#include "base/strings.h"

static const int max_redirects = 10; // WinHTTP's own limit

void fetch_begin()
{
    curl_global_init(CURL_GLOBAL_DEFAULT);
}

void fetch_end()
{
    curl_global_cleanup();
}

static size_t write_to_file(char* data, size_t size, size_t count, void* ctx)
{
    return fwrite(data, size, count, (FILE*)ctx) * size;
}

// One request without following redirects. Returns the curl result; the
// status and the redirect target (empty for none) go to the out-parameters.
static CURLcode get_once(CURL* curl, const std::string& url, FILE* file, curl_slist* headers, long* status,
                         std::string* location)
{
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, write_to_file);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, file);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_USERAGENT, "tolvar-release/1.0");
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 30L);
    // No progress for a minute ends a transfer, as the setup's receive time-out does.
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, 60L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    CURLcode rc = curl_easy_perform(curl);
    *status = 0;
    location->clear();
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, status);
    char* next = 0;
    if (curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &next) == CURLE_OK && next)
        *location = next;
    return rc;
}

int fetch_to_file(const std::string& url, const std::string& path, const char* accept, fetch_result* out)
{
    out->status = 0;
    out->why.clear();
    CURL* curl = curl_easy_init();
    if (!curl) {
        out->why = "libcurl could not start";
        return 0;
    }
    curl_slist* headers = 0;
    if (accept)
        headers = curl_slist_append(headers, (std::string("Accept: ") + accept).c_str());
    int ok = 0;
    std::string current = url;
    for (int hop = 0; hop <= max_redirects; hop++) {
        FILE* file = fopen(path.c_str(), "wb");
        if (!file) {
            out->why = "cannot write " + path;
            break;
        }
        std::string location;
        CURLcode rc = get_once(curl, current, file, headers, &out->status, &location);
        int written = fclose(file) == 0;
        if (rc != CURLE_OK) {
            out->why = curl_easy_strerror(rc);
            break;
        }
        if (out->status >= 300 && out->status < 400 && !location.empty()) {
            if (starts_with(current.c_str(), "https:") && !starts_with(location.c_str(), "https:")) {
                out->why = "redirected from https to " + location + ", which the setup does not follow";
                break;
            }
            current = location;
            continue;
        }
        if (out->status != 200) {
            out->why = "HTTP " + std::to_string(out->status);
            break;
        }
        ok = written;
        if (!ok)
            out->why = "cannot write " + path;
        break;
    }
    if (!ok && out->why.empty())
        out->why = "more than 10 redirects";
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    return ok;
}
