// The memory floor of the setup's window: the same progress window (the
// product's own code and resources) shown with its marquee running for the
// given number of milliseconds (default 1000), and nothing else.
//
//   bare_window.exe [MS [URL...]]
//
// With URLs, a worker thread also fetches them one after the other with the
// bare WinHTTP loop (bytes thrown away) and the window closes when that is
// done and MS have passed: the floor of a program that shows the window and
// downloads over HTTPS, to tell the platform's memory from the installer's.
#include <windows.h>
#include <stdlib.h>

#include "bare_http.h"
#include "ui/status.h"
#include "ui/window.h"

static DWORD g_hold_ms = 1000;

static DWORD WINAPI fetch_then_close(void*)
{
    DWORD start = GetTickCount();
    unsigned long long bytes = 0;
    unsigned chunks = 0;
    for (int i = 2; i < __argc; i++)
        bare_get(__wargv[i], 0, 0, &bytes, &chunks);
    DWORD spent = GetTickCount() - start;
    if (spent < g_hold_ms)
        Sleep(g_hold_ms - spent);
    PostMessageW(g_win, WM_APP_CLOSE, 0, 0);
    return 0;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show)
{
    if (__argc > 1 && _wtoi(__wargv[1]) > 0)
        g_hold_ms = (DWORD)_wtoi(__wargv[1]);
    create_progress_window(instance);
    if (!g_win)
        return 1;
    ShowWindow(g_win, show);
    HANDLE worker = CreateThread(0, 0, fetch_then_close, 0, 0, 0);
    if (!worker)
        return 1;
    CloseHandle(worker);
    MSG msg;
    while (GetMessageW(&msg, 0, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
