#pragma once
// What the release tool tells its user: one line per finding (something a
// player would meet as a failure or a lost file), warning (works, but costs
// players) or note, on standard output, counted for the exit code.

#include <stdio.h>

// "error: " and the formatted text, one line.
void finding(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// "warning: " and the formatted text, one line.
void warning(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
// The formatted text as it stands, one line.
void note(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

int finding_count();
int warning_count();

// "N findings, M warnings" after what, e.g. the list's path.
void print_summary(const char* what);
