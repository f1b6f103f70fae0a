#pragma once
// The whole judgement of a release: its setup list line by line, the values
// the setup refuses, every part against its zip, a fresh install played
// through, and optionally the cost of an update from an older list.

#include <string>

#include "install/setup_list.h"

// Where the zip of part i of n is: its path, or "" when it is not at hand
// (the finder has then reported why).
typedef std::string (*zip_finder)(void* ctx, int i, int n, const part_entry* part);

struct check_request {
    std::string text;        // the setup list as published
    const char* pinned_tag;  // the tag the list must carry; null for none
    zip_finder find;
    void* ctx;
    const setup_list* old;   // the older release for the update cost; null for none
};

// Prints every finding and warning; the counts are in report.h.
void check_release(const check_request* req);

// A finder for zips that lie in one folder under the last path segment of
// their url; ctx is the folder's path (const char*).
std::string zip_in_folder(void* ctx, int i, int n, const part_entry* part);
