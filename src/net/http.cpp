#include "net/http.h"

#include <string.h>
#include <wchar.h>
#include <winhttp.h>

#include "base/text.h"
#include "net/content_range.h"
#include "ui/status.h"

uint32_t g_http_status; // status of the latest answered request

// Every chunk handed to a sink lies in this one block; it is why http_get
// must not run twice at once.
static char buf[0x10000];

// Splits url into host, port, scheme and the object to request: the path
// and the query, never the fragment, which is not for the server. 0 when
// the URL cannot be parsed or a piece does not fit.
static int split_url(const char* url, wchar_t host[256], INTERNET_PORT* port, int* secure,
                     wchar_t object[1024])
{
    wchar_t wide[1024];
    if (!utf8_to_wide(url, wide, 1024))
        return 0;
    wchar_t path[1024];
    wchar_t extra[1024];
    path[0] = 0;
    extra[0] = 0;
    URL_COMPONENTS parts;
    memset(&parts, 0, sizeof parts);
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256; // characters; a longer host name fails the call
    parts.lpszUrlPath = path;
    parts.dwUrlPathLength = 1024;
    parts.lpszExtraInfo = extra;
    parts.dwExtraInfoLength = 1024;
    if (!WinHttpCrackUrl(wide, 0 /* whole string */, 0 /* no escaping */, &parts))
        return 0;
    wchar_t* fragment = wcschr(extra, L'#');
    if (fragment)
        *fragment = 0;
    if (wformat(object, 1024, L"%ls%ls", path, extra) == 0)
        return 0;
    *port = parts.nPort;
    *secure = parts.nScheme == INTERNET_SCHEME_HTTPS;
    return 1;
}

// The body size that the server announced, or -1 when it announced none (a
// chunked or close-delimited body) or one that cannot be read as a number.
static int64_t announced_length(HINTERNET request)
{
    wchar_t text[32];
    DWORD size = sizeof text; // bytes, not characters
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_LENGTH, WINHTTP_HEADER_NAME_BY_INDEX,
                             text, &size, WINHTTP_NO_HEADER_INDEX))
        return -1;
    int64_t n = 0;
    int digits = 0;
    for (const wchar_t* p = text; *p; p++) {
        if (*p < L'0' || *p > L'9' || ++digits > 18)
            return -1;
        n = n * 10 + (*p - L'0');
    }
    return digits ? n : -1;
}

// Whether a 206 continues the file that range asks the rest of.
static int answer_continues(HINTERNET request, const range_get* range)
{
    wchar_t wide[128];
    DWORD size = sizeof wide; // bytes, not characters
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_CONTENT_RANGE, WINHTTP_HEADER_NAME_BY_INDEX, wide, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return 0;
    char text[128];
    return wide_to_utf8(wide, text, sizeof text) && continues_at(text, range->held, range->size);
}

// Takes the answer of a sent request: stores its status and, for a 200 (or,
// when range asks the rest of a file, a 206 that continues it), streams the
// body into the sink. 1 when the body arrived whole.
static int receive_body(HINTERNET request, sink_fn sink, void* ctx, uint64_t expected, range_get* range)
{
    DWORD status = 0;
    DWORD size = sizeof status;
    // Its result is not tested: a failed query leaves 0, which the retry
    // schedule treats like no answer.
    WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                        WINHTTP_HEADER_NAME_BY_INDEX, &status, &size, WINHTTP_NO_HEADER_INDEX);
    g_http_status = status;

    uint64_t offset = 0;   // bytes of the file before this body
    uint64_t whole = expected; // the file's length, for the bar
    if (range) {
        whole = range->size;
        if (status == 206 && answer_continues(request, range)) {
            range->outcome = range_continued;
            offset = range->held;
            expected = range->size - range->held;
            g_percent.exchange((int)(uint32_t)(offset * 100 / whole));
            post_progress();
        } else if (status == 200) {
            // The server sent the whole file instead: it replaces the held bytes.
            range->outcome = range_whole;
            expected = range->size;
            if (!range->start_over(range->start_over_ctx))
                return 0;
        } else {
            range->outcome = (status == 206 || status == 416) ? range_refused : range_other;
            return 0;
        }
    } else if (status != 200) {
        return 0;
    }

    // A server that closes cleanly before its own Content-Length can end the
    // body without a read error, so a body that falls short of it fails here
    // even when the caller expects no size: a cut setup list must not pass.
    int64_t announced = announced_length(request);
    uint64_t received = 0;
    for (;;) {
        DWORD got = 0;
        if (!WinHttpReadData(request, buf, sizeof buf, &got))
            return 0;
        if (got == 0)
            break;
        if (!sink(ctx, buf, got))
            return 0;
        received += got;
        if (whole) {
            // Not clamped: a body longer than announced shows above 100.
            // The window hears of a change only: one post per 64 KiB chunk
            // of a large part would cost the download a tenth of its speed
            // and show nothing new.
            int percent = (int)(uint32_t)((offset + received) * 100 / whole);
            if (g_percent.exchange(percent) != percent)
                post_progress();
        }
    }
    if (expected && received != expected)
        return 0;
    if (announced >= 0 && received != (uint64_t)announced)
        return 0;
    return 1;
}

