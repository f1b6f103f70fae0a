#pragma once
// Which role a start of the executable takes, from its own file name and its
// command line. Free of Windows calls; the entry point does the file tests.

// Copies at most 2047 characters of src (null counts as empty) into dst,
// which holds 2048; dst is always terminated.
void copy_cmdline(wchar_t* dst, const wchar_t* src);

// The text after the last backslash of path, or path itself if it has none.
const wchar_t* file_name_of(const wchar_t* path);

// 1 when file_name is "Tolvar.exe" in any letter case and cmdline holds no
// "--" anywhere: the start may be a game folder's shim.
int is_shim_candidate(const wchar_t* file_name, const wchar_t* cmdline);

// 1 when cmdline holds "--launch" anywhere (case-sensitive substring).
int wants_launch(const wchar_t* cmdline);
