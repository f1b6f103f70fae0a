#pragma once
// A path that Windows' tar.exe can be given. It reads its arguments in the
// ANSI code page, where a folder named with characters outside it is lost
// or, worse, read as a look-alike ("Łukasz" as "Lukasz"). Its working
// folder, handed over as wide text, arrives intact: a path relative to it
// that holds only ASCII survives every code page. Needs no Windows call.

// Writes into out (cap wide characters) the path of file as seen from the
// folder dir: one "..\" for each of dir's components below the part the two
// share, then the rest of file. Both must be full paths with backslashes
// ("C:\...", "\\?\C:\..." or "\\server\share\..."), as GetFullPathNameW
// gives them, without a trailing backslash on dir. Components are compared
// exactly: both are made from one base folder, and a spelling that differs
// only costs a longer path. Returns the length; 0 when the two have no root
// in common, the result does not fit, or it holds a character that is not
// ASCII (out is then empty).
int relative_path(const wchar_t* dir, const wchar_t* file, wchar_t* out, int cap);
