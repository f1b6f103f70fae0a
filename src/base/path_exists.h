#pragma once
// Whether something, file or folder, is at a path: the one existence test of
// the installer and the hand-off.

// 1 when GetFileAttributesW finds the path, whatever it is; 0 when it is
// missing or cannot be looked at.
int path_exists(const wchar_t* path);
