#pragma once
// Unpacks a verified zip in-process, where Windows' tar.exe is not at hand
// (Wine, Proton, older or locked-down Windows): the same tree tar.exe
// writes, every file with its bytes and time, every folder, empty ones too.

// Unpacks zip into the existing folder dest for part i of n. Every entry's
// name is checked before anything is written; a name that would lead out of
// dest or that Windows cannot keep, a damaged or unsupported entry, or a
// file that cannot be written ends the run in fail() with a message that
// says which. Worker thread only.
void unzip_part(int i, int n, const wchar_t* zip, const wchar_t* dest);
