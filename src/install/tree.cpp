#include "install/tree.h"

#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "base/long_path.h"
#include "base/path_exists.h"
#include "base/text.h"
#include "install/files.h"
#include "install/held_path.h"
#include "install/part_rules.h"
#include "install/path_rules.h"

// A digest has 64 hex digits; the cache's longest name adds ".zip.part".
static const int longest_cache_name = 1 + 64 + 9;

// A folder that the run makes through a plain path: Windows refuses one of
// 248 characters or more where long paths are off, and the run would then
// fail later with a message about something else (free space, unpacking).
static bool folder_fits(const wchar_t* path)
{
    return path_length_fits((unsigned long)wcslen(path), 1, long_paths_on());
}

int init_tree(const wchar_t* base_dir, install_tree* tree)
{
    memset(tree, 0, sizeof *tree);
    if (!base_dir[0] || !wformat(tree->base_dir, MAX_PATH, L"%ls", base_dir)) {
        tree->base_dir[0] = 0;
        return 0;
    }
    if (wformat(tree->downloads_dir, MAX_PATH, L"%ls\\downloads", base_dir) &&
        wformat(tree->versions_dir, MAX_PATH, L"%ls\\versions", base_dir) &&
        wcslen(tree->downloads_dir) + longest_cache_name < MAX_PATH && folder_fits(tree->downloads_dir) &&
        folder_fits(tree->versions_dir))
        return 1;
    tree->downloads_dir[0] = 0;
    tree->versions_dir[0] = 0;
    return 0;
}

// Every folder that the build makes for the part in the staging folder: the
// folder it is unpacked into (where tar.exe is started), the folder the zip
// makes and the name it gets, and the part folder that is carried over.
static bool part_folders_fit(const part_entry* part, const wchar_t* staging_dir)
{
    wchar_t dir[MAX_PATH];
    wchar_t dest[MAX_PATH];
    wchar_t name[MAX_PATH];
    wchar_t folder[MAX_PATH];
    if (!utf8_to_wide(part->dir, dir, MAX_PATH))
        return false;
    bool fits = strcmp(part->dir, ".") == 0 ? wformat(dest, MAX_PATH, L"%ls", staging_dir)
                                            : wformat(dest, MAX_PATH, L"%ls\\%ls", staging_dir, dir);
    fits = fits && folder_fits(dest);
    if (fits && strcmp(part->from, "-") != 0 && strcmp(part->to, "-") != 0) {
        const char* names[] = {part->from, part->to};
        for (const char* utf8 : names) {
            wchar_t full[MAX_PATH];
            fits = fits && utf8_to_wide(utf8, name, MAX_PATH) &&
                   wformat(full, MAX_PATH, L"%ls\\%ls", dest, name) && folder_fits(full);
        }
    }
    if (fits && part_folder(part, folder)) {
        wchar_t full[MAX_PATH];
        fits = wformat(full, MAX_PATH, L"%ls\\%ls", staging_dir, folder) && folder_fits(full);
    }
    return fits;
}

static void clear_version(install_tree* tree)
{
    tree->tag[0] = 0;
    tree->version_dir[0] = 0;
    tree->staging_dir[0] = 0;
    tree->run_path[0] = 0;
}

int name_version(const setup_list* list, install_tree* tree)
{
    clear_version(tree);
    wchar_t run[MAX_PATH];
    wchar_t later[MAX_PATH]; // paths formed later in the run, checked here once
    bool fits = tree->versions_dir[0] && utf8_to_wide(list->tag, tree->tag, 128) &&
                utf8_to_wide(list->run, run, MAX_PATH) &&
                wformat(tree->version_dir, MAX_PATH, L"%ls\\%ls", tree->versions_dir, tree->tag) &&
                wformat(tree->staging_dir, MAX_PATH, L"%ls\\%ls.part", tree->versions_dir, tree->tag) &&
                wformat(tree->run_path, MAX_PATH, L"%ls\\%ls", tree->version_dir, run) &&
                // the longest marker name as it is written, through
                // "<name>.new"; version_dir is longer than versions_dir, so
                // current.txt and previous.txt fit as well
                wformat(later, MAX_PATH, L"%ls\\installed.txt.new", tree->version_dir) &&
                wformat(later, MAX_PATH, L"%ls\\%ls", tree->staging_dir, run) &&
                // the staging folder is longer than the version folder, and
                // so is every folder in it than its place in the version
                folder_fits(tree->staging_dir);
    for (int i = 0; fits && i < list->count; i++)
        fits = part_folders_fit(&list->parts[i], tree->staging_dir);
    if (!fits) {
        clear_version(tree);
        return 0;
    }
    to_backslashes(tree->run_path);
    return 1;
}

int zip_path(const wchar_t* downloads_dir, const char* sha256, wchar_t* out)
{
    wchar_t digest[65];
    if (downloads_dir[0] && utf8_to_wide(sha256, digest, 65) && wformat(out, MAX_PATH, L"%ls\\%ls.zip", downloads_dir, digest))
        return 1;
    out[0] = 0;
    return 0;
}

int zip_temp_path(const wchar_t* zip, wchar_t* out)
{
    if (zip[0] && wformat(out, MAX_PATH, L"%ls.part", zip))
        return 1;
    out[0] = 0;
    return 0;
}

int part_folder(const part_entry* part, wchar_t* out)
{
    char folder[520];
    wchar_t wide[MAX_PATH];
    // A folder too long for a path buffer counts as none.
    if (!part_folder_utf8(part, folder) || !utf8_to_wide(folder, wide, MAX_PATH))
        return 0;
    wcscpy(out, wide);
    return 1;
}

void write_parts(const wchar_t* version_dir, const part_entry* parts, int count)
{
    wchar_t path[MAX_PATH];
    if (!version_dir[0] || !wformat(path, MAX_PATH, L"%ls\\parts.txt", version_dir))
        return;
    HANDLE file = CreateFileW(path, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    if (file == INVALID_HANDLE_VALUE)
        return;
    for (int i = 0; i < count; i++) {
        wchar_t folder[MAX_PATH];
        if (!part_folder(&parts[i], folder))
            continue;
        char line[128];
        format(line, sizeof line, "%s\n", parts[i].sha256);
        DWORD written = 0;
        WriteFile(file, line, (DWORD)strlen(line), &written, 0);
    }
    CloseHandle(file);
}

int needs_build(const install_tree* tree, int repair)
{
    if (repair)
        return 1;
    wchar_t mark[MAX_PATH];
    if (!wformat(mark, MAX_PATH, L"%ls\\installed.txt", tree->version_dir) || !path_exists(mark))
        return 1;
    return !path_exists(tree->run_path);
}

int prepare_build(const install_tree* tree)
{
    // Whatever stays in the staging folder (a second name of a program that
    // runs from the installed version, a file a scanner holds) would be
    // taken for this build's own: a part carried over onto it fails, one
    // unpacked beside it is not renamed into place. The folder itself may
    // stay, empty. This tag's version folder must go: the build takes its
    // name at the end.
    if (!remove_when_free(tree->staging_dir, 1) || !remove_when_free(tree->version_dir, 0))
        return 0;
    make_dirs(tree->staging_dir);
    return 1;
}
