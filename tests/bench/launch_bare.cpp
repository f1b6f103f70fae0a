// The least a program needs to hand over to the installed launcher: one
// CreateProcessW of its own command line's arguments, in the launcher's
// folder, as the Tolvar.exe shim does after it has found the launcher.
//
//   bare_launch.exe "C:\...\Tolvar.exe" --launch "C:\game folder"
#include <windows.h>

static wchar_t g_cmd[32768];

int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR args, int)
{
    lstrcpynW(g_cmd, args, 32768);
    // The working folder: the first (quoted) argument up to its last '\'.
    wchar_t folder[MAX_PATH] = L"";
    if (args[0] == L'"') {
        int end = 0;
        for (int i = 1; args[i] && args[i] != L'"' && i < MAX_PATH; i++)
            if (args[i] == L'\\')
                end = i;
        lstrcpynW(folder, args + 1, end);
    }
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(0, g_cmd, 0, 0, FALSE, 0, 0, folder[0] ? folder : 0, &si, &pi))
        return 1;
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return 0;
}
