#pragma once
#include "install/setup_list.h"
#include "install/tree.h"

// Puts part i (of list->count) into the staging folder: moved over from the
// installed version when it is unchanged there, else unpacked from the
// verified zip of the download cache, downloading (up to 8 attempts) and
// verifying it first when the cache has none. Ends the run in fail() when
// the part cannot be had.
// Before a build empties the staging folder: gives the installed version
// back every part folder that an interrupted build of this list moved out of
// it (where the volume keeps no hard links, carrying over moves), so that
// the installed version is whole again and nothing at hand is fetched anew.
void take_back_moved_parts(const install_tree* tree, const setup_list* list);

void acquire_part(const install_tree* tree, const setup_list* list, int i);
