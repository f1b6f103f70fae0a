#pragma once
// The one answer to "Range: bytes=held-" that continues a file: a 206 whose
// Content-Range is "bytes held-(size-1)/size". Needs no Windows call.

#include <stdint.h>

// 1 when the zero-terminated Content-Range value says that the body is the
// rest of a file of size bytes from byte held on (0 < held < size): unit
// "bytes" (in any letter case), first byte held, last byte size - 1, total
// size, decimal digits only, no other text. 0 for anything else, a total of
// "*" and an unsatisfied range ("bytes */size") included.
int continues_at(const char* content_range, uint64_t held, uint64_t size);
