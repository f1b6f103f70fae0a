#pragma once
#include <windows.h>

#include <atomic>

// The one-way channel from the worker to the progress window. The worker
// never waits for the window: every notification is posted.

// Private window messages; they carry nothing (posters pass 0 and 0).
enum {
    WM_APP_STATUS = WM_APP + 1, // status text or percent changed
    WM_APP_CLOSE = WM_APP + 2,  // close the window
};

// Progress: negative = no percentage, the bar runs a marquee; 0 and above is
// the bar's position (not clamped). Writers use exchange, the window reads it
// once per WM_APP_STATUS.
extern std::atomic<int> g_percent;

// Formats the status line (at most 511 characters are kept) and posts
// WM_APP_STATUS. Worker thread only.
void status(const wchar_t* fmt, ...);

// Shows the formatted message (at most 1023 characters) in an error box
// owned by the window, titled "Tolvar setup", then closes the window and ends
// the calling thread. Nothing of the caller is cleaned up. Worker only.
[[noreturn]] void fail(const wchar_t* fmt, ...);

// Posts WM_APP_STATUS without a new text, after g_percent has changed.
void post_progress();

// Copies the latest status line into buf (512 wide characters) as one
// whole text; the window procedure's side of the channel.
void latest_status(wchar_t* buf);
