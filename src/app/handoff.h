#pragma once
// Starts the launcher of the version that current.txt under the user's local
// application data folder names ("Tolvar.exe" in its folder "Tolvar"), with
// g_cmdline as its arguments and its own folder as working directory, and
// does not wait for it. Returns 1 when it was started, 0 otherwise (silently,
// with nothing written). Main thread, before any window exists.
int launch_installed();
