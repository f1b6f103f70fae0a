#pragma once
// Tests for names that a downloaded setup list puts into paths. A published
// list must not lead outside the folders it is joined to, whatever it holds.

// 1 when the zero-terminated UTF-8 tag (at most 127 bytes) can name a folder
// directly below the versions folder: not empty, not "." or "..", no trailing
// dot or space, no Windows device name (CON, NUL, COM1, LPT1, ..., also with
// an extension), no separator, colon, control byte or any of < > " | ? *.
int tag_is_safe(const char* tag);

// 1 when the zero-terminated UTF-8 path (at most 259 bytes) is relative and
// stays inside the folder it is joined to: not empty, no leading '/' or '\',
// no colon (drive letters, streams), no ".." segment ('/' and '\' both
// separate segments). "." and slashes inside are fine.
int rel_path_is_safe(const char* path);

// 1 when the zero-terminated UTF-8 name of a zip entry may be unpacked below
// a folder: relative (no leading '/' or '\'), no colon (drive letters,
// streams), no control byte or any of < > " | ? *, and every segment
// ('/' and '\' both separate) "." (which stands for nothing) or a name
// Windows keeps as written: not empty (one trailing separator marks a
// folder), no trailing dot or space (so no ".."), no device name.
int entry_name_is_safe(const char* name);

// Windows' limits on a plain path (one without "\\?\"): CreateDirectoryW
// makes no folder of 248 characters or more, and no file path may reach 260,
// unless long paths are on (the system allows them and the program says it
// copes), when both may take the 259 characters of the setup's buffers. 1
// when a path of chars characters (terminator not counted) fits, as a
// folder when is_folder is set.
int path_length_fits(unsigned long chars, int is_folder, int long_paths);
