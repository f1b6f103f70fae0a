#pragma once
// What a zip holds, read with libarchive, the library that Windows' tar.exe
// is built on: every entry's name, kind and whether its name carries the
// zip's UTF-8 flag, and whether every entry's data can be unpacked.

#include <string>
#include <vector>

struct zip_entry {
    std::string name;      // the stored name read as UTF-8; empty when it is not valid UTF-8
    std::string oem_name;  // the name as a system with the OEM code page 437 reads it
    bool flagged;          // the name reads the same whatever the code page: ASCII, or the UTF-8 flag
    bool valid_utf8;       // the name decodes as UTF-8
    bool is_dir;
    bool is_symlink;
};

struct zip_listing {
    std::vector<zip_entry> entries;  // in archive order
    std::string error;               // empty when the archive and all its data read cleanly
    std::string error_entry;         // the entry being read when error came, if any
};

// Reads the zip at path (twice: once taking names without the UTF-8 flag as
// UTF-8, once as code page 437, which libarchive does not apply to names
// that carry the flag). Returns 1 when it is a zip archive libarchive can
// open; 0 otherwise, with out->error saying why. A damaged or unreadable
// entry gives 1 with out->error set and the entries read before it.
int scan_zip(const char* path, zip_listing* out);
