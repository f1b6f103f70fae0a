#include "loop_fakes.h"

#include <gtest/gtest.h>
#include <stdarg.h>
#include <string.h>
#include <wchar.h>

#include "install/pause.h"
#include "install/unpack.h"
#include "net/api_link.h"
#include "net/http.h"
#include "net/release_link.h"
#include "ui/status.h"

std::vector<fake_http> g_fake_http;
std::vector<fake_api> g_fake_api;
std::vector<fake_call> g_http_calls;
std::vector<std::string> g_api_calls;
std::vector<fake_unpack> g_unpacks;
std::vector<std::wstring> g_statuses;
std::vector<int> g_pauses;
std::wstring g_failed;
jmp_buf g_fail_jump;

uint32_t g_http_status;
std::atomic<int> g_percent(-1);

void reset_fakes()
{
    g_fake_http.clear();
    g_fake_api.clear();
    g_http_calls.clear();
    g_api_calls.clear();
    g_unpacks.clear();
    g_statuses.clear();
    g_pauses.clear();
    g_failed.clear();
    g_http_status = 0;
}

// Hands the body to the sink in chunks of at most 64 KiB, moving g_percent
// from offset on; 0 when the sink stops.
static int feed(sink_fn sink, void* ctx, const fake_http& a, uint64_t offset, uint64_t whole, uint64_t* received)
{
    const char* body = a.body;
    uint64_t length = a.length ? a.length : body ? strlen(body) : 0;
    *received = 0;
    while (*received < length) {
        uint32_t chunk = (uint32_t)(length - *received < 0x10000 ? length - *received : 0x10000);
        if (!sink(ctx, body + *received, chunk))
            return 0;
        *received += chunk;
        if (whole)
            g_percent.exchange((int)(uint32_t)((offset + *received) * 100 / whole));
    }
    return 1;
}

static fake_http next_answer(const char* url, const wchar_t* accept, uint64_t from)
{
    g_http_calls.push_back({url, accept ? accept : L"", from});
    if (g_fake_http.empty()) {
        // A request the test did not script is a fault of the loop, not a
        // quiet "no answer" that a retry would paper over.
        ADD_FAILURE() << "unexpected request " << url;
        return fake_http{0, nullptr, 0, false, 0};
    }
    fake_http a = g_fake_http.front();
    g_fake_http.erase(g_fake_http.begin());
    if (a.status)
        g_http_status = a.status;
    return a;
}

int http_get(const char* url, sink_fn sink, void* ctx, uint64_t expected, const wchar_t* accept)
{
    fake_http a = next_answer(url, accept, 0);
    if (a.status != 200)
        return 0;
    uint64_t received = 0;
    if (!feed(sink, ctx, a, 0, expected, &received))
        return 0;
    if (expected && received != expected)
        return 0;
    return a.result;
}

// Like the real one: a 206 continues (unless its range is a bad one), a 200
// starts over with the whole file, a 416 refuses.
int http_get_range(const char* url, sink_fn sink, void* ctx, range_get* range, const wchar_t* accept)
{
    range->outcome = range_other;
    fake_http a = next_answer(url, accept, range->held);
    uint64_t offset = 0, expected = range->size;
    if (a.status == 206 && !a.bad_range) {
        range->outcome = range_continued;
        offset = range->held;
        expected = range->size - range->held;
    } else if (a.status == 200) {
        range->outcome = range_whole;
        if (!range->start_over(range->start_over_ctx))
            return 0;
    } else {
        if (a.status == 206 || a.status == 416)
            range->outcome = range_refused;
        return 0;
    }
    uint64_t received = 0;
    if (!feed(sink, ctx, a, offset, range->size, &received))
        return 0;
    return received == expected ? a.result : 0;
}

void unpack_part(int i, int n, const part_entry* part, const wchar_t* staging_dir, const wchar_t* zip)
{
    g_unpacks.push_back({i, n, part->sha256, staging_dir, zip});
}

// Like the real one, a link that is no release download link is refused
// before any release query; only links that would reach the API are recorded
// and need a scripted answer.
int api_link_for(const char* link, char out[1024])
{
    char repo[256];
    char tag[256];
    char file[260];
    if (!split_release_link(link, repo, tag, file, 0))
        return 0;
    g_api_calls.push_back(link);
    if (g_fake_api.empty()) {
        ADD_FAILURE() << "unexpected release query for " << link;
        return 0;
    }
    fake_api a = g_fake_api.front();
    g_fake_api.erase(g_fake_api.begin());
    if (a.status)
        g_http_status = a.status;
    if (a.yields)
        strcpy(out, "https://api.github.com/repos/brannix/ProjectTolvar/releases/assets/7");
    return a.yields;
}

static std::wstring formatted(const wchar_t* fmt, va_list ap)
{
    wchar_t buf[2048];
    vswprintf(buf, 2048, fmt, ap);
    return buf;
}

void status(const wchar_t* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    g_statuses.push_back(formatted(fmt, ap));
    va_end(ap);
}

void fail(const wchar_t* fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    g_failed = formatted(fmt, ap);
    va_end(ap);
    longjmp(g_fail_jump, 1);
}

void post_progress() {}

void pause_seconds(int seconds)
{
    g_pauses.push_back(seconds);
}
