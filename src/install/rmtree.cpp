#include "install/rmtree.h"

#include <string.h>
#include <wchar.h>
#include <windows.h>

#include "base/long_path.h"

// The walk runs on "\\?\" paths in one buffer that grows by "\name" on the
// way down and is cut back on the way up, so an unpacked tree deeper than
// MAX_PATH is removed like any other. The open listings form an explicit
// stack instead of recursion: a deep tree costs no thread stack.
//
// How one entry is removed is apart from the walk, below it: links and the
// handle checks are where Windows and Wine differ.

namespace {

const int long_path = long_path_size;
const int max_levels = long_path / 2; // every level adds at least "\x"
const int not_asked = -2;

// FILE_NAME_INFO with room for the longest name.
struct name_info {
    DWORD bytes;
    wchar_t name[long_path];
};

struct rm_walk {
    wchar_t path[long_path];      // the folder being listed, or the entry being handled
    int len;                      // characters in path
    HANDLE levels[max_levels];    // open listings, outermost first
    int depth;                    // listings open
    bool pending;                 // found holds the innermost listing's next entry
    WIN32_FIND_DATAW found;
    wchar_t pattern[long_path];   // "<folder>\*" for FindFirstFileW
    wchar_t folder[long_path];    // the innermost folder, for opening it
    name_info folder_name;        // name the system gives the innermost folder
    int folder_name_len;          // its characters; not_asked, or -1 when the system gave none
    name_info entry_name;         // name the system gives an opened entry
};

const DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

wchar_t g_left[long_path]; // the first entry the last rmtree could not remove, as the player knows its path

// Keeps path (a "\\?\" form) as the first entry left, unless one is kept already.
void note_left(const wchar_t* path)
{
    if (g_left[0])
        return;
    if (wcsncmp(path, L"\\\\?\\UNC\\", 8) == 0) {
        g_left[0] = L'\\';
        wcscpy(g_left + 1, path + 7);
    } else {
        wcscpy(g_left, wcsncmp(path, L"\\\\?\\", 4) == 0 ? path + 4 : path);
    }
}

// ---- Removing one entry ---------------------------------------------------

// FileDispositionInfoEx and its flags, from Windows 10 on; older systems
// refuse the class and the classic disposition is used.
const FILE_INFO_BY_HANDLE_CLASS disposition_info_ex = (FILE_INFO_BY_HANDLE_CLASS)21;
const DWORD disposition_delete = 0x1;
const DWORD disposition_posix_semantics = 0x2;
const DWORD disposition_ignore_readonly = 0x10;
struct disposition_ex {
    DWORD flags;
};

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
    int removed = 0;
    if (h != INVALID_HANDLE_VALUE) {
        FILE_ATTRIBUTE_TAG_INFO tag;
        if (GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
            (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT))
            removed = delete_through(h, tag.FileAttributes);
        CloseHandle(h);
    }
    if (!removed)
        note_left(path);
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

// The system's name for the innermost folder, asked once per folder and only
// when a file in it is to go.
int innermost_folder_name(rm_walk* w)
{
    if (w->folder_name_len != not_asked)
        return w->folder_name_len;
    w->folder_name_len = -1;
    HANDLE folder = CreateFileW(w->folder, FILE_READ_ATTRIBUTES, share_all, 0, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS, 0);
    if (folder != INVALID_HANDLE_VALUE) {
        w->folder_name_len = name_of(folder, &w->folder_name);
        CloseHandle(folder);
    }
    return w->folder_name_len;
}

// 1 when the open handle h is the entry name of the innermost folder itself
// and not a file that a link leads to (Wine shows a Unix symlink to a file as
// a plain file, and opening it opens the target): the system's name for the
// handle must be its name for the folder, a backslash and the entry's name.
// Both names come from the same query, so 8.3 names and links above the tree
// cancel out. When no name can be had, nothing is deleted.
int is_the_entry(rm_walk* w, HANDLE h, const wchar_t* name)
{
    int f = innermost_folder_name(w);
    if (f < 0)
        return 0;
    int entry_len = name_of(h, &w->entry_name);
    int name_len = (int)wcslen(name);
    const wchar_t* entry = w->entry_name.name;
    return entry_len == f + 1 + name_len && entry[f] == L'\\' && same_name(entry, w->folder_name.name, f) &&
           same_name(entry + f + 1, name, name_len);
}

// Removes the file at w->path, named name in the innermost folder.
void remove_file(rm_walk* w, const wchar_t* name, DWORD attrs)
{
    HANDLE h = CreateFileW(w->path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, share_all, 0, OPEN_EXISTING,
                           FILE_FLAG_OPEN_REPARSE_POINT, 0);
    int removed = 0;
    if (h != INVALID_HANDLE_VALUE) {
        removed = is_the_entry(w, h, name) && delete_through(h, attrs);
        CloseHandle(h);
    }
    if (!removed)
        note_left(w->path);
}

// ---- The walk -------------------------------------------------------------

bool is_dot_entry(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
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

// Appends "\name" to w->path; 0 when the entry's path would not fit whole.
int step_into(rm_walk* w, const wchar_t* name)
{
    int name_len = (int)wcslen(name);
    if (w->len + 1 + name_len >= long_path)
        return 0;
    w->path[w->len] = L'\\';
    memcpy(w->path + w->len + 1, name, (name_len + 1) * sizeof(wchar_t));
    w->len += 1 + name_len;
    return 1;
}

// Removes the empty folder at path.
void remove_folder(const wchar_t* path)
{
    if (!RemoveDirectoryW(path))
        note_left(path);
}

// Makes the real folder at w->path the innermost level of the walk. 0 when
// it cannot be listed; it is then only tried as an empty folder.
int enter_folder(rm_walk* w, DWORD attrs)
{
    // Windows keeps a read-only folder; Wine even refuses to empty one.
    if (attrs & FILE_ATTRIBUTE_READONLY)
        SetFileAttributesW(w->path, FILE_ATTRIBUTE_NORMAL);
    HANDLE find = INVALID_HANDLE_VALUE;
    if (w->depth < max_levels && w->len + 2 < long_path) {
        memcpy(w->pattern, w->path, w->len * sizeof(wchar_t));
        wcscpy(w->pattern + w->len, L"\\*");
        find = FindFirstFileW(w->pattern, &w->found);
    }
    if (find == INVALID_HANDLE_VALUE) {
        remove_folder(w->path);
        return 0;
    }
    w->levels[w->depth++] = find;
    w->pending = true;
    return 1;
}

// Handles the entry in w->found of the innermost folder, whose path w->path
// holds: a real folder becomes the innermost level, anything else is removed
// on the spot.
void remove_entry(rm_walk* w)
{
    const wchar_t* name = w->found.cFileName;
    DWORD attrs = w->found.dwFileAttributes;
    if (is_dot_entry(name))
        return;
    int folder_len = w->len;
    if (!step_into(w, name)) {
        note_left(w->path); // too deep to be named whole: it stays, and so does its folder
        return;
    }

    bool folder = (attrs & FILE_ATTRIBUTE_DIRECTORY) != 0;
    bool link = (attrs & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    if (folder && !link && enter_folder(w, attrs))
        return; // the walk goes on inside it and comes back here when it is empty
    if (folder && link)
        remove_link(w->path);
    else if (!folder)
        remove_file(w, name, attrs);
    cut_to(w, folder_len);
}

// The innermost folder's path, for the name check of its files; asked for
// again whenever the walk enters or leaves a folder.
void note_innermost(rm_walk* w)
{
    memcpy(w->folder, w->path, (w->len + 1) * sizeof(wchar_t));
    w->folder_name_len = not_asked;
}

} // namespace

const wchar_t* rmtree_left()
{
    return g_left;
}

void rmtree(const wchar_t* folder)
{
    static rm_walk w; // large; the worker is the only caller
    g_left[0] = 0;
    if (!folder || !folder[0])
        return;
    w.len = long_form(folder, w.path);
    if (!w.len) {
        note_left(folder);
        return;
    }
    DWORD attrs = GetFileAttributesW(w.path);
    if (attrs == INVALID_FILE_ATTRIBUTES)
        return;
    if (!(attrs & FILE_ATTRIBUTE_DIRECTORY)) {
        note_left(w.path); // a file where the folder should be stays
        return;
    }
    if (attrs & FILE_ATTRIBUTE_REPARSE_POINT) {
        remove_link(w.path);
        return;
    }

    w.depth = 0;
    if (enter_folder(&w, attrs))
        note_innermost(&w);
    while (w.depth > 0) {
        if (w.pending) {
            w.pending = false;
        } else if (!FindNextFileW(w.levels[w.depth - 1], &w.found)) {
            // The innermost folder is empty now, as far as it can be emptied.
            FindClose(w.levels[--w.depth]);
            remove_folder(w.path);
            cut_to_parent(&w);
            note_innermost(&w);
            continue;
        }
        int depth = w.depth;
        remove_entry(&w);
        if (w.depth > depth)
            note_innermost(&w);
    }
    // Gone from its parent's listing only once the last holder lets go.
    if (!g_left[0] && GetFileAttributesW(folder) != INVALID_FILE_ATTRIBUTES)
        note_left(folder);
}
