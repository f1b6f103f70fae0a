#include "base/start_process.h"

create_process_fn g_create_process = CreateProcessW;

bool start_process(wchar_t* cmd, DWORD flags, const wchar_t* folder, STARTUPINFOW* si,
                   PROCESS_INFORMATION* pi)
{
    for (int attempt = 1;; ++attempt) {
        if (g_create_process(0,      // the program is the command line's first token
                             cmd,
                             0, 0,   // default security
                             FALSE,  // handles not inherited
                             flags,
                             0,      // the caller's environment
                             folder, // working directory
                             si, pi))
            return true;
        if (GetLastError() != ERROR_INTERNAL_ERROR || attempt == 3)
            return false;
        Sleep(100);
    }
}
