#include "app/single_run.h"

#include <stdint.h>

#include "base/path_exists.h"
#include "base/text.h"
#include "install/files.h"
#include "install/held_rules.h"

static const wchar_t g_prop[] = L"TolvarSetupTree"; // window property: the tree's key
static uint64_t g_key;                               // key of the claimed tree
static HANDLE g_lock;                                // setup.lock, open until the process ends

// The tree itself as a number: the volume and file index of the base
// folder, the same for every spelling of its path. Never 0, so that 0 can
// mean "no key"; 1 when the folder cannot be asked.
static uint64_t tree_key(const wchar_t* base_dir)
{
    HANDLE folder = CreateFileW(base_dir, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS /* a folder */, 0);
    if (folder == INVALID_HANDLE_VALUE)
        return 1;
    BY_HANDLE_FILE_INFORMATION info;
    uint64_t key = 1;
    if (GetFileInformationByHandle(folder, &info)) {
        uint64_t index = ((uint64_t)info.nFileIndexHigh << 32) | info.nFileIndexLow;
        key = (index * 0x100000001b3ull) ^ info.dwVolumeSerialNumber;
    }
    CloseHandle(folder);
    return key ? key : 1;
}

static void show_other_run(uint64_t key)
{
    for (HWND win = FindWindowExW(0, 0, L"TolvarSetup", 0); win; win = FindWindowExW(0, win, L"TolvarSetup", 0)) {
        if ((uint64_t)(uintptr_t)GetPropW(win, g_prop) != key)
            continue;
        if (IsIconic(win))
            ShowWindow(win, SW_RESTORE);
        SetForegroundWindow(win);
        return;
    }
}

int claim_install_tree(const wchar_t* base_dir)
{
    wchar_t lock[MAX_PATH];
    if (!wformat(lock, MAX_PATH, L"%ls\\setup.lock", base_dir))
        return 1; // a base this long is refused by the worker, with its message
    make_dirs(base_dir);
    // Gone with the process, whichever way it ends: a lock left on disk
    // would only be a file, not a lock.
    g_lock = CreateFileW(lock, GENERIC_READ | DELETE, 0 /* no sharing: this is the lock */, 0, OPEN_ALWAYS,
                         FILE_FLAG_DELETE_ON_CLOSE, 0);
    if (g_lock != INVALID_HANDLE_VALUE) {
        g_key = tree_key(base_dir); // held until the process ends
        return 1;
    }
    if (!lock_is_held(GetLastError(), path_exists(lock)))
        return 1; // no lock to be had: the worker meets the folder's fault and says so
    show_other_run(tree_key(base_dir));
    return 0;
}

void tag_window(HWND win)
{
    if (g_key)
        SetPropW(win, g_prop, (HANDLE)(uintptr_t)g_key);
}
