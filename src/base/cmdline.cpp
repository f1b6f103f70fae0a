#include "base/cmdline.h"

wchar_t g_cmdline[2048]; // the user's arguments, see cmdline.h
