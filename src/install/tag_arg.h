#pragma once
// The release tag that the user pins with "--tag <tag>" on the command line.

#include <wchar.h>

// Writes the tag that follows the first "--tag " of the zero-terminated
// cmdline (null = none) into out (128 bytes): at most 127 ASCII letters,
// digits, '-', '.' or '_', zero-terminated; empty when there is no such
// flag or the value holds any other character.
void tag_arg(const wchar_t* cmdline, char out[128]);

// 1 when tag (zero-terminated) is what tag_arg can yield, and so what
// "--tag" can pin: 1 to 127 ASCII letters, digits, '-', '.' or '_'.
int tag_can_be_pinned(const char* tag);
