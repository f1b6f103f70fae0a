#include "install/held_path.h"

#include <wchar.h>

#include "base/path_exists.h"
#include "base/text.h"
#include "install/held_rules.h"
#include "install/rmtree.h"
#include "ui/status.h"

#define HELD_BY_GAME L"Tolvar is still running: %ls is in use. Close the game, then run the setup again."
#define HELD_BY_OTHER \
    L"%ls is in use by another program, most likely a virus scanner. Wait a minute, then run the setup " \
    L"again; if this happens every time, allow the folder in your antivirus."

int move_when_free(const wchar_t* from, const wchar_t* to, DWORD flags)
{
    for (int tries = 1;; tries++) {
        if (MoveFileExW(from, to, flags))
            return 1;
        DWORD error = GetLastError();
        int wait = is_held_error(error) ? held_wait_ms(tries) : 0;
        if (!wait) {
            SetLastError(error);
            return 0;
        }
        Sleep(wait);
    }
}

// 1 when folder names a folder with no entry in it.
static int is_empty_folder(const wchar_t* folder)
{
    wchar_t pattern[MAX_PATH];
    if (!wformat(pattern, MAX_PATH, L"%ls\\*", folder))
        return 0;
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(pattern, &found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    int empty = 1;
    do {
        if (wcscmp(found.cFileName, L".") != 0 && wcscmp(found.cFileName, L"..") != 0)
            empty = 0;
    } while (empty && FindNextFileW(find, &found));
    FindClose(find);
    return empty;
}

int remove_when_free(const wchar_t* folder, int may_stay_empty)
{
    for (int tries = 1;; tries++) {
        rmtree(folder);
        if (!path_exists(folder) || (may_stay_empty && is_empty_folder(folder)))
            return 1;
        // What stays is taken as held: a file that nobody holds goes at once.
        int wait = held_wait_ms(tries);
        if (!wait)
            return 0;
        Sleep(wait);
    }
}

void fail_held(const wchar_t* path)
{
    if (likely_holder(path) == held_by_game)
        fail(HELD_BY_GAME, path);
    fail(HELD_BY_OTHER, path);
}
