#pragma once
// How a part of the setup list is classed for its folder in a version.

#include "install/setup_list.h"

// 1 when the part unpacks into shared ground rather than a folder of its own:
// its to is exactly "-" or its dir is exactly ".".
int part_is_tool_archive(const part_entry* part);

// The tools folder ("python", "emsdk", "cpm", "third_party" or "wgpu-native")
// that the zero-terminated url selects: the text after its last '/' (or the
// whole url) must begin with "Tolvar-<tool>-", case-sensitively; the tools
// are tried in that order. Returns a static string, or null for none.
const char* tool_for_url(const char* url);

// The part's folder relative to a version folder, as UTF-8 with '\'
// between its folders: "Tolvar\tools\<tool>" for a tool archive whose url
// selects a tool, otherwise dir, '\' and to, with every '/' turned into
// '\'. Returns 1 with it in out (520 bytes: dir and to hold at most 259
// bytes each); 0 when the part has none, out then untouched.
int part_folder_utf8(const part_entry* part, char out[520]);
