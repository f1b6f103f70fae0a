#include "install/acquire.h"

#include <string.h>
#include <windows.h>

#include "base/folder_name.h"
#include "base/path_exists.h"
#include "base/text.h"
#include "install/files.h"
#include "install/link_tree.h"
#include "install/path_rules.h"
#include "install/pause.h"
#include "install/rmtree.h"
#include "install/sha256.h"
#include "install/unpack.h"
#include "net/api_link.h"
#include "net/http.h"
#include "net/retry.h"
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
static int carried_folders(const install_tree* tree, const setup_list* list, int i, wchar_t* old_folder,
                           wchar_t* new_folder)
{
    const part_entry* part = &list->parts[i];
    wchar_t folder[MAX_PATH];
    if (!part_folder(part, folder))
        return 0;
    wchar_t current[MAX_PATH];
    char installed[128];
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

// Only a real folder is carried over or given back: moving a link would
// move whatever it points to.
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
// hard links is the folder moved instead. 1 when the part is in place.
static int reuse(const install_tree* tree, const setup_list* list, int i)
{
    wchar_t old_folder[MAX_PATH];
    wchar_t new_folder[MAX_PATH];
    if (!carried_folders(tree, list, i, old_folder, new_folder) || !is_real_folder(old_folder))
        return 0;
    wchar_t parent[MAX_PATH];
    wcscpy(parent, new_folder);
    *wcsrchr(parent, L'\\') = 0;
    make_dirs(parent);
    link_result linked = link_tree(old_folder, new_folder);
    if (linked != link_done) {
        rmtree(new_folder);
        if (linked == link_failed || !MoveFileW(old_folder, new_folder))
            return 0;
    }
    status(L"Part %d of %d unchanged: kept from the installed version", i + 1, list->count);
    return 1;
}

void take_back_moved_parts(const install_tree* tree, const setup_list* list)
{
    for (int i = 0; i < list->count; i++) {
        wchar_t old_folder[MAX_PATH];
        wchar_t new_folder[MAX_PATH];
        if (carried_folders(tree, list, i, old_folder, new_folder) && !path_exists(old_folder) &&
            is_real_folder(new_folder))
            MoveFileW(new_folder, old_folder);
    }
}

// Downloads the part into the cache as zip, verified. Ends in fail() when
// the download gives up or the bytes are not the listed ones.
static void download(const install_tree* tree, const part_entry* part, int i, int n, const wchar_t* zip)
{
    wchar_t temp[MAX_PATH];
    zip_temp_path(zip, temp);
    char hex[65];
    for (int j = 0; j < 8; j++) {
        if (j > 0) {
            status(L"Part %d of %d: GitHub didn't answer (%lu). Trying again in %d s...", i + 1, n,
                   (unsigned long)g_http_status, waits[j - 1]);
            pause_seconds(waits[j - 1]);
        }
        status(L"Downloading part %d of %d (%llu MB)...", i + 1, n, (unsigned long long)(part->size >> 20));

        file_ctx ctx = {};
        ctx.file = CreateFileW(temp, GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, 0);
        if (ctx.file == INVALID_HANDLE_VALUE)
            fail(L"Could not write to %ls.", tree->downloads_dir);
        sha256_hash h;
        if (!sha256_begin(&h)) {
            // Without a hash nothing could be verified; no attempt can help.
            CloseHandle(ctx.file);
            DeleteFileW(temp);
            fail(L"Downloading part %d of %d failed. Check your connection and free space, then try again.",
                 i + 1, n);
        }
        ctx.hash = h.hash;

        g_http_status = 0;
        char api[1024];
        int ok;
        if ((j & 1) && api_link_for(part->url, api))
            ok = http_get(api, file_sink, &ctx, part->size, L"application/octet-stream");
        else
            ok = http_get(part->url, file_sink, &ctx, part->size, 0);

        CloseHandle(ctx.file);
        sha256_end(&h, hex);
        g_percent.exchange(-1);
        if (ok)
            break;
        if (ctx.write_failed) {
            // A full disk stays full: trying again would only blame GitHub.
            DeleteFileW(temp);
            fail(L"Could not write to %ls.", tree->downloads_dir);
        }
        if (is_retryable(g_http_status) && j < 7)
            continue;
        DeleteFileW(temp);
        if (is_retryable(g_http_status))
            fail(L"Downloading part %d of %d failed: GitHub's download servers are failing right now (tried 8 "
                 L"times over 3 minutes). This is on GitHub's side. The parts already downloaded are kept: run "
                 L"Tolvar-Setup.exe again in a few minutes and it carries on from here.",
                 i + 1, n);
        fail(L"Downloading part %d of %d failed. Check your connection and free space, then try again.", i + 1, n);
    }

    if (strcmp(hex, part->sha256) != 0) {
        DeleteFileW(temp);
        fail(L"Part %d of %d did not download correctly (its checksum differs). Try again.", i + 1, n);
    }
    // In one step, so that a kill never loses the verified download. A stale
    // zip of that name that cannot be replaced (a scanner holding it) must
    // not be unpacked in its place: it has just failed its checksum.
    if (!move_when_free(temp, zip, MOVEFILE_REPLACE_EXISTING))
        fail(L"Could not write to %ls.", tree->downloads_dir);
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
        download(tree, part, i, list->count, zip);
    unpack_part(i, list->count, part, tree->staging_dir, zip);
}
