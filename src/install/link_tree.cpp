#include "install/link_tree.h"

#include <string.h>
#include <wchar.h>

#include "base/long_path.h"

create_hard_link_fn g_create_hard_link = CreateHardLinkW;

// Both trees are walked on "\\?\" paths in two buffers that grow by "\name"
// on the way down and are cut back on the way up; the open listings form an
// explicit stack, as in rmtree.

namespace {

const int max_levels = long_path_size / 2; // every level adds at least "\x"

struct link_walk {
    wchar_t from[long_path_size];    // the entry of the old tree being handled
    wchar_t to[long_path_size];      // its place in the new tree
    wchar_t pattern[long_path_size]; // "<folder>\*" for FindFirstFileW
    int from_len;
    int to_len;
    HANDLE levels[max_levels];       // open listings, outermost first
    int depth;
    WIN32_FIND_DATAW found;
};

bool is_dot_entry(const wchar_t* name)
{
    return name[0] == L'.' && (name[1] == 0 || (name[1] == L'.' && name[2] == 0));
}

// Appends "\name" to path (of len characters); 0 when it would not fit.
int append_name(wchar_t* path, int* len, const wchar_t* name)
{
    int name_len = (int)wcslen(name);
    if (*len + 1 + name_len >= long_path_size)
        return 0;
    path[*len] = L'\\';
    memcpy(path + *len + 1, name, (name_len + 1) * sizeof(wchar_t));
    *len += 1 + name_len;
    return 1;
}

void cut_back(wchar_t* path, int* len)
{
    while (*len > 0 && path[*len - 1] != L'\\')
        (*len)--;
    if (*len > 0)
        (*len)--;
    path[*len] = 0;
}

// Makes the folder at w->to and opens the listing of w->from as the
// innermost level; the first entry is then in w->found.
int enter(link_walk* w)
{
    if (!CreateDirectoryW(w->to, 0) || w->depth == max_levels || w->from_len + 2 >= long_path_size)
        return 0;
    memcpy(w->pattern, w->from, w->from_len * sizeof(wchar_t));
    wcscpy(w->pattern + w->from_len, L"\\*");
    HANDLE find = FindFirstFileW(w->pattern, &w->found);
    if (find == INVALID_HANDLE_VALUE)
        return 0;
    w->levels[w->depth++] = find;
    return 1;
}

// The volume keeps no hard links at all, as opposed to this one file.
bool links_unsupported(DWORD error)
{
    return error == ERROR_INVALID_FUNCTION || error == ERROR_NOT_SUPPORTED || error == ERROR_NOT_SAME_DEVICE;
}

void close_all(link_walk* w)
{
    while (w->depth > 0)
        FindClose(w->levels[--w->depth]);
}

} // namespace

link_result link_tree(const wchar_t* from, const wchar_t* to)
{
    static link_walk w; // large; the worker is the only caller
    w.depth = 0;
    w.from_len = long_form(from, w.from);
    w.to_len = long_form(to, w.to);
    if (!w.from_len || !w.to_len || !enter(&w))
        return link_failed;
    bool next_pending = true; // w.found holds an entry not looked at yet
    for (;;) {
        if (!next_pending && !FindNextFileW(w.levels[w.depth - 1], &w.found)) {
            FindClose(w.levels[--w.depth]);
            if (w.depth == 0)
                return link_done;
            cut_back(w.from, &w.from_len);
            cut_back(w.to, &w.to_len);
            continue;
        }
        next_pending = false;
        const wchar_t* name = w.found.cFileName;
        DWORD attrs = w.found.dwFileAttributes;
        if (is_dot_entry(name))
            continue;
        // A link's second name would lead wherever the link leads: such a
        // tree is not carried over at all.
        if ((attrs & FILE_ATTRIBUTE_REPARSE_POINT) || !append_name(w.from, &w.from_len, name) ||
            !append_name(w.to, &w.to_len, name)) {
            close_all(&w);
            return link_failed;
        }
        if (attrs & FILE_ATTRIBUTE_DIRECTORY) {
            if (!enter(&w)) {
                close_all(&w);
                return link_failed;
            }
            next_pending = true;
            continue;
        }
        if (!g_create_hard_link(w.to, w.from, 0)) {
            DWORD error = GetLastError();
            close_all(&w);
            return links_unsupported(error) ? link_unsupported : link_failed;
        }
        cut_back(w.from, &w.from_len);
        cut_back(w.to, &w.to_len);
    }
}
