#pragma once
// Folder names compared the way the file system compares them: "V1.2" and
// "v1.2" are one folder on Windows, so code that asks "is this the version's
// folder?" must not answer no.

// 1 when the two zero-terminated names are equal without regard to letter
// case (ordinal, as NTFS compares names).
int same_folder_name(const wchar_t* a, const wchar_t* b);
