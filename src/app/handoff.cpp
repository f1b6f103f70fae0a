#include "app/handoff.h"

#include <windows.h>

#include "base/cmdline.h"
#include "base/local_appdata.h"
#include "base/path_exists.h"
#include "base/start_process.h"
#include "base/text.h"
#include "install/files.h"

int launch_installed()
{
    // Always the default base folder: the hand-off must find the version the
    // user installed, whatever a test or a portable setup points the
    // installer at.
    wchar_t local[MAX_PATH];
    if (!local_appdata(local))
        return 0;

    wchar_t marker[MAX_PATH];
    if (!wformat(marker, MAX_PATH, L"%ls\\Tolvar\\versions\\current.txt", local))
        return 0;
    char first[128];
    read_first_line(marker, first);
    if (!first[0])
        return 0;
    wchar_t tag[128];
    if (!utf8_to_wide(first, tag, 128))
        return 0;

    // A folder or launcher path that does not fit would name another file.
    wchar_t folder[MAX_PATH];
    wchar_t launcher[MAX_PATH];
    if (!wformat(folder, MAX_PATH, L"%ls\\Tolvar\\versions\\%ls\\Tolvar", local, tag))
        return 0;
    if (!wformat(launcher, MAX_PATH, L"%ls\\Tolvar.exe", folder))
        return 0;
    if (!path_exists(launcher))
        return 0;

    wchar_t cmd[4096];
    wformat(cmd, 4096, L"\"%ls\" %ls", launcher, g_cmdline);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!start_process(cmd, 0, folder /* the launcher's folder */, &si, &pi))
        return 0;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 1;
}
