#pragma once
// The "\\?\" form of a path, which Windows takes literally and lets grow to
// 32767 characters: the tree walks use it for unpacked trees deeper than
// MAX_PATH.

// Characters of the longest "\\?\" path, terminator included.
const int long_path_size = 32768;

// Writes the absolute "\\?\" (or "\\?\UNC\") form of path into out
// (long_path_size wide characters), made absolute the way every other file
// call would see it and without a trailing backslash. Returns its length;
// 0 when it does not fit or names a drive root, which no walk may empty.
int long_form(const wchar_t* path, wchar_t* out);

// 1 when plain paths of this process may be longer than MAX_PATH: Windows 10
// from version 1607 on, with long paths on for the system and declared by
// the program's manifest. 0 everywhere else.
int long_paths_on();
