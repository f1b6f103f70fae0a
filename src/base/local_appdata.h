#pragma once
// The user's local application data folder: the one folder under which the
// setup installs and from which the hand-off starts, so both ask here.

// Fills out (260 wide characters) with the folder, no trailing backslash.
// Returns 1 on success; 0 when the folder is unknown, out then empty.
int local_appdata(wchar_t* out);
