#pragma once
// Carrying a part folder over into a new version without taking it away from
// the installed one: the same files, under a second name each.

#include <windows.h>

enum link_result {
    link_done,        // every folder made, every file linked
    link_unsupported, // the volume keeps no hard links (FAT, exFAT, some network shares)
    link_failed,      // anything else: a link inside the tree, a folder or file that could not be made
};

// Recreates the folder tree at from as the new folder to (which must not
// exist yet; its parent must), with a hard link at to for every file of
// from, so that nothing of from changes and the new tree costs no space.
// Walks trees of any depth. What it made before it stopped stays at to: the
// caller removes it.
link_result link_tree(const wchar_t* from, const wchar_t* to);

// What link_tree calls to make each link; tests put a scripted one here.
typedef BOOL(WINAPI* create_hard_link_fn)(LPCWSTR link, LPCWSTR existing, LPSECURITY_ATTRIBUTES security);
extern create_hard_link_fn g_create_hard_link;
