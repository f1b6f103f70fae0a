// winhttp_get: one WinHTTP GET, results written as key=value lines.
//
// Used by the e2e self-test to show that a Win32 program under Wine reaches
// the fake GitHub through the real host names, trusts the test CA and
// rejects the bad certificates.  It mirrors what a plain WinHTTP client does:
// synchronous session, automatic redirects, default TLS checks.
//
//   winhttp_get.exe URL OUTFILE [--proxy=default|auto|none|detect]
//                   [--header=NAME: VALUE] [--save=PATH] [--no-redirect]
//
// OUTFILE keys: url_requested, proxy, status, bytes, url (final), url_error,
// redirects, error,
// failed_at, secure_flags, and timings ms_open, ms_detect, ms_send,
// ms_receive, ms_read, ms_total.
//
// Build: x86_64-w64-mingw32-g++-posix -O2 -static -municode
//        -o winhttp_get.exe winhttp_get.cpp -lwinhttp

#include <windows.h>
#include <winhttp.h>
#include <stdio.h>
#include <wchar.h>

#ifndef WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
#define WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY 4
#endif

static DWORD g_secure_flags = 0;
static LARGE_INTEGER g_freq;
static LARGE_INTEGER g_t0;

static double ms_since(LARGE_INTEGER from)
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return (double)(now.QuadPart - from.QuadPart) * 1000.0 / (double)g_freq.QuadPart;
}

static LARGE_INTEGER now_counter()
{
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return t;
}

static wchar_t g_redirect_url[2048];
static int g_redirects = 0;

static void CALLBACK on_status(HINTERNET, DWORD_PTR, DWORD status, LPVOID info, DWORD)
{
    if (status == WINHTTP_CALLBACK_STATUS_SECURE_FAILURE && info)
        g_secure_flags = *(DWORD *)info;
    if (status == WINHTTP_CALLBACK_STATUS_REDIRECT && info) {
        lstrcpynW(g_redirect_url, (const wchar_t *)info, 2048);
        g_redirects++;
    }
}

static void put_wide(FILE *f, const char *key, const wchar_t *value)
{
    char buf[4096];
    int n = WideCharToMultiByte(CP_UTF8, 0, value, -1, buf, sizeof(buf), NULL, NULL);
    if (n <= 0)
        buf[0] = 0;
    fprintf(f, "%s=%s\n", key, buf);
}

struct get_result {
    DWORD status;
    unsigned long long bytes;
    DWORD error;
    DWORD url_error;
    const char *failed_at;
    wchar_t final_url[2048];
    double ms_open, ms_detect, ms_send, ms_receive, ms_read;
};

static bool fail(get_result *r, const char *where)
{
    r->error = GetLastError();
    r->failed_at = where;
    return false;
}

static DWORD access_type_for(const wchar_t *mode)
{
    if (wcscmp(mode, L"auto") == 0)
        return WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY;
    if (wcscmp(mode, L"none") == 0)
        return WINHTTP_ACCESS_TYPE_NO_PROXY;
    return WINHTTP_ACCESS_TYPE_DEFAULT_PROXY;
}

// What many clients do before a request: read the IE settings and, when
// they ask for it, run WPAD.  Timed separately to see what it costs here.
static void detect_proxy(HINTERNET session, const wchar_t *url, get_result *r)
{
    LARGE_INTEGER t = now_counter();
    WINHTTP_CURRENT_USER_IE_PROXY_CONFIG ie;
    ZeroMemory(&ie, sizeof(ie));
    WinHttpGetIEProxyConfigForCurrentUser(&ie);
    WINHTTP_AUTOPROXY_OPTIONS opts;
    ZeroMemory(&opts, sizeof(opts));
    opts.dwFlags = WINHTTP_AUTOPROXY_AUTO_DETECT;
    opts.dwAutoDetectFlags = WINHTTP_AUTO_DETECT_TYPE_DHCP | WINHTTP_AUTO_DETECT_TYPE_DNS_A;
    opts.fAutoLogonIfChallenged = TRUE;
    WINHTTP_PROXY_INFO pi;
    ZeroMemory(&pi, sizeof(pi));
    if (WinHttpGetProxyForUrl(session, url, &opts, &pi)) {
        if (pi.lpszProxy)
            GlobalFree(pi.lpszProxy);
        if (pi.lpszProxyBypass)
            GlobalFree(pi.lpszProxyBypass);
    }
    if (ie.lpszAutoConfigUrl)
        GlobalFree(ie.lpszAutoConfigUrl);
    if (ie.lpszProxy)
        GlobalFree(ie.lpszProxy);
    if (ie.lpszProxyBypass)
        GlobalFree(ie.lpszProxyBypass);
    r->ms_detect = ms_since(t);
}

