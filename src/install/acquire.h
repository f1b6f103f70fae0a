#pragma once
#include "install/setup_list.h"
#include "install/tree.h"

// Puts part i (of list->count) into the staging folder: moved over from the
// installed version when it is unchanged there, else unpacked from the
// verified zip of the download cache, downloading (up to 8 attempts) and
// verifying it first when the cache has none. Ends the run in fail() when
// the part cannot be had.
void acquire_part(const install_tree* tree, const setup_list* list, int i);
