#pragma once
// Four small file routines shared by the installer and the hand-off. None
// but write_text reports a failure: the caller sees the effect, or its
// absence, on disk.

#include <windows.h>

// Creates the folder path (at most 259 characters) and every missing folder
// above it. A path that does not fit is left alone rather than cut, since
// the cut name would be another folder. Drive roots are never created.
void make_dirs(const wchar_t* path);

// Reads at most 127 bytes from the start of the file into buf (128 bytes)
// and cuts the text at the first CR or LF. A missing or unreadable file
// gives the empty text.
void read_first_line(const wchar_t* path, char* buf);

// Replaces the file with text's bytes, without terminator or newline, in
// one step: the text goes to "<path>.new", which then takes the file's
// place, waiting a little for a program that holds the file. A file that
// cannot be written is skipped: 0, with GetLastError() telling why; 1 when
// the file holds the text.
int write_text(const wchar_t* path, const char* text);

// Turns every '/' of s into '\', in place.
void to_backslashes(wchar_t* s);

