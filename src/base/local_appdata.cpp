#include "base/local_appdata.h"

#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <shlobj.h>

// The shell keeps where the local application data folder is (its default
// or where it was moved to) in the user's "User Shell Folders" key, value
// "Local AppData", usually "%USERPROFILE%\AppData\Local" as REG_EXPAND_SZ:
// that value is what SHGetFolderPathW(CSIDL_LOCAL_APPDATA) itself reads and
// expands. Reading it here is one documented registry call, served by a DLL
// that every process has loaded already (the registry API set lives in
// kernelbase), where asking the shell loads shell32 and a dozen DLLs behind
// it into every start of a shim, which does nothing else that costs. What
// this road cannot take as it stands (no value, a variable the environment
// lacks, a relative or odd path, a folder that is not there) goes to the
// shell, so the answer is the shell's in every case.

static const wchar_t shell_folders[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";

// 1 when path is an existing folder, absolute ("X:\..." or "\\server\...")
// with nothing left to expand and no trailing backslash: a folder the shell
// reports alike. The shell refuses a folder that is not there.
static int plain_folder(const wchar_t* path)
{
    size_t n = wcslen(path);
    if (n < 3 || path[n - 1] == L'\\' || wcschr(path, L'%'))
        return 0;
    int drive = ((path[0] >= L'A' && path[0] <= L'Z') || (path[0] >= L'a' && path[0] <= L'z')) && path[1] == L':' &&
                path[2] == L'\\';
    int unc = path[0] == L'\\' && path[1] == L'\\' && path[2] != L'\\' && path[2] != L'?' && path[2] != L'.';
    if (!drive && !unc)
        return 0;
    DWORD attributes = GetFileAttributesW(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

// The registry road: 1 with out filled when the value gives a plain folder.
static int from_registry(wchar_t* out)
{
    wchar_t raw[MAX_PATH];
    DWORD type = 0;
    DWORD size = sizeof raw; // bytes
    if (RegGetValueW(HKEY_CURRENT_USER, shell_folders, L"Local AppData",
                     RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND, // the text as stored, with its type
                     &type, raw, &size) != ERROR_SUCCESS)
        return 0;
    if (type == REG_EXPAND_SZ) {
        DWORD n = ExpandEnvironmentStringsW(raw, out, MAX_PATH);
        if (n == 0 || n > MAX_PATH)
            return 0;
    } else {
        wcscpy(out, raw); // RegGetValueW terminates what it returns
    }
    return plain_folder(out);
}

int local_appdata(wchar_t* out)
{
    if (from_registry(out))
        return 1;
    out[0] = 0;
    if (SHGetFolderPathW(0, CSIDL_LOCAL_APPDATA, 0, 0, out) != S_OK) {
        out[0] = 0;
        return 0;
    }
    return 1;
}
