#include "install/rmtree.h"

#include <string.h>
#include <wchar.h>
#include <windows.h>

// The walk runs on "\\?\" paths in one buffer that grows by "\name" on the
// way down and is cut back on the way up, so an unpacked tree deeper than
// MAX_PATH is removed like any other. The open listings form an explicit
// stack instead of recursion: a deep tree costs no thread stack.

namespace {

const int long_path = 32768;             // wide characters of a "\\?\" path, terminator included
const int max_levels = long_path / 2;    // every level adds at least "\x"
const int not_asked = -2;

// FileDispositionInfoEx and its flags, from Windows 10 on; older systems
// refuse the class and the classic disposition is used.
const FILE_INFO_BY_HANDLE_CLASS disposition_info_ex = (FILE_INFO_BY_HANDLE_CLASS)21;
const DWORD disposition_delete = 0x1;
const DWORD disposition_posix_semantics = 0x2;
const DWORD disposition_ignore_readonly = 0x10;
struct disposition_ex {
    DWORD flags;
};

// FILE_NAME_INFO with room for the longest name.
struct name_info {
    DWORD bytes;
    wchar_t name[long_path];
};

struct rm_walk {
    wchar_t path[long_path];         // the entry being handled
    int len;                         // characters in path
    HANDLE levels[max_levels];       // open listings, outermost first
    int depth;                       // listings open
    bool pending;                    // found holds the innermost listing's next entry
    WIN32_FIND_DATAW found;
    name_info folder_name;           // name the system gives the innermost folder
    int folder_name_len;             // its characters; not_asked, or -1 when the system gave none
    name_info entry_name;            // name the system gives an opened entry
};

const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool is_dot_entry(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

bool starts_with(const wchar_t* s, const wchar_t* prefix)
{
    return wcsncmp(s, prefix, wcslen(prefix)) == 0;
}

// The "\\?\" form of folder in w->path, made absolute the way every other
// file call would see it. 0 when it does not fit.
int long_form(const wchar_t* folder, rm_walk* w)
{
    wchar_t* full = w->entry_name.name;
    DWORD n = GetFullPathNameW(folder, long_path, full, 0);
    if (n == 0 || n >= (DWORD)long_path)
        return 0;
    const wchar_t* prefix = L"\\\\?\\";
    const wchar_t* rest = full;
    if (starts_with(full, L"\\\\?\\") || starts_with(full, L"\\\\.\\")) {
        prefix = L"";
    } else if (starts_with(full, L"\\\\")) {
        prefix = L"\\\\?\\UNC\\";
        rest = full + 2;
    }
    size_t prefix_len = wcslen(prefix);
    size_t rest_len = wcslen(rest);
    if (prefix_len + rest_len >= (size_t)long_path)
        return 0;
    memcpy(w->path, prefix, prefix_len * sizeof(wchar_t));
    memcpy(w->path + prefix_len, rest, (rest_len + 1) * sizeof(wchar_t));
    w->len = (int)(prefix_len + rest_len);
    // "\\?\" paths are taken literally: a trailing backslash would double
    // up in front of every name.
    while (w->len > 1 && w->path[w->len - 1] == L'\\' && w->path[w->len - 2] != L':')
        w->path[--w->len] = 0;
    // What is left with a backslash at its end is a drive root: never emptied.
    return w->path[w->len - 1] != L'\\';
}

// Deletion through an open handle, so that what was checked is what goes.
// POSIX semantics take the name away at once, even while a scanner still
// holds the file open, so that the folder above can go right after.
int delete_through(HANDLE h, DWORD attrs)
{
    disposition_ex ex = {disposition_delete | disposition_posix_semantics | disposition_ignore_readonly};
    if (SetFileInformationByHandle(h, disposition_info_ex, &ex, sizeof ex))
        return 1;
    // The classic way refuses a read-only entry.
    if (attrs & FILE_ATTRIBUTE_READONLY) {
        FILE_BASIC_INFO basic;
        memset(&basic, 0, sizeof basic); // times of 0 stay as they are
        basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
        SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic);
    }
    FILE_DISPOSITION_INFO classic = {TRUE};
    return SetFileInformationByHandle(h, FileDispositionInfo, &classic, sizeof classic);
}

// Removes the directory link at path, never what it leads to. Windows opens
// the link itself for FILE_FLAG_OPEN_REPARSE_POINT; Wine opens the target of
// a Unix symlink (and RemoveDirectoryW there would delete an empty target),
// which shows as a handle without the reparse attribute: that link stays.
void remove_link(const wchar_t* path)
{
    HANDLE h = CreateFileW(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, share_all, 0, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, 0);
    if (h == INVALID_HANDLE_VALUE)
        return;
    FILE_ATTRIBUTE_TAG_INFO tag;
    if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
        (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
        delete_through(h, tag.FileAttributes);
    CloseHandle(h);
}

// The volume-relative name of the file that h is open on; its length in
// characters, or -1 when the system gives none.
int name_of(HANDLE h, name_info* info)
{
    if (!GetFileInformationByHandleEx(h, FileNameInfo, info, sizeof *info))
        return -1;
    int len = (int)(info->bytes / sizeof(wchar_t));
    // A volume root ends in its own backslash.
    if (len > 0 && info->name[len - 1] == L'\\')
        len--;
    return len;
}

bool same_name(const wchar_t* a, const wchar_t* b, int len)
{
    return len == 0 || CompareStringOrdinal(a, len, b, len, TRUE) == CSTR_EQUAL;
}

// 1 when the open handle h is the entry name of the innermost folder itself
// and not a file that a link leads to: the system's name for the handle must
// be its name for the folder, a backslash and the entry's name. Both names
// come from the same query, so 8.3 names and links above the tree cancel
// out. When no name can be had, nothing is deleted.
int is_the_entry(rm_walk* w, HANDLE h, int folder_len, const wchar_t* name)
{
    if (w->folder_name_len == not_asked) {
        w->folder_name_len = -1;
        w->path[folder_len] = 0;
        HANDLE folder = CreateFileW(w->path, FILE_READ_ATTRIBUTES, share_all, 0, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS, 0);
        w->path[folder_len] = L'\\';
        if (folder != INVALID_HANDLE_VALUE) {
            w->folder_name_len = name_of(folder, &w->folder_name);
            CloseHandle(folder);
        }
    }
    int f = w->folder_name_len;
    if (f < 0)
        return 0;
    int entry_len = name_of(h, &w->entry_name);
    int name_len = (int)wcslen(name);
    const wchar_t* entry = w->entry_name.name;
    return entry_len == f + 1 + name_len && entry[f] == L'\\' && same_name(entry, w->folder_name.name, f) &&
           same_name(entry + f + 1, name, name_len);
}

// Removes the file at w->path, named name in the innermost folder.
void remove_file(rm_walk* w, int folder_len, const wchar_t* name, DWORD attrs)
{
    HANDLE h = CreateFileW(w->path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, share_all, 0, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, 0);
    if (h == INVALID_HANDLE_VALUE)
        return;
    if (is_the_entry(w, h, folder_len, name))
        delete_through(h, attrs);
    CloseHandle(h);
}

// Opens the listing of the real folder at w->path as the innermost level.
// 0 when it cannot be listed; the folder is then only tried as empty.
int enter_folder(rm_walk* w, DWORD attrs)
{
    // Windows keeps a read-only folder; Wine even refuses to empty one.
    if (attrs & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(w->path, FILE_ATTRIBUTE_NORMAL);
    HANDLE find = INVALID_HANDLE_VALUE;
    if (w->depth < max_levels && w->len + 2 < long_path) {
        wcscpy(w->path + w->len, L"\\*");
        find = FindFirstFileW(w->path, &w->found);
        w->path[w->len] = 0;
    }
    if (find == INVALID_HANDLE_VALUE) {
        RemoveDirectoryW(w->path);
        return 0;
    }
    w->levels[w->depth++] = find;
    w->pending = true;
    w->folder_name_len = not_asked;
    return 1;
}

void cut_to(rm_walk* w, int len)
{
    w->len = len;
    w->path[len] = 0;
}

// Cuts w->path back to the folder that holds its last entry.
void cut_to_parent(rm_walk* w)
{
    int len = w->len;
    while (len > 0 && w->path[len - 1] != L'\\')
        len--;
    cut_to(w, len > 0 ? len - 1 : 0);
}

// Handles the entry in w->found of the innermost folder, whose path w->path
// holds.
void remove_entry(rm_walk* w)
{
    const wchar_t* name = w->found.cFileName;
    DWORD attrs = w->found.dwFileAttributes;
    if (is_dot_entry(name))
        return;
    int folder_len = w->len;
    int name_len = (int)wcslen(name);
    if (folder_len + 1 + name_len >= long_path)
        return; // too deep to be named whole: it stays
    w->path[folder_len] = L'\\';
    memcpy(w->path + folder_len + 1, name, (name_len + 1) * sizeof(wchar_t));
    w->len = folder_len + 1 + name_len;

    bool folder = (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool link = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (folder && !link) {
        if (enter_folder(w, attrs))
            return; // the walk goes on inside it and cuts the path back when done
    } else if (folder) {
        remove_link(w->path);
    } else {
        remove_file(w, folder_len, name, attrs);
    }
    cut_to(w, folder_len);
}

} // namespace

void rmtree(const wchar_t* folder)
{
    static rm_walk w; // large; the worker is the only caller
    if (!folder || !folder[0] || !long_form(folder, &w))
        return;
    DWORD attrs = GetFileAttributesW(w.path);
    if (attrs == INVALID_FILE_ATTRIBUTES || !(attrs & FILE_ATTRIBUTE_DIRECTORY))
        return;
    if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) {
        remove_link(w.path);
        return;
    }

    w.depth = 0;
    enter_folder(&w, attrs);
    while (w.depth > 0) {
        if (!w.pending && !FindNextFileW(w.levels[w.depth - 1], &w.found)) {
            FindClose(w.levels[--w.depth]);
            RemoveDirectoryW(w.path);
            cut_to_parent(&w);
            w.folder_name_len = not_asked;
            continue;
        }
        w.pending = false;
        remove_entry(&w);
    }
}
