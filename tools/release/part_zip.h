#pragma once
// One part against its zip: digest and size, and every entry that Windows'
// tar.exe would refuse or write under another name.

#include <stdint.h>

#include <string>

#include "install/setup_list.h"
#include "zip_scan.h"

struct part_zip {
    bool found;           // the zip is at hand
    uint64_t size;        // its length, when found
    bool listed;          // its entries could be read
    zip_listing listing;
};

// Checks part i of n against the zip at path (empty: not at hand, which
// the caller has reported) and fills *out.
void check_part_zip(const part_entry* part, int i, int n, const std::string& path, part_zip* out);

// 1 when sha256 is 64 lower-case hex digits.
bool is_lower_hex_digest(const char* sha256);