static bool do_get(const wchar_t *url, const wchar_t *proxy_mode, const wchar_t *header,
                   const wchar_t *save_path, bool redirects, get_result *r)
{
    wchar_t host[256], path[2048];
    URL_COMPONENTS uc;
    ZeroMemory(&uc, sizeof(uc));
    uc.dwStructSize = sizeof(uc);
    uc.lpszHostName = host;
    uc.dwHostNameLength = 256;
    uc.lpszUrlPath = path;
    uc.dwUrlPathLength = 2048;
    uc.dwExtraInfoLength = (DWORD)-1;
    if (!WinHttpCrackUrl(url, 0, 0, &uc))
        return fail(r, "crack");
    if (uc.lpszExtraInfo && uc.dwExtraInfoLength)
        wcsncat(path, uc.lpszExtraInfo, 2047 - wcslen(path));

    LARGE_INTEGER t = now_counter();
    HINTERNET session = WinHttpOpen(L"tolvar-e2e-winhttp-get/1", access_type_for(proxy_mode),
                                    WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, 0);
    r->ms_open = ms_since(t);
    if (!session)
        return fail(r, "open");
    if (wcscmp(proxy_mode, L"detect") == 0)
        detect_proxy(session, url, r);
    WinHttpSetTimeouts(session, 10000, 10000, 10000, 10000);
    WinHttpSetStatusCallback(session, on_status,
                             WINHTTP_CALLBACK_FLAG_SECURE_FAILURE | WINHTTP_CALLBACK_FLAG_REDIRECT, 0);

    bool ok = false;
    HINTERNET conn = WinHttpConnect(session, host, uc.nPort, 0);
    HINTERNET req = NULL;
    if (!conn) {
        fail(r, "connect");
    } else {
        DWORD flags = uc.nScheme == INTERNET_SCHEME_HTTPS ? WINHTTP_FLAG_SECURE : 0;
        req = WinHttpOpenRequest(conn, L"GET", path, NULL, WINHTTP_NO_REFERER,
                                 WINHTTP_DEFAULT_ACCEPT_TYPES, flags);
        if (!req)
            fail(r, "openrequest");
    }
    if (req) {
        if (!redirects) {
            DWORD policy = WINHTTP_OPTION_REDIRECT_POLICY_NEVER;
            WinHttpSetOption(req, WINHTTP_OPTION_REDIRECT_POLICY, &policy, sizeof(policy));
        }
        t = now_counter();
        BOOL sent = WinHttpSendRequest(req, header ? header : WINHTTP_NO_ADDITIONAL_HEADERS,
                                       header ? (DWORD)-1L : 0, WINHTTP_NO_REQUEST_DATA, 0, 0, 0);
        r->ms_send = ms_since(t);
        if (!sent) {
            fail(r, "send");
        } else {
            t = now_counter();
            BOOL got = WinHttpReceiveResponse(req, NULL);
            r->ms_receive = ms_since(t);
            if (!got) {
                fail(r, "receive");
            } else {
                DWORD len = sizeof(r->status);
                WinHttpQueryHeaders(req, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                                    WINHTTP_HEADER_NAME_BY_INDEX, &r->status, &len,
                                    WINHTTP_NO_HEADER_INDEX);
                // Wine 8 has no WINHTTP_OPTION_URL (ERROR_INVALID_PARAMETER);
                // the redirect callback then gives the final URL.
                len = sizeof(r->final_url);
                if (!WinHttpQueryOption(req, WINHTTP_OPTION_URL, r->final_url, &len)) {
                    r->url_error = GetLastError();
                    if (g_redirect_url[0])
                        lstrcpynW(r->final_url, g_redirect_url, 2048);
                    else
                        lstrcpynW(r->final_url, url, 2048);
                }
                HANDLE out = INVALID_HANDLE_VALUE;
                if (save_path)
                    out = CreateFileW(save_path, GENERIC_WRITE, 0, NULL, CREATE_ALWAYS,
                                      FILE_ATTRIBUTE_NORMAL, NULL);
                t = now_counter();
                ok = true;
                for (;;) {
                    static char buf[65536];
                    DWORD n = 0;
                    if (!WinHttpReadData(req, buf, sizeof(buf), &n)) {
                        ok = fail(r, "read");
                        break;
                    }
                    if (n == 0)
                        break;
                    r->bytes += n;
                    if (out != INVALID_HANDLE_VALUE) {
                        DWORD w = 0;
                        WriteFile(out, buf, n, &w, NULL);
                    }
                }
                r->ms_read = ms_since(t);
                if (out != INVALID_HANDLE_VALUE)
                    CloseHandle(out);
            }
        }
        WinHttpCloseHandle(req);
    }
    if (conn)
        WinHttpCloseHandle(conn);
    WinHttpCloseHandle(session);
    return ok;
}

