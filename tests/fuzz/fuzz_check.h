#pragma once
// A broken invariant in a fuzz target is a finding: name it and trap, so
// that libFuzzer reports the crash and keeps the input that caused it.

#include <stdio.h>
#include <string.h>

[[noreturn]] inline void fuzz_broken(const char* what, const char* file, int line)
{
    fprintf(stderr, "%s:%d: invariant broken: %s\n", file, line, what);
    __builtin_trap();
}

#define must(cond) ((cond) ? (void)0 : fuzz_broken(#cond, __FILE__, __LINE__))

// 1 when the size bytes at s hold a terminator, so that strlen stays inside.
inline bool terminated(const char* s, size_t size)
{
    return memchr(s, 0, size) != 0;
}
