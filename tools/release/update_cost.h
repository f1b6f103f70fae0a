#pragma once
// What an update from an older release costs players: which parts the
// setup carries over from the installed version and which it downloads.

#include "install/setup_list.h"

// Prints one line per part of now and a warning with the bytes to
// download, for players who have old installed.
void report_update(const setup_list* now, const setup_list* old);
