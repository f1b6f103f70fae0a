#pragma once
// What Windows' tar.exe makes of a zip entry's name: the name it writes
// below the unpack folder, and every way in which that differs from the
// name stored in the zip.

#include <string>

enum entry_change {
    entry_dot_dot = 1,     // a ".." segment: tar.exe refuses the entry and the unpack fails
    entry_absolute = 2,    // a leading '/' or '\' (or \\?\ and the like): stripped
    entry_drive = 4,       // a leading drive letter such as "C:": stripped
    entry_backslash = 8,   // '\' inside: a folder separator on Windows
    entry_bad_char = 16,   // one of : * ? " < > |, written as '_'
    entry_unusable = 32,   // a segment Windows cannot keep: trailing dot or space, device name, control byte
};

struct entry_fate {
    int changes;             // entry_change bits; 0 when the entry is written as named
    std::string written;     // the name as written, '/' between folders ("" when refused)
    std::string stripped;    // what was stripped from the front
    std::string segment;     // the first unusable segment, for entry_unusable
};

// The fate of the UTF-8 entry name (non-empty).
void windows_fate(const std::string& name, entry_fate* out);
