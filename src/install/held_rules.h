#pragma once
// What the setup makes of a file or folder that someone else holds open: a
// virus scanner looking at fresh files, a running game, another setup run.
// The decisions alone, without a system call, so that they build natively.

#include <wchar.h>

// Windows error codes (winerror.h) that a move or a removal meets while
// another program has the path, or a file inside it, open.
enum {
    held_access_denied = 5,       // a running program, a folder with an open file inside
    held_sharing_violation = 32,  // opened without sharing the delete
    held_lock_violation = 33,
    held_user_mapped_file = 1224, // mapped into memory
};

// 1 when a move or removal that failed with error may work once the holder
// lets go: it is worth waiting for.
int is_held_error(unsigned long error);

// How long to wait before try number tries + 1 of a move or removal that
// the holder blocked on try number tries (counted from 1): 100 ms, and 0
// once five seconds are spent, the time a scanner takes for fresh files.
int held_wait_ms(int tries);

enum held_by {
    held_by_game,  // one of the game's programs: it is still running
    held_by_other, // anything else: most likely a virus scanner
};

// Who most likely holds the zero-terminated path: a program file (.exe or
// .dll, in any letter case) is held by the running game; anything else by
// another program, most likely a virus scanner.
held_by likely_holder(const wchar_t* path);

// The one-run lock is a file in the base folder that a run keeps open
// without sharing. 1 when a run that could not open it must take the tree
// as another run's: the file is open elsewhere (sharing violation), or it
// exists and this run may not open it (access denied: a run with other
// rights, such as an elevated one, holds it). 0 when there is no lock to be
// had at all (the folder cannot be written, the path is not there): the run
// goes on and meets the real fault where it writes.
int lock_is_held(unsigned long error, int lock_file_exists);
