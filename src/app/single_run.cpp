#include "app/single_run.h"

#include <stdint.h>

#include "base/text.h"

static const wchar_t g_prop[] = L"TolvarSetupTree"; // window property: the tree's key
static uint64_t g_key;                               // key of the claimed tree

// FNV-1a of the path without regard to letter case, as Windows compares
// paths. Never 0, so that 0 can mean "no key".
static uint64_t tree_key(const wchar_t* path)
{
    uint64_t h = 0xcbf29ce484222325ull;
    for (; *path; path++) {
        wchar_t c = (*path >= L'A' && *path <= L'Z') ? (wchar_t)(*path + 32) : *path;
        if (c == L'/')
            c = L'\\';
        h = (h ^ (uint64_t)c) * 0x100000001b3ull;
    }
    return h ? h : 1;
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
    uint64_t key = tree_key(base_dir);
    wchar_t name[64];
    wformat(name, 64, L"Local\\TolvarSetup-%016llx", (unsigned long long)key);
    HANDLE lock = CreateMutexW(0, FALSE, name);
    if (!lock)
        return 1; // no lock to be had: better to run than to refuse
    DWORD got = WaitForSingleObject(lock, 0);
    if (got == WAIT_OBJECT_0 || got == WAIT_ABANDONED) {
        g_key = key; // held until the process ends
        return 1;
    }
    CloseHandle(lock);
    show_other_run(key);
    return 0;
}

void tag_window(HWND win)
{
    if (g_key)
        SetPropW(win, g_prop, (HANDLE)(uintptr_t)g_key);
}
