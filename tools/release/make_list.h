#pragma once
// "make DIR [--sign KEY]": writes DIR/tolvar-setup.txt from
// DIR/tolvar-setup.in and the zips beside it, then checks the release as
// "check DIR" does; with a key, signs the list into DIR/tolvar-setup.txt.sig.

// sign_key: the path of the publisher's private key, or null. Returns the
// exit code: 0 written (and signed) and clean, 1 findings (no list and no
// signature are left then), 2 when DIR/tolvar-setup.in or the key cannot be
// read, or the list or its signature cannot be written.
int make_release(const char* dir, const char* sign_key);
