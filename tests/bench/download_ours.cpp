// The installer's download pipeline on one URL: http_get into file_sink with
// its writer thread started, as the part download runs it (write and hash
// beside the receive loop, progress posted to the progress window, which
// exists but is never shown), on a worker thread as in the installer.
//
//   bench_download.exe OUT.json URL SIZE FILE [--profile]
//
// The plain run measures the pipeline as shipped. --profile tells where the
// time goes: file_sink is wrapped by a sink of the bench that times the
// receive loop's hand-over of each chunk (a wait for a free buffer of the
// ring included), the writer's WriteFile calls are timed through the
// sink's write hook, the writer thread's CPU time is read as the fetch ends,
// and the window procedure is wrapped with a counter and a clock.
// JSON keys: ok, bytes, s (wall time of the download, file creation to
// closed file and finished hash), cpu_s (process CPU over the same span),
// sha256, and with --profile: chunks, min_chunk, max_chunk, sink_s (time
// in file_sink), sink_max_ms (the longest hand-over), write_s (in
// WriteFile, on the writer), writer_cpu_s, drain_s (from the end of the
// fetch until the writer had stored everything), posts (WM_APP_STATUS
// handled) and wndproc_s (the window's time on them).
#include <windows.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "bench_out.h"
#include "install/sha256.h"
#include "net/file_sink.h"
#include "net/http.h"
#include "ui/status.h"
#include "ui/window.h"

static char g_url[1024];
static uint64_t g_size;
static const wchar_t* g_file;
static int g_profile;

static int g_ok;
static double g_seconds;
static double g_cpu;
static char g_hex[65];

// Profile counters: the sink runs on the worker, WriteFile on the writer,
// the window on the main thread.
static uint64_t g_bytes;
static uint32_t g_chunks;
static uint32_t g_min_chunk = 0xffffffff;
static uint32_t g_max_chunk;
static double g_sink_s;
static double g_sink_max_s;
static double g_write_s;
static double g_writer_cpu_s;
static double g_drain_s;
static uint32_t g_posts;
static double g_wndproc_s;

// file_sink as the receive loop calls it, timed.
static int profiled_sink(void* ctx, const void* chunk, uint32_t len)
{
    LARGE_INTEGER a = bench_now();
    int ok = file_sink(ctx, chunk, len);
    double s = bench_seconds(a, bench_now());
    g_sink_s += s;
    if (s > g_sink_max_s)
        g_sink_max_s = s;
    g_chunks++;
    g_bytes += len;
    if (len < g_min_chunk)
        g_min_chunk = len;
    if (len > g_max_chunk)
        g_max_chunk = len;
    return ok;
}

static BOOL WINAPI profiled_write(HANDLE file, LPCVOID data, DWORD len, LPDWORD written, LPOVERLAPPED overlapped)
{
    LARGE_INTEGER a = bench_now();
    BOOL ok = WriteFile(file, data, len, written, overlapped);
    g_write_s += bench_seconds(a, bench_now());
    return ok;
}

static double thread_cpu_seconds(HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    if (!GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return -1;
    return bench_cpu_sum(&kernel, &user);
}

static LRESULT CALLBACK profiled_wndproc(HWND win, UINT msg, WPARAM wp, LPARAM lp)
{
    if (msg != WM_APP_STATUS)
        return wndproc(win, msg, wp, lp);
    LARGE_INTEGER a = bench_now();
    LRESULT r = wndproc(win, msg, wp, lp);
    g_wndproc_s += bench_seconds(a, bench_now());
    g_posts++;
    return r;
}

static DWORD WINAPI worker(void*)
{
    double cpu0 = bench_cpu_seconds();
    LARGE_INTEGER t0 = bench_now();
    file_ctx ctx = {};
    ctx.file = CreateFileW(g_file, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, 0);
    sha256_hash h;
    if (ctx.file != INVALID_HANDLE_VALUE && sha256_begin(&h)) {
        ctx.hash = h.hash;
        if (g_profile)
            g_write_file = profiled_write;
        file_sink_start(&ctx);
        HANDLE writer = 0;
        if (g_profile && ctx.writer)
            DuplicateHandle(GetCurrentProcess(), ctx.writer, GetCurrentProcess(), &writer, 0, FALSE,
                            DUPLICATE_SAME_ACCESS);
        int ok = http_get(g_url, g_profile ? profiled_sink : file_sink, &ctx, g_size, 0);
        LARGE_INTEGER fetched = bench_now();
        // Read while the writer lives (it has at most a ring of chunks
        // left): Wine tells no times of a thread that has ended.
        if (writer) {
            g_writer_cpu_s = thread_cpu_seconds(writer);
            CloseHandle(writer);
        }
        int stored = file_sink_finish(&ctx);
        g_drain_s = bench_seconds(fetched, bench_now());
        g_ok = ok && stored;
        CloseHandle(ctx.file);
        sha256_end(&h, g_hex);
    }
    g_seconds = bench_seconds(t0, bench_now());
    g_cpu = bench_cpu_seconds() - cpu0;
    PostMessageW(g_win, WM_APP_CLOSE, 0, 0);
    return 0;
}

int wmain(int argc, wchar_t** argv)
{
    if (argc < 5)
        return 2;
    if (!WideCharToMultiByte(CP_UTF8, 0, argv[2], -1, g_url, sizeof g_url, 0, 0))
        return 2;
    g_size = _wcstoui64(argv[3], 0, 10);
    g_file = argv[4];
    g_profile = argc > 5 && wcscmp(argv[5], L"--profile") == 0;

    create_progress_window(GetModuleHandleW(0));
    if (!g_win)
        return 3;
    if (g_profile)
        SetWindowLongPtrW(g_win, GWLP_WNDPROC, (LONG_PTR)profiled_wndproc);
    HANDLE thread = CreateThread(0, 0, worker, 0, 0, 0);
    if (!thread)
        return 3;
    MSG msg;
    while (GetMessageW(&msg, 0, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    WaitForSingleObject(thread, INFINITE);
    DeleteFileW(g_file);
    if (g_profile)
        bench_report(argv[1],
                     "{\"ok\":%d,\"s\":%.6f,\"cpu_s\":%.4f,\"sha256\":\"%s\",\"bytes\":%llu,\"chunks\":%u,"
                     "\"min_chunk\":%u,\"max_chunk\":%u,\"sink_s\":%.6f,\"sink_max_ms\":%.3f,\"write_s\":%.6f,"
                     "\"writer_cpu_s\":%.4f,\"drain_s\":%.6f,\"posts\":%u,\"wndproc_s\":%.6f}\n",
                     g_ok, g_seconds, g_cpu, g_hex, (unsigned long long)g_bytes, g_chunks,
                     g_chunks ? g_min_chunk : 0, g_max_chunk, g_sink_s, g_sink_max_s * 1000.0, g_write_s,
                     g_writer_cpu_s, g_drain_s, g_posts, g_wndproc_s);
    else
        bench_report(argv[1], "{\"ok\":%d,\"s\":%.6f,\"cpu_s\":%.4f,\"sha256\":\"%s\",\"bytes\":%llu}\n", g_ok,
                     g_seconds, g_cpu, g_hex, (unsigned long long)g_size);
    return g_ok ? 0 : 1;
}
