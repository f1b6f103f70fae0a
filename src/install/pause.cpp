#include "install/pause.h"

#include <windows.h>

void pause_seconds(int seconds)
{
    Sleep((DWORD)seconds * 1000);
}
