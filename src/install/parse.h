#pragma once
// The setup list of the run, read and held against the tag that the user
// pinned with "--tag".

#include "install/setup_list.h"

// read_setup_list plus the user's message. Reads the list text (changed in
// place) into *out and checks it against the tag that cmdline pins. Returns 1 when the run can go on with it;
// otherwise 0 with the message for the user in message (1024 wide
// characters): a list that lacks what an install needs, or one of another
// tag than the pinned one.
int check_setup_list(char* text, const wchar_t* cmdline, setup_list* out, wchar_t* message);

// The run's layer: check_setup_list with g_cmdline; ends the run through
// fail() with the message when the list cannot be used. Worker thread only.
void parse_setup_list(char* text, setup_list* out);
