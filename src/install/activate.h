#pragma once
#include "install/setup_list.h"
#include "install/tree.h"

// Makes the fully staged build the version folder and marks it installed.
// Ends the run in fail() when the program to start is missing or the
// staging folder cannot be moved into place.
void finish_build(const install_tree* tree, const setup_list* list);

// Makes the installed version the current one, sweeps every other version
// and the download cache away, starts the game with the user's command line
// and closes the window. Ends in fail() when current.txt cannot be made to
// name the version (nothing is then swept) or the game cannot be started.
void activate_and_start(const install_tree* tree, const setup_list* list);
