#include "install/activate.h"

#include <string.h>
#include <windows.h>

#include "base/cmdline.h"
#include "base/folder_name.h"
#include "base/path_exists.h"
#include "base/start_process.h"
#include "base/text.h"
#include "install/files.h"
#include "install/held_path.h"
#include "install/held_rules.h"
#include "install/moved_parts.h"
#include "install/rmtree.h"
#include "ui/status.h"
#include "ui/window.h"

void finish_build(const install_tree* tree, const setup_list* list)
{
    wchar_t run[MAX_PATH];
    wchar_t staged_run[MAX_PATH];
    utf8_to_wide(list->run, run, MAX_PATH);
    int fits = wformat(staged_run, MAX_PATH, L"%ls\\%ls", tree->staging_dir, run);
    to_backslashes(staged_run);
    if (!fits || !path_exists(staged_run))
        fail(L"Tolvar is missing after unpacking (%ls). Your antivirus may have removed it: allow the folder "
             L"%ls and run the setup again.",
             staged_run, tree->base_dir);
    if (!move_when_free(tree->staging_dir, tree->version_dir, MOVEFILE_COPY_ALLOWED /* as MoveFileW */))
        fail(L"Could not finish installing into %ls.", tree->version_dir);

    // installed.txt says the version is whole, so it comes last: a run
    // stopped while parts.txt was written (and left it empty) finds no
    // installed.txt and builds again, instead of keeping an update from
    // carrying anything over.
    write_parts(tree->version_dir, list->parts, list->count);
    wchar_t installed[MAX_PATH];
    wformat(installed, MAX_PATH, L"%ls\\installed.txt", tree->version_dir);
    write_text(installed, list->tag);
    forget_moved_parts(tree);
}

// Makes current.txt name the version. Ends the run in fail() when it cannot
// be replaced: the version it names stays current, and must not be swept.
static void update_markers(const install_tree* tree, const char* tag)
{
    wchar_t current[MAX_PATH];
    wchar_t previous[MAX_PATH];
    wformat(current, MAX_PATH, L"%ls\\current.txt", tree->versions_dir);
    wformat(previous, MAX_PATH, L"%ls\\previous.txt", tree->versions_dir);
    char before[128];
    read_first_line(current, before);
    if (strcmp(before, tag) == 0)
        return;
    if (before[0])
        write_text(previous, before);
    if (write_text(current, tag))
        return;
    if (is_held_error(GetLastError()))
        fail_held(current);
    fail(L"Could not write to %ls.", tree->versions_dir);
}

// A version folder found under the tag in other letter case ("V1.2" for a
// list of "v1.2") is the same folder to Windows; it takes the list's name,
// so that the folder, current.txt and installed.txt all say the same. A
// folder that cannot be renamed (a game running from it) stays as it is.
static void match_letter_case(const install_tree* tree, const char* tag)
{
    WIN32_FIND_DATAW found;
    HANDLE find = FindFirstFileW(tree->version_dir, &found);
    if (find == INVALID_HANDLE_VALUE)
        return;
    FindClose(find);
    wchar_t actual[MAX_PATH];
    if (wcscmp(found.cFileName, tree->tag) == 0 ||
        !wformat(actual, MAX_PATH, L"%ls\\%ls", tree->versions_dir, found.cFileName) ||
        !MoveFileW(actual, tree->version_dir))
        return;
    wchar_t installed[MAX_PATH];
    wformat(installed, MAX_PATH, L"%ls\\installed.txt", tree->version_dir);
    write_text(installed, tag);
}

static int ends_with_gone(const wchar_t* name)
{
    size_t len = wcslen(name);
    return len >= 6 && wcscmp(name + len - 5, L".gone") == 0;
}

// Removes every folder of versions_dir but the active version's. A folder is
// first renamed to "<name>.gone", so that a folder still in use (a game
// running from it) stays whole rather than half removed, and a removal cut
// short is finished by the next sweep.
static void sweep(const install_tree* tree)
{
    wchar_t pattern[MAX_PATH];
    if (!wformat(pattern, MAX_PATH, L"%ls\\*", tree->versions_dir))
        return;
    WIN32_FIND_DATAW entry;
    HANDLE find = FindFirstFileW(pattern, &entry);
    if (find == INVALID_HANDLE_VALUE)
        return;
    do {
        if (!(entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
            continue;
        if (wcscmp(entry.cFileName, L".") == 0 || wcscmp(entry.cFileName, L"..") == 0)
            continue;
        // The file system's comparison: a folder "V1.2" is the version "v1.2".
        if (same_folder_name(entry.cFileName, tree->tag))
            continue;
        wchar_t folder[MAX_PATH];
        wchar_t gone[MAX_PATH];
        if (!wformat(folder, MAX_PATH, L"%ls\\%ls", tree->versions_dir, entry.cFileName))
            continue;
        // A link is removed as a link where the system allows it; renaming
        // it would move what it points to.
        if (ends_with_gone(entry.cFileName) || (entry.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
            rmtree(folder);
            continue;
        }
        // A scanner that looks into the folder is waited for; a game that
        // runs from it holds it for longer, and it stays for a later run.
        if (wformat(gone, MAX_PATH, L"%ls.gone", folder) &&
            move_when_free(folder, gone, MOVEFILE_COPY_ALLOWED /* as MoveFileW */))
            rmtree(gone);
    } while (FindNextFileW(find, &entry));
    FindClose(find);
}

static void start_game(const install_tree* tree)
{
    wchar_t folder[MAX_PATH];
    wcscpy(folder, tree->run_path);
    wchar_t* slash = wcsrchr(folder, L'\\');
    if (slash)
        *slash = 0;
    wchar_t cmd[4096];
    wformat(cmd, 4096, L"\"%ls\" %ls", tree->run_path, g_cmdline);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!start_process(cmd, 0, folder, &si, &pi))
        fail(L"Could not start %ls.", tree->run_path);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
}

void activate_and_start(const install_tree* tree, const setup_list* list)
{
    wchar_t parts[MAX_PATH];
    wformat(parts, MAX_PATH, L"%ls\\parts.txt", tree->version_dir);
    if (!path_exists(parts))
        write_parts(tree->version_dir, list->parts, list->count);
    match_letter_case(tree, list->tag);
    update_markers(tree, list->tag);
    forget_moved_parts(tree); // a record left by a build stopped after it took its place
    sweep(tree);
    rmtree(tree->downloads_dir);
    status(L"Starting Tolvar...");
    start_game(tree);
    PostMessageW(g_win, WM_APP_CLOSE, 0, 0);
}
