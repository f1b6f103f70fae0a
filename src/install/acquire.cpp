#include "install/acquire.h"

#include <string.h>
#include <windows.h>

#include "base/folder_name.h"
#include "base/path_exists.h"
#include "base/text.h"
#include "install/download.h"
#include "install/files.h"
#include "install/held_path.h"
#include "install/link_tree.h"
#include "install/moved_parts.h"
#include "install/part_rules.h"
#include "install/path_rules.h"
#include "install/rmtree.h"
#include "install/sha256.h"
#include "install/unpack.h"
#include "ui/status.h"

// 1 when parts.txt of the installed version lists sha256 as one of its
// lines, which is how it is written: a part of a list with a short or odd
// digest must not match inside another part's line.
static int listed_in(const wchar_t* parts_txt, const char* sha256)
{
    char text[8192];
    HANDLE file = CreateFileW(parts_txt, GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (file == INVALID_HANDLE_VALUE)
        return 0;
    DWORD got = 0;
    if (!ReadFile(file, text, sizeof text - 1, &got, 0))
        got = 0;
    CloseHandle(file);
    text[got] = 0;
    size_t len = strlen(sha256);
    for (const char* at = strstr(text, sha256); at; at = strstr(at + 1, sha256)) {
        int starts_line = at == text || at[-1] == '\n';
        int ends_line = at[len] == '\n' || at[len] == '\r' || at[len] == 0;
        if (starts_line && ends_line)
            return 1;
    }
    return 0;
}

// The installed version's folder of part i and its place in the staging
// folder, when the part can be carried over from there: the part has a part
// folder, current.txt names another version (a rebuild of the installed
// version itself never takes from it), and that version's parts.txt lists
// the part's digest. Whether the folders exist is the caller's question.
// installed (128 bytes) gets the installed tag, folder_utf8 (520 bytes) the
// part folder, for the record of a move.
static int carried_folders(const install_tree* tree, const setup_list* list, int i, wchar_t* old_folder,
                           wchar_t* new_folder, char* installed, char* folder_utf8)
{
    const part_entry* part = &list->parts[i];
    wchar_t folder[MAX_PATH];
    if (!part_folder(part, folder) || !part_folder_utf8(part, folder_utf8))
        return 0;
    wchar_t current[MAX_PATH];
    wformat(current, MAX_PATH, L"%ls\\current.txt", tree->versions_dir);
    read_first_line(current, installed);
    wchar_t tag[128];
    if (!installed[0] || !tag_is_safe(installed) || !utf8_to_wide(installed, tag, 128) ||
        same_folder_name(tag, tree->tag))
        return 0;
    wchar_t parts_txt[MAX_PATH];
    if (!wformat(parts_txt, MAX_PATH, L"%ls\\%ls\\parts.txt", tree->versions_dir, tag) ||
        !wformat(old_folder, MAX_PATH, L"%ls\\%ls\\%ls", tree->versions_dir, tag, folder) ||
        !wformat(new_folder, MAX_PATH, L"%ls\\%ls", tree->staging_dir, folder))
        return 0;
    return listed_in(parts_txt, part->sha256);
}

// Only a real folder is carried over: moving a link would move whatever it
// points to.
static int is_real_folder(const wchar_t* path)
{
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) &&
           !(attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

// Carries the part's folder over from the installed version when that
// version is another one and holds the part unchanged. The files get a
// second name in the staging folder (hard links), so the installed version
// stays whole whatever stops the update; only on a volume that keeps no
// hard links is the folder moved instead, written down first, so that a
// build that stops gives it back. 1 when the part is in place.
static int reuse(const install_tree* tree, const setup_list* list, int i)
{
    wchar_t old_folder[MAX_PATH];
    wchar_t new_folder[MAX_PATH];
    char installed[128];
    char folder[520];
    if (!carried_folders(tree, list, i, old_folder, new_folder, installed, folder) || !is_real_folder(old_folder))
        return 0;
    wchar_t parent[MAX_PATH];
    wcscpy(parent, new_folder);
    *wcsrchr(parent, L'\\') = 0;
    make_dirs(parent);
    link_result linked = link_tree(old_folder, new_folder);
    if (linked != link_done) {
        // Whatever the links made goes first, or the part unpacked in its
        // place would meet it: a held file there (a scanner looking at the
        // fresh names) is waited for, and ends the run if it stays.
        if (!remove_when_free(new_folder, 0))
            fail_held(rmtree_left());
        if (linked == link_failed || !note_moved_part(tree, installed, folder) || !MoveFileW(old_folder, new_folder))
            return 0;
    }
    status(L"Part %d of %d unchanged: kept from the installed version", i + 1, list->count);
    return 1;
}

void acquire_part(const install_tree* tree, const setup_list* list, int i)
{
    const part_entry* part = &list->parts[i];
    if (reuse(tree, list, i))
        return;
    wchar_t zip[MAX_PATH];
    zip_path(tree->downloads_dir, part->sha256, zip); // fits: the tree was named for the longest
    char hex[65] = "";
    if (!(path_exists(zip) && file_sha256(zip, hex) && strcmp(hex, part->sha256) == 0))
        download_part(tree, part, i, list->count, zip);
    unpack_part(i, list->count, part, tree->staging_dir, zip);
}
