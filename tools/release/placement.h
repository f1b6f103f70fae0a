#pragma once
// A fresh install of the release, played through on paper: every part's
// zip unpacked into its folder and renamed as the list says, in list
// order, on a file system that compares names as Windows does. Reports
// renames that fail or do nothing, a run file that no part brings, part
// folders that two parts share, parts that place files outside their part
// folder, and (as warnings) parts without a part folder.

#include <vector>

#include "install/setup_list.h"
#include "part_zip.h"

// zips holds one entry per part of list, from check_part_zip.
void check_placement(const setup_list* list, const std::vector<part_zip>& zips);
