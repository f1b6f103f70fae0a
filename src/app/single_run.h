#pragma once
#include <windows.h>

// One setup run at a time per install tree. The lock is a named mutex held
// by the main thread for the life of the process, so it goes with a run
// that crashes or is killed, and the next run is not blocked.

// Takes the lock of base_dir. Returns 1 when this run may go on; 0 when
// another run holds it, whose window has then been brought to the front.
int claim_install_tree(const wchar_t* base_dir);

// Tags the progress window as the one working on the claimed tree, so that
// a second run can find it.
void tag_window(HWND win);
