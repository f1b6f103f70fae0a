#include "ui/status.h"

#include <stdarg.h>
#include <wchar.h>
#include <windows.h>

#include "base/text.h"
#include "ui/window.h"

std::atomic<int> g_percent(-1); // bar position, negative for the marquee

// The status line. The worker formats the next text while the window may be
// copying the previous one, so both sides hold g_status_lock for the copy:
// a shown line is always one whole text. The window copies out and sets the
// control after letting go, so the worker never waits on a window call.
static wchar_t g_status[512];             // the latest status line
static SRWLOCK g_status_lock = SRWLOCK_INIT; // guards g_status

void status(const wchar_t* fmt, ...)
{
    wchar_t next[512];
    va_list ap;
    va_start(ap, fmt);
    wvformat(next, 512, fmt, ap);
    va_end(ap);
    AcquireSRWLockExclusive(&g_status_lock);
    memcpy(g_status, next, sizeof g_status);
    ReleaseSRWLockExclusive(&g_status_lock);
    PostMessageW(g_win, WM_APP_STATUS, 0, 0);
}

void latest_status(wchar_t* buf)
{
    AcquireSRWLockShared(&g_status_lock);
    memcpy(buf, g_status, sizeof g_status);
    ReleaseSRWLockShared(&g_status_lock);
}

void post_progress()
{
    PostMessageW(g_win, WM_APP_STATUS, 0, 0);
}

void fail(const wchar_t* fmt, ...)
{
    wchar_t text[1024];
    va_list ap;
    va_start(ap, fmt);
    wvformat(text, 1024, fmt, ap);
    va_end(ap);
    MessageBoxW(g_win, text, L"Tolvar setup", MB_ICONERROR);
    PostMessageW(g_win, WM_APP_CLOSE, 0, 0);
    ExitThread(1);
}
