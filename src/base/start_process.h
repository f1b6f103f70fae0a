#pragma once
#include <windows.h>

// Starts the program that cmd's first token names, in folder, with no
// handles inherited, like CreateProcessW(0, cmd, 0, 0, FALSE, flags, 0,
// folder, si, pi). A start that fails with ERROR_INTERNAL_ERROR is made
// again, up to three times in all, 100 ms apart: that failure means the new
// process ended while the system was still setting it up, before any of its
// own code ran, so a second start cannot do anything twice. Every other
// failure is reported at once. Returns true when the program started; pi then
// holds both handles for the caller to close.
bool start_process(wchar_t* cmd, DWORD flags, const wchar_t* folder, STARTUPINFOW* si,
                   PROCESS_INFORMATION* pi);

// start_process, for a helper that must not outlive this process: the
// program starts suspended, joins a job that the system ends when the last
// handle to it closes (this process holds it until it ends, however it
// ends: returns, crashes or is killed), and only then runs. Returns false,
// with nothing left running, when it cannot start or cannot join the job.
bool start_process_tied(wchar_t* cmd, DWORD flags, const wchar_t* folder, STARTUPINFOW* si,
                        PROCESS_INFORMATION* pi);

// What start_process calls for each attempt; tests put a scripted one here.
typedef BOOL(WINAPI* create_process_fn)(LPCWSTR, LPWSTR, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                                         BOOL, DWORD, LPVOID, LPCWSTR, LPSTARTUPINFOW,
                                         LPPROCESS_INFORMATION);
extern create_process_fn g_create_process;
