#pragma once
#include <windows.h>

// One setup run at a time per install tree, however its path is spelled
// (letter case, a trailing backslash, "\\?\", another drive letter for the
// same folder): the lock is the file setup.lock in the base folder, which a
// run keeps open without sharing for the life of its process. The system
// deletes it when the process ends, however it ends, so the next run is not
// blocked by a run that crashed or was killed.

// Takes the lock of base_dir, creating the folder when it is missing.
// Returns 1 when this run may go on; 0 when another run holds the lock,
// whose window has then been brought to the front.
int claim_install_tree(const wchar_t* base_dir);

// Tags the progress window as the one working on the claimed tree, so that
// a second run can find it.
void tag_window(HWND win);
