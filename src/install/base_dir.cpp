#include "install/base_dir.h"

#include <stdlib.h>
#include <windows.h>

#include "base/local_appdata.h"
#include "base/text.h"

int resolve_base_dir(wchar_t* out)
{
    out[0] = 0;
    // The local application data folder is asked for first, so a missing
    // one ends the run even when the environment names another base.
    wchar_t local[MAX_PATH];
    if (!local_appdata(local))
        return 0;
    wformat(out, MAX_PATH, L"%ls\\Tolvar", local);
    const wchar_t* override_base = _wgetenv(L"TOLVAR_SETUP_BASE");
    if (override_base && override_base[0])
        wformat(out, MAX_PATH, L"%ls", override_base);
    return 1;
}
