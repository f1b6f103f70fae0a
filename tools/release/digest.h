#pragma once
// SHA-256 and length of a file, the two numbers a setup list holds per zip.

#include <stdint.h>

// Reads the file at path whole. Returns 1 with the digest as 64 lower-case
// hex digits in hex (65 bytes) and the length in *size; 0 when the file
// cannot be opened or read (hex then empty).
int file_digest(const char* path, char hex[65], uint64_t* size);
