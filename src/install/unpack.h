#pragma once
#include "install/setup_list.h"

// Unpacks the verified zip of part i (of n) into its folder in staging_dir
// with Windows' own tar.exe, or in-process where there is none to start,
// then gives the folder the archive made (from) its name (to). Ends the run
// in fail() when either step fails.
void unpack_part(int i, int n, const part_entry* part, const wchar_t* staging_dir, const wchar_t* zip);
