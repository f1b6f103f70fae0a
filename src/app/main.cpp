// Entry point: picks the role of this start (shim, hand-off or setup) from
// the executable's own name and the command line, and carries it out.
#include <windows.h>

#include "app/handoff.h"
#include "app/mode.h"
#include "app/single_run.h"
#include "base/cmdline.h"
#include "base/path_exists.h"
#include "base/start_process.h"
#include "base/text.h"
#include "install/base_dir.h"
#include "install/worker.h"
#include "ui/window.h"

// System DLLs that others load by name on first use (the web, crypto and
// theme libraries). A loader that looks for those in the executable's folder
// first, as Wine's does for its own delayed imports, would take a stranger's
// copy from a Downloads folder; once loaded from System32 here, every later
// lookup by name finds these.
static void preload_system_dlls()
{
    static const wchar_t* const names[] = {
        L"version.dll", L"crypt32.dll", L"secur32.dll", L"dnsapi.dll",
        L"iphlpapi.dll", L"cryptbase.dll", L"uxtheme.dll", L"dwmapi.dll",
    };
    for (const wchar_t* name : names)
        LoadLibraryExW(name, 0, LOAD_LIBRARY_SEARCH_SYSTEM32);
}

// Shim mode: "Tolvar.exe" in a game folder. Returns the exit code, or -1 when
// the folder holds no game and the start goes on as setup.
static int run_shim(const wchar_t* exe)
{
    wchar_t folder[MAX_PATH];
    wcscpy(folder, exe);
    wchar_t* slash = wcsrchr(folder, L'\\');
    if (slash)
        *slash = 0;

    wchar_t game[MAX_PATH];
    if (!wformat(game, MAX_PATH, L"%ls\\bin\\tolvar-game.exe", folder))
        return -1;
    if (!path_exists(game))
        return -1;

    // The installed launcher learns which folder the shim stands in; the
    // user's own arguments are not passed on.
    wformat(g_cmdline, 2048, L"--launch \"%ls\"", folder);
    if (launch_installed())
        return 0;

    wchar_t cmd[264];
    wformat(cmd, 264, L"\"%ls\"", game);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (start_process(cmd, 0,
                      folder, // the folder of Tolvar.exe, not its bin folder
                      &si, &pi)) {
        CloseHandle(pi.hThread);
        CloseHandle(pi.hProcess);
        return 0;
    }
    preload_system_dlls(); // a message box loads the theme libraries
    MessageBoxW(0, L"The game in this folder could not be started. Install it again with Tolvar-Setup.exe.",
                L"Project Tolvar", MB_ICONERROR);
    return 1;
}

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR cmdline, int show)
{
    // Before any DLL is loaded on demand: from System32 only, never from the
    // executable's folder or the current folder.
    SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);
    copy_cmdline(g_cmdline, cmdline);

    wchar_t exe[MAX_PATH];
    DWORD len = GetModuleFileNameW(0, exe, MAX_PATH);
    if (len == 0 || len >= MAX_PATH)
        exe[0] = 0; // a cut path cannot tell where a shim stands

    if (exe[0] && is_shim_candidate(file_name_of(exe), g_cmdline)) {
        int code = run_shim(exe);
        if (code >= 0)
            return code;
    }

    if (wants_launch(g_cmdline) && launch_installed())
        return 0;

    // Setup loads the web, crypto and theme libraries; the shim and the
    // hand-off, which only start a program, need none of them.
    preload_system_dlls();

    // A second setup run on the same tree would fight the first over its
    // folders: it shows the running one instead. Without a base folder the
    // worker reports that; there is nothing to guard.
    wchar_t base_dir[MAX_PATH];
    if (resolve_base_dir(base_dir) && !claim_install_tree(base_dir))
        return 0;

    create_progress_window(instance);
    if (!g_win) {
        MessageBoxW(0, L"Tolvar setup could not open its window.", L"Tolvar setup", MB_ICONERROR);
        return 1;
    }
    tag_window(g_win);
    ShowWindow(g_win, show);
    HANDLE worker = CreateThread(0, 0, work, 0, 0, 0);
    if (worker)
        CloseHandle(worker);

    MSG msg;
    while (GetMessageW(&msg, 0, 0, 0) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}