int wmain(int argc, wchar_t **argv)
{
    if (argc < 3) {
        fwprintf(stderr, L"usage: winhttp_get URL OUTFILE [--proxy=MODE] [--header=H]"
                         L" [--save=PATH] [--no-redirect]\n");
        return 2;
    }
    QueryPerformanceFrequency(&g_freq);
    g_t0 = now_counter();
    const wchar_t *proxy_mode = L"default";
    const wchar_t *header = NULL;
    const wchar_t *save_path = NULL;
    bool redirects = true;
    for (int i = 3; i < argc; i++) {
        if (wcsncmp(argv[i], L"--proxy=", 8) == 0)
            proxy_mode = argv[i] + 8;
        else if (wcsncmp(argv[i], L"--header=", 9) == 0)
            header = argv[i] + 9;
        else if (wcsncmp(argv[i], L"--save=", 7) == 0)
            save_path = argv[i] + 7;
        else if (wcscmp(argv[i], L"--no-redirect") == 0)
            redirects = false;
    }

    static get_result r;
    ZeroMemory(&r, sizeof(r));
    bool ok = do_get(argv[1], proxy_mode, header, save_path, redirects, &r);

    FILE *f = _wfopen(argv[2], L"w");
    if (!f)
        return 3;
    put_wide(f, "url_requested", argv[1]);
    put_wide(f, "proxy", proxy_mode);
    if (r.status)
        fprintf(f, "status=%lu\n", (unsigned long)r.status);
    fprintf(f, "bytes=%llu\n", r.bytes);
    if (r.final_url[0])
        put_wide(f, "url", r.final_url);
    if (r.url_error)
        fprintf(f, "url_error=%lu\n", (unsigned long)r.url_error);
    fprintf(f, "redirects=%d\n", g_redirects);
    fprintf(f, "error=%lu\n", (unsigned long)r.error);
    if (r.failed_at)
        fprintf(f, "failed_at=%s\n", r.failed_at);
    fprintf(f, "secure_flags=0x%08lx\n", (unsigned long)g_secure_flags);
    fprintf(f, "ms_open=%.1f\nms_detect=%.1f\nms_send=%.1f\nms_receive=%.1f\nms_read=%.1f\n",
            r.ms_open, r.ms_detect, r.ms_send, r.ms_receive, r.ms_read);
    fprintf(f, "ms_total=%.1f\n", ms_since(g_t0));
    fclose(f);
    return ok ? 0 : 1;
}
