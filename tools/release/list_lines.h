#pragma once
// The setup list line by line: every line that the setup ignores, cuts or
// reads otherwise than it is written, and what the list lacks.

#include <stddef.h>

// Reports, as findings, every such line of the list text (len bytes, which
// may hold NUL bytes) with its line number, and a missing tag, run or part.
void check_lines(const char* text, size_t len);

// The widths that the setup reads the words of a line with, in bytes.
extern const int tag_width;
extern const int run_width;
extern const int max_parts;
