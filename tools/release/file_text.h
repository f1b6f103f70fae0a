#pragma once
// Whole files in and out.

#include <string>

// The file's bytes into *out. 0 when it cannot be read.
int read_file_text(const std::string& path, std::string* out);

// Writes text as the file at path, through a temporary file beside it that
// is renamed into place, so that a reader never sees half a file. 0 on any
// failure (no file left behind).
int write_file_text(const std::string& path, const std::string& text);
