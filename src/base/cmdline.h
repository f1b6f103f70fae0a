#pragma once
// The argument part of the process command line: at most 2047 characters and
// a terminator, empty when there is none. Written by the entry point before
// the worker starts; afterwards only the worker changes it (it cuts out
// "--repair"). The game and the installed launcher receive it as arguments.
extern wchar_t g_cmdline[2048];