// Opens the request on the connection and runs it; closes what it opened.
static int run_request(HINTERNET connection, const wchar_t* object, int secure, sink_fn sink,
                       void* ctx, uint64_t expected, const wchar_t* accept, range_get* range)
{
    const wchar_t* accept_types[2] = {accept, 0};
    HINTERNET request = WinHttpOpenRequest(
        connection, L"GET", object,
        0,                   // the platform's default HTTP version
        WINHTTP_NO_REFERER,
        accept ? accept_types : WINHTTP_DEFAULT_ACCEPT_TYPES, // default = no Accept header
        secure ? WINHTTP_FLAG_SECURE : 0);
    if (!request)
        return 0;
    int ok = 0;
    // Headers added to the request, unlike those given to the send, stay
    // with it through the redirects that WinHTTP follows on its own: the
    // download host sends the file from the storage host.
    wchar_t header[64];
    if (range) {
        wformat(header, 64, L"Range: bytes=%llu-", (unsigned long long)range->held);
        if (!WinHttpAddRequestHeaders(request, header, (DWORD)-1 /* zero-terminated */, WINHTTP_ADDREQ_FLAG_ADD)) {
            WinHttpCloseHandle(request);
            return 0;
        }
    }
    // No body; a failed send or receive means that no answer came, so
    // g_http_status is left to the caller's value.
    if (WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0,
                           0 /* total length */, 0 /* context */) &&
        WinHttpReceiveResponse(request, 0 /* reserved */))
        ok = receive_body(request, sink, ctx, expected, range);
    WinHttpCloseHandle(request);
    return ok;
}

// http_get and http_get_range: one request, with range or without.
static int get(const char* url, sink_fn sink, void* ctx, uint64_t expected, const wchar_t* accept, range_get* range)
{
    wchar_t host[256];
    wchar_t object[1024];
    INTERNET_PORT port = 0;
    int secure = 0;
    if (!split_url(url, host, &port, &secure, object))
        return 0;

    // The automatic proxy (WinHTTP's own detection) needs Windows 8.1; older
    // systems refuse it and get the configured proxy instead.
    HINTERNET session = WinHttpOpen(L"Tolvar-Setup/1.0", WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY,
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS,
                                    0 /* synchronous */);
    if (!session)
        session = WinHttpOpen(L"Tolvar-Setup/1.0", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY,
                              WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    if (!session)
        return 0;
    WinHttpSetTimeouts(session, 30000 /* resolve */, 30000 /* connect */, 30000 /* send */,
                       60000 /* receive */);
    // Redirects are followed by WinHTTP itself (the download host sends the
    // file from another host), but never from https down to plain http.
    DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_DISALLOW_HTTPS_TO_HTTP;
    WinHttpSetOption(session, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof policy);

    int ok = 0;
    HINTERNET connection = WinHttpConnect(session, host, port, 0 /* reserved */);
    if (connection) {
        ok = run_request(connection, object, secure, sink, ctx, expected, accept, range);
        WinHttpCloseHandle(connection);
    }
    WinHttpCloseHandle(session);
    return ok;
}

int http_get(const char* url, sink_fn sink, void* ctx, uint64_t expected, const wchar_t* accept)
{
    return get(url, sink, ctx, expected, accept, 0);
}

int http_get_range(const char* url, sink_fn sink, void* ctx, range_get* range, const wchar_t* accept)
{
    range->outcome = range_other;
    return get(url, sink, ctx, range->size - range->held, accept, range);
}
