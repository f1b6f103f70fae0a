#include "ui/window.h"

#include <commctrl.h>

#include "ui/status.h"

HWND g_win;  // the progress window
HWND g_text; // its status line
HWND g_bar;  // its progress bar

static void show_status()
{
    wchar_t line[512];
    latest_status(line);
    SetWindowTextW(g_text, line);
    // Read once, so that the test and the position agree.
    int percent = g_percent.load(std::memory_order_relaxed);
    // A bar that carries PBS_MARQUEE ignores PBM_SETPOS and keeps drawing
    // the marquee block, so the style goes while a percentage shows and
    // comes back with the marquee.
    LONG_PTR style = GetWindowLongPtrW(g_bar, GWL_STYLE);
    if (percent < 0) {
        if (!(style & PBS_MARQUEE))
            SetWindowLongPtrW(g_bar, GWL_STYLE, style | PBS_MARQUEE);
        SendMessageW(g_bar, PBM_SETMARQUEE, 1, 30);
    } else {
        SendMessageW(g_bar, PBM_SETMARQUEE, 0, 0);
        if (style & PBS_MARQUEE) {
            SetWindowLongPtrW(g_bar, GWL_STYLE, style & ~(LONG_PTR)PBS_MARQUEE);
            InvalidateRect(g_bar, 0, TRUE);
        }
        SendMessageW(g_bar, PBM_SETPOS, (WPARAM)percent, 0);
    }
}

LRESULT CALLBACK wndproc(HWND win, UINT msg, WPARAM wp, LPARAM lp)
{
    switch (msg) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_APP_CLOSE:
        DestroyWindow(win);
        return 0;
    case WM_APP_STATUS:
        show_status();
        return 0;
    }
    return DefWindowProcW(win, msg, wp, lp);
}

void create_progress_window(HINSTANCE instance)
{
    INITCOMMONCONTROLSEX icc = {};
    icc.dwSize = sizeof icc;
    icc.dwICC = ICC_PROGRESS_CLASS;
    InitCommonControlsEx(&icc);

    WNDCLASSW wc = {};
    wc.lpfnWndProc = wndproc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    wc.hCursor = LoadCursorW(0, IDC_ARROW);
    wc.hbrBackground = (HBRUSH)(COLOR_WINDOW + 1);
    wc.lpszClassName = L"TolvarSetup";
    RegisterClassW(&wc);

    int x = (GetSystemMetrics(SM_CXSCREEN) - 460) / 2;
    int y = (GetSystemMetrics(SM_CYSCREEN) - 140) / 2;
    g_win = CreateWindowExW(0, L"TolvarSetup", L"Project Tolvar setup",
                            WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX,
                            x, y, 460, 140,
                            0,         // no parent
                            0,         // no menu
                            instance,
                            0);        // no creation data
    g_text = CreateWindowExW(0, L"STATIC", L"Starting...", WS_CHILD | WS_VISIBLE,
                             16, 16, 412, 22, g_win, 0, instance, 0);
    g_bar = CreateWindowExW(0, L"msctls_progress32", 0, WS_CHILD | WS_VISIBLE | PBS_MARQUEE,
                            16, 48, 412, 20, g_win, 0, instance, 0);

    // Lives until the process ends.
    HFONT font = CreateFontW(-15, 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
                             OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, CLEARTYPE_QUALITY,
                             DEFAULT_PITCH, L"Segoe UI");
    SendMessageW(g_text, WM_SETFONT, (WPARAM)font, 1);
    SendMessageW(g_bar, PBM_SETMARQUEE, 1, 30);
}
