#pragma once
// The least WinHTTP needs to fetch a URL: one session, one request, a read
// loop into a 64 KiB buffer. Redirects are followed by WinHTTP's default
// policy. Shared by the bare references.
#include <windows.h>
#include <winhttp.h>

// Called with each chunk that a read returned; the bytes are gone after it.
typedef int (*bare_chunk_fn)(void* ctx, const char* chunk, DWORD len);

// GETs url; 1 when the body arrived to its end. bytes and chunks count what
// the reads returned. each may be null: the bytes are thrown away.
static inline int bare_get(const wchar_t* url, bare_chunk_fn each, void* ctx, unsigned long long* bytes,
                           unsigned* chunks)
{
    static char buf[0x10000];
    wchar_t host[256];
    wchar_t object[2048];
    wchar_t query[1024];
    URL_COMPONENTS parts = {};
    parts.dwStructSize = sizeof parts;
    parts.lpszHostName = host;
    parts.dwHostNameLength = 256;
    parts.lpszUrlPath = object;
    parts.dwUrlPathLength = 1024;
    parts.lpszExtraInfo = query;
    parts.dwExtraInfoLength = 1024;
    if (!WinHttpCrackUrl(url, 0, 0, &parts))
        return 0;
    lstrcatW(object, query); // path and query, as the server is asked

    *bytes = 0;
    *chunks = 0;
    int ok = 0;
    HINTERNET session = WinHttpOpen(L"bare", WINHTTP_ACCESS_TYPE_DEFAULT_PROXY, WINHTTP_NO_PROXY_NAME,
                                    WINHTTP_NO_PROXY_BYPASS, 0);
    HINTERNET connection = session ? WinHttpConnect(session, host, parts.nPort, 0) : 0;
    HINTERNET request =
        connection ? WinHttpOpenRequest(connection, L"GET", object, 0, WINHTTP_NO_REFERER,
                                        WINHTTP_DEFAULT_ACCEPT_TYPES,
                                        parts.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0)
                   : 0;
    if (request && WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0) &&
        WinHttpReceiveResponse(request, 0)) {
        for (;;) {
            DWORD got = 0;
            if (!WinHttpReadData(request, buf, sizeof buf, &got))
                break;
            if (got == 0) {
                ok = 1;
                break;
            }
            *bytes += got;
            ++*chunks;
            if (each && !each(ctx, buf, got))
                break;
        }
    }
    if (request)
        WinHttpCloseHandle(request);
    if (connection)
        WinHttpCloseHandle(connection);
    if (session)
        WinHttpCloseHandle(session);
    return ok;
}
