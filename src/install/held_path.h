#pragma once
// Moving and removing what someone else may hold open for a while: a virus
// scanner looking at fresh files, a running game, the console host of a
// tar.exe that has just ended, which still has its folder as working
// directory. The one place that waits for a holder to let go; the rules of
// how long and who it likely is are in held_rules.h.

#include <windows.h>

// MoveFileExW(from, to, flags), tried again for up to five seconds while the
// source, the file it replaces or a file inside is held. 1 when the move
// was made; 0 otherwise, with GetLastError() telling why.
int move_when_free(const wchar_t* from, const wchar_t* to, DWORD flags);

// rmtree(folder), tried again for up to five seconds while something in it
// stays. 1 when nothing is left at folder, or, with may_stay_empty, when at
// most the empty folder itself is; 0 otherwise, with rmtree_left() naming
// the first thing that stayed.
int remove_when_free(const wchar_t* folder, int may_stay_empty);

// Ends the run in fail() with the message for a path that someone else
// holds: the running game when path is one of its programs, else another
// program, most likely a virus scanner. The message names path.
[[noreturn]] void fail_held(const wchar_t* path);
