#include "install/moved_parts.h"

#include <string.h>
#include <windows.h>

#include "base/path_exists.h"
#include "base/text.h"
#include "install/files.h"
#include "install/held_path.h"
#include "install/path_rules.h"

// Sixteen lines of a tag (127 bytes), a part folder (519) and their tab and
// line feed.
static const int record_size = 16 * 648 + 1;

static int record_path(const install_tree* tree, wchar_t* out)
{
    return tree->tag[0] && wformat(out, MAX_PATH, L"%ls\\%ls.moved.txt", tree->versions_dir, tree->tag);
}

int note_moved_part(const install_tree* tree, const char* installed_tag, const char* folder)
{
    wchar_t path[MAX_PATH];
    char line[700];
    if (!record_path(tree, path) || !format(line, sizeof line, "%s\t%s\n", installed_tag, folder))
        return 0;
    HANDLE file = CreateFileW(path, FILE_APPEND_DATA, 0, 0, OPEN_ALWAYS, 0, 0);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD len = (DWORD)strlen(line);
    DWORD written = 0;
    // On disk before the folder moves: a stop right after the move must
    // find it.
    int ok = WriteFile(file, line, len, &written, 0) && written == len && FlushFileBuffers(file);
    CloseHandle(file);
    return ok;
}

static int is_real_folder(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Gives the folder of one line back to the installed version it came from,
// when that version is still there and lacks it.
static void give_back(const install_tree* tree, const char* tag_utf8, const char* folder_utf8)
{
    wchar_t tag[128];
    wchar_t folder[MAX_PATH];
    wchar_t installed[MAX_PATH];
    wchar_t old_folder[MAX_PATH];
    // The record is read from disk: it must lead nowhere but into the
    // versions folder.
    if (!tag_is_safe(tag_utf8) || !rel_path_is_safe(folder_utf8) || !utf8_to_wide(tag_utf8, tag, 128) ||
        !utf8_to_wide(folder_utf8, folder, MAX_PATH) ||
        !wformat(installed, MAX_PATH, L"%ls\\%ls", tree->versions_dir, tag) ||
        !wformat(old_folder, MAX_PATH, L"%ls\\%ls", installed, folder))
        return;
    to_backslashes(folder);
    to_backslashes(old_folder);
    if (!is_real_folder(installed) || path_exists(old_folder))
        return;
    const wchar_t* builds[] = {tree->staging_dir, tree->version_dir};
    for (const wchar_t* build : builds) {
        wchar_t moved[MAX_PATH];
        if (!wformat(moved, MAX_PATH, L"%ls\\%ls", build, folder) || !is_real_folder(moved))
            continue;
        wchar_t parent[MAX_PATH];
        wcscpy(parent, old_folder);
        *wcsrchr(parent, L'\\') = 0;
        make_dirs(parent);
        if (!move_when_free(moved, old_folder, MOVEFILE_COPY_ALLOWED /* as MoveFileW */))
            fail_held(moved);
        return;
    }
}

void take_back_moved_parts(const install_tree* tree)
{
    wchar_t path[MAX_PATH];
    if (!record_path(tree, path))
        return;
    static char text[record_size]; // the worker is the only caller
    HANDLE file = CreateFileW(path, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (file == INVALID_HANDLE_VALUE)
        return;
    DWORD got = 0;
    if (!ReadFile(file, text, record_size - 1, &got, 0))
        got = 0;
    CloseHandle(file);
    text[got] = 0;
    // A line without its line feed was cut by a stop while it was written,
    // before its folder moved.
    char* line = text;
    char* end = strchr(line, '\n');
    while (end) {
        *end = 0;
        char* tab = strchr(line, '\t');
        if (tab) {
            *tab = 0;
            give_back(tree, line, tab + 1);
        }
        line = end + 1;
        end = strchr(line, '\n');
    }
    DeleteFileW(path);
}

void forget_moved_parts(const install_tree* tree)
{
    wchar_t path[MAX_PATH];
    if (record_path(tree, path))
        DeleteFileW(path);
}
