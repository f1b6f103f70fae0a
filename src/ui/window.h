#pragma once
#include <windows.h>

// The progress window: one status line and one progress bar. Set by the main
// thread before the worker starts and never changed.
extern HWND g_win;  // the window, class "TolvarSetup"
extern HWND g_text; // its status line
extern HWND g_bar;  // its progress bar

// Builds the window with "Starting..." and a running marquee, not yet shown.
// Sets the three handles above.
void create_progress_window(HINSTANCE instance);

LRESULT CALLBACK wndproc(HWND win, UINT msg, WPARAM wp, LPARAM lp);
