#include "loop_fakes.h"

#include <stdarg.h>
#include <string.h>
#include <wchar.h>

#include "install/pause.h"
#include "install/unpack.h"
#include "net/api_link.h"
#include "net/http.h"
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

int http_get(const char* url, sink_fn sink, void* ctx, uint64_t expected, const wchar_t* accept)
{
    g_http_calls.push_back({url, accept ? accept : L""});
    if (g_fake_http.empty())
        return 0;
    fake_http a = g_fake_http.front();
    g_fake_http.erase(g_fake_http.begin());
    if (a.status)
        g_http_status = a.status;
    if (a.status != 200)
        return 0;
    uint64_t length = a.body ? strlen(a.body) : 0;
    uint64_t received = 0;
    while (received < length) {
        uint32_t chunk = (uint32_t)(length - received < 0x10000 ? length - received : 0x10000);
        if (!sink(ctx, a.body + received, chunk))
            return 0;
        received += chunk;
        if (expected)
            g_percent.exchange((int)(uint32_t)(received * 100 / expected));
    }
    if (expected && received != expected)
        return 0;
    return a.result;
}

// Same as the product's: write, and hash only what reached the file.
int file_sink(void* ctx, const void* chunk, uint32_t len)
{
    file_ctx* f = (file_ctx*)ctx;
    DWORD written = 0;
    if (!WriteFile(f->file, chunk, len, &written, 0) || written != len) {
        f->write_failed = 1;
        return 0;
    }
    return BCryptHashData(f->hash, (PUCHAR)chunk, len, 0) == 0;
}

void unpack_part(int i, int n, const part_entry* part, const wchar_t* staging_dir, const wchar_t* zip)
{
    g_unpacks.push_back({i, n, part->sha256, staging_dir, zip});
}

int api_link_for(const char* link, char out[1024])
{
    g_api_calls.push_back(link);
    if (g_fake_api.empty())
        return 0;
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
