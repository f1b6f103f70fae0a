#include "install/worker.h"

#include "ui/status.h"

DWORD WINAPI work(void*)
{
    status(L"Looking for the latest Tolvar...");
    return 0;
}
