#pragma once
// "make DIR": writes DIR/tolvar-setup.txt from DIR/tolvar-setup.in and the
// zips beside it, then checks the release as "check DIR" does.

// Returns the exit code: 0 written and clean, 1 findings (no list is left
// then), 2 when DIR/tolvar-setup.in cannot be read.
int make_release(const char* dir);
