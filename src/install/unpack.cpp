#include "install/unpack.h"

#include <string.h>
#include <windows.h>

#include "base/relative_path.h"
#include "base/start_process.h"
#include "base/text.h"
#include "install/files.h"
#include "install/held_path.h"
#include "install/held_rules.h"
#include "install/tree.h"
#include "install/unzip.h"
#include "ui/status.h"

#define UNPACK_FAILED L"Unpacking part %d of %d failed (Windows' tar.exe). Is there enough free space on C:?"

// Runs Windows' tar.exe hidden in dest: TAR_OK when it ran and exited with
// 0, TAR_FAILED when it ran and failed, TAR_ABSENT when there is none to run
// or it could not be started. It ends with the setup, however the setup
// ends: a tar.exe left writing into the staging folder would spoil the next
// run's build there.
enum { TAR_ABSENT = -1, TAR_FAILED = 0, TAR_OK = 1 };
static int run_tar(const wchar_t* zip, const wchar_t* dest)
{
    wchar_t system[MAX_PATH];
    UINT len = GetSystemDirectoryW(system, MAX_PATH);
    if (len == 0 || len >= MAX_PATH)
        return TAR_ABSENT;
    // tar.exe reads its arguments in the ANSI code page: a user name outside
    // it would be lost or read as a look-alike folder. The destination goes
    // over as the working folder, which arrives as wide text, and the zip is
    // named relative to it, in ASCII; "-C ." then names that very folder.
    wchar_t full_dest[MAX_PATH];
    wchar_t full_zip[MAX_PATH];
    DWORD d = GetFullPathNameW(dest, MAX_PATH, full_dest, NULL);
    DWORD z = GetFullPathNameW(zip, MAX_PATH, full_zip, NULL);
    if (d == 0 || d >= MAX_PATH || z == 0 || z >= MAX_PATH)
        return TAR_ABSENT;
    if (d > 3 && full_dest[d - 1] == L'\\')
        full_dest[d - 1] = 0;
    // Each folder below the shared part costs "..\\": at most 130 of them.
    wchar_t rel[720];
    if (!relative_path(full_dest, full_zip, rel, 720))
        return TAR_ABSENT;
    wchar_t cmd[1024];
    if (!wformat(cmd, 1024, L"\"%ls\\tar.exe\" -xf \"%ls\" -C .", system, rel))
        return TAR_ABSENT;

    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESHOWWINDOW;
    si.wShowWindow = SW_HIDE;
    PROCESS_INFORMATION pi = {};
    if (!start_process_tied(cmd, CREATE_NO_WINDOW /* no console window flashes up */, dest, &si, &pi))
        return TAR_ABSENT;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 1; // a failed query counts as a failed unpack
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return code == 0 ? TAR_OK : TAR_FAILED;
}

void unpack_part(int i, int n, const part_entry* part, const wchar_t* staging_dir, const wchar_t* zip)
{
    status(L"Unpacking part %d of %d...", i + 1, n);

    wchar_t dir[MAX_PATH];
    wchar_t dest[MAX_PATH];
    int fits = utf8_to_wide(part->dir, dir, MAX_PATH);
    if (strcmp(part->dir, ".") == 0)
        fits = wformat(dest, MAX_PATH, L"%ls", staging_dir);
    else
        fits = fits && wformat(dest, MAX_PATH, L"%ls\\%ls", staging_dir, dir);
    to_backslashes(dest);
    // The folder was checked when the version was named; this only guards a cut path.
    if (!fits)
        fail(NAMES_TOO_LONG, staging_dir);
    make_dirs(dest);
    // Windows' own archiver where it is at hand; where it is not (Wine,
    // Proton, Windows before 1803, a system that blocks it), the setup
    // unpacks the zip itself. An archiver that ran and failed is not tried
    // again in-process: a damaged zip must not be hidden.
    int tar = run_tar(zip, dest);
    if (tar == TAR_ABSENT)
        unzip_part(i, n, zip, dest);
    else if (tar == TAR_FAILED)
        fail(UNPACK_FAILED, i + 1, n);

    if (strcmp(part->from, "-") == 0 || strcmp(part->to, "-") == 0)
        return;
    wchar_t from[MAX_PATH];
    wchar_t to[MAX_PATH];
    wchar_t source[MAX_PATH];
    wchar_t target[MAX_PATH];
    utf8_to_wide(part->from, from, MAX_PATH);
    utf8_to_wide(part->to, to, MAX_PATH);
    if (!wformat(source, MAX_PATH, L"%ls\\%ls", dest, from) || !wformat(target, MAX_PATH, L"%ls\\%ls", dest, to))
        fail(L"Could not set up part %d of %d (renaming %ls).", i + 1, n, from);
    // A folder of the target's name is kept as it is.
    if (GetFileAttributesW(target) != INVALID_FILE_ATTRIBUTES)
        return;
    // A scanner looks at the fresh folder's files right after they are
    // written: the rename waits for it, and blames it when it does not let go.
    if (!move_when_free(source, target, MOVEFILE_COPY_ALLOWED /* as MoveFileW */)) {
        if (is_held_error(GetLastError()))
            fail_held(source);
        fail(L"Could not set up part %d of %d (renaming %ls).", i + 1, n, from);
    }
}
