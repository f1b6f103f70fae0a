#pragma once
#include "install/setup_list.h"
#include "install/tree.h"

// Downloads the part (i of n) into the download cache as zip (its path in
// the cache), verified against its digest: up to 8 attempts on the fixed
// schedule, every other one through the release API, each continuing what
// the temporary file "<zip>.part" already holds from an earlier attempt or
// run. Ends the run in fail() when the download gives up or the bytes are
// not the listed ones; a give-up on a failing server keeps the bytes that
// came for the next run.
void download_part(const install_tree* tree, const part_entry* part, int i, int n, const wchar_t* zip);
