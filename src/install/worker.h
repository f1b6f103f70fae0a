#pragma once
#include <windows.h>

// The worker thread: one whole install run, from the setup list to the start
// of the game. Ends inside fail() when the run cannot go on.
DWORD WINAPI work(void* unused);
