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

// Never closed by the program: the system closes it when the process ends,
// and so ends every helper in it.
static HANDLE g_helper_job; // the job of the helpers, made on first use

static HANDLE helper_job()
{
    if (g_helper_job)
        return g_helper_job;
    HANDLE job = CreateJobObjectW(0, 0);
    if (!job)
        return 0;
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits = {};
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
        CloseHandle(job);
        return 0;
    }
    g_helper_job = job;
    return job;
}

bool start_process_tied(wchar_t* cmd, DWORD flags, const wchar_t* folder, STARTUPINFOW* si,
                        PROCESS_INFORMATION* pi)
{
    HANDLE job = helper_job();
    if (!job || !start_process(cmd, flags | CREATE_SUSPENDED, folder, si, pi))
        return false;
    if (!AssignProcessToJobObject(job, pi->hProcess) || ResumeThread(pi->hThread) == (DWORD)-1) {
        TerminateProcess(pi->hProcess, 1);
        CloseHandle(pi->hThread);
        CloseHandle(pi->hProcess);
        return false;
    }
    return true;
}
