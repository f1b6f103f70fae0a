#include "install/unzip.h"

#include <string.h>
#include <windows.h>

#include "base/long_path.h"
#include "base/utf8.h"
#include "install/path_rules.h"
#include "install/zip_reader.h"
#include "install/zip_stream.h"
#include "ui/status.h"

#define UNZIP_DAMAGED L"Part %d of %d could not be unpacked: its zip is damaged (%ls). Tell the game's publisher."
#define UNZIP_UNSUPPORTED \
    L"Part %d of %d could not be unpacked: its zip stores %ls in a way this setup cannot read. Tell the game's publisher."
#define UNZIP_UNSAFE \
    L"Part %d of %d was not unpacked: its zip holds the name %ls, which would land outside its folder or which " \
    L"Windows cannot use. Tell the game's publisher."
#define UNZIP_DISK_FULL L"Unpacking part %d of %d failed: the disk is full. Free some space on %ls and run the setup again."
#define UNZIP_NOT_WRITTEN \
    L"Unpacking part %d of %d failed: could not write %ls. Run the setup again; if this lasts, allow the folder " \
    L"in your antivirus."

static zip_dir g_dir;                  // the archive being unpacked
static zip_item g_item;                // its current entry
static wchar_t g_name[zip_name_size];  // that entry's name, decoded
static wchar_t g_path[long_path_size]; // the long form of the file or folder it makes
static wchar_t g_made[long_path_size]; // the last folder known to exist, so siblings skip the walk
static int g_root_len;                 // characters of dest's long form at the start of g_path
static DWORD g_error;                  // what the last failed file call said

static int read_zip(void* ctx, uint64_t offset, void* buf, size_t len)
{
    HANDLE file = *(HANDLE*)ctx;
    unsigned char* p = (unsigned char*)buf;
    while (len > 0) {
        OVERLAPPED at = {};
        at.Offset = (DWORD)offset;
        at.OffsetHigh = (DWORD)(offset >> 32);
        DWORD want = len < 0x40000000 ? (DWORD)len : 0x40000000;
        DWORD got = 0;
        if (!ReadFile(file, p, want, &got, &at) || got == 0)
            return 0;
        p += got;
        len -= got;
        offset += got;
    }
    return 1;
}

static int write_file(void* ctx, const unsigned char* data, size_t len)
{
    HANDLE file = *(HANDLE*)ctx;
    // A disk that fills up takes part of a write; the next one says why.
    while (len > 0) {
        DWORD done = 0;
        if (!WriteFile(file, data, (DWORD)len, &done, NULL)) {
            g_error = GetLastError();
            return 0;
        }
        if (done == 0) {
            g_error = ERROR_DISK_FULL; // no room for a single byte more
            return 0;
        }
        data += done;
        len -= done;
    }
    return 1;
}

// Decodes the entry's name as tar.exe does (UTF-8 when the archive says so,
// else the OEM code page) into g_name, and its full path into g_path.
// 1 when the name is safe to unpack and the path fits.
static int name_entry()
{
    g_name[0] = 0;
    UINT code_page = g_item.utf8 ? CP_UTF8 : CP_OEMCP;
    int len = MultiByteToWideChar(code_page, 0, g_item.name, -1, g_name, zip_name_size);
    if (len == 0) {
        g_name[0] = 0;
        return 0;
    }
    if (g_item.utf8 && !utf8_is_valid(g_item.name))
        return 0;
    // The rule reads UTF-8, whatever the archive's own encoding was.
    char utf8[zip_name_size * 3];
    if (!WideCharToMultiByte(CP_UTF8, 0, g_name, -1, utf8, sizeof utf8, NULL, NULL) || !entry_name_is_safe(utf8))
        return 0;
    // Each segment but "." (and the empty one after a folder's trailing
    // separator) joins the path, behind a backslash.
    int at = g_root_len;
    const wchar_t* seg = g_name;
    for (const wchar_t* p = g_name;; p++) {
        if (*p && *p != L'/' && *p != L'\\')
            continue;
        int seg_len = (int)(p - seg);
        if (seg_len > 0 && !(seg_len == 1 && seg[0] == L'.')) {
            if (at + 1 + seg_len >= long_path_size)
                return 0;
            g_path[at++] = L'\\';
            memcpy(g_path + at, seg, seg_len * sizeof(wchar_t));
            at += seg_len;
        }
        if (!*p)
            break;
        seg = p + 1;
    }
    g_path[at] = 0;
    // Only a folder entry may stand for the destination itself ("./").
    return at > g_root_len || g_item.kind == ZIP_FOLDER;
}

// Creates every folder of g_path below the destination, up to (not with)
// its last component unless whole is set. 0 when one cannot be made.
static int make_folders(int whole)
{
    int end = (int)wcslen(g_path);
    if (!whole) {
        while (end > g_root_len && g_path[end] != L'\\')
            end--;
    }
    if (end <= g_root_len)
        return 1;
    if (wcsncmp(g_path, g_made, end) == 0 && (g_made[end] == 0 || g_made[end] == L'\\'))
        return 1;
    for (int k = g_root_len + 1; k <= end; k++) {
        if (k < end && g_path[k] != L'\\')
            continue;
        wchar_t keep = g_path[k];
        g_path[k] = 0;
        int made = CreateDirectoryW(g_path, NULL);
        if (!made) {
            g_error = GetLastError();
            DWORD attributes = GetFileAttributesW(g_path);
            made = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
        }
        if (made)
            memcpy(g_made, g_path, (k + 1) * sizeof(wchar_t));
        g_path[k] = keep;
        if (!made)
            return 0;
    }
    return 1;
}

// The entry's modification time: the extended time field's, else the
// MS-DOS time, which is local time. 0 when it holds no valid date.
static int entry_time(FILETIME* out)
{
    ULARGE_INTEGER t;
    if (g_item.has_unix_time) {
        t.QuadPart = (ULONGLONG)(g_item.unix_time * 10000000LL + 116444736000000000LL);
        out->dwLowDateTime = t.LowPart;
        out->dwHighDateTime = t.HighPart;
        return 1;
    }
    SYSTEMTIME local = {};
    local.wYear = (WORD)(1980 + (g_item.dos_time >> 25));
    local.wMonth = (WORD)((g_item.dos_time >> 21) & 15);
    local.wDay = (WORD)((g_item.dos_time >> 16) & 31);
    local.wHour = (WORD)((g_item.dos_time >> 11) & 31);
    local.wMinute = (WORD)((g_item.dos_time >> 5) & 63);
    local.wSecond = (WORD)((g_item.dos_time & 31) * 2);
    SYSTEMTIME utc;
    FILETIME check;
    return SystemTimeToFileTime(&local, &check) && TzSpecificLocalTimeToSystemTime(NULL, &local, &utc) &&
           SystemTimeToFileTime(&utc, out);
}

// Writes the current entry as a new file at g_path.
static int write_entry()
{
    uint64_t start;
    int r = zip_data_start(&g_dir, &g_item, &start);
    if (r != ZIP_OK)
        return r;
    if (!make_folders(0))
        return ZIP_WRITE_FAILED;
    DWORD attributes = g_item.read_only ? FILE_ATTRIBUTE_READONLY : FILE_ATTRIBUTE_NORMAL;
    HANDLE file = CreateFileW(g_path, GENERIC_WRITE, 0, NULL, CREATE_NEW, attributes, NULL);
    if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
        // A file that is there already is replaced, never written through:
        // it may be a second name of a file of the installed version.
        SetFileAttributesW(g_path, FILE_ATTRIBUTE_NORMAL);
        DeleteFileW(g_path);
        file = CreateFileW(g_path, GENERIC_WRITE, 0, NULL, CREATE_NEW, attributes, NULL);
    }
    if (file == INVALID_HANDLE_VALUE) {
        g_error = GetLastError();
        return ZIP_WRITE_FAILED;
    }
    r = zip_unpack(&g_dir.in, &g_item, start, write_file, &file);
    FILETIME time;
    if (r == ZIP_OK && entry_time(&time))
        SetFileTime(file, NULL, NULL, &time);
    CloseHandle(file);
    return r;
}

// Gives each folder entry its recorded time, once nothing more is written
// into it: a file made inside would move the time on.
static void time_folders()
{
    while (zip_next(&g_dir, &g_item) == ZIP_OK) {
        uint64_t start;
        FILETIME time;
        if (g_item.kind != ZIP_FOLDER || !name_entry() || g_path[g_root_len] == 0 ||
            zip_data_start(&g_dir, &g_item, &start) != ZIP_OK || !entry_time(&time))
            continue;
        HANDLE folder = CreateFileW(g_path, FILE_WRITE_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    NULL, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, NULL);
        if (folder == INVALID_HANDLE_VALUE)
            continue;
        SetFileTime(folder, NULL, NULL, &time);
        CloseHandle(folder);
    }
}

// g_path as the player knows it, without the "\\?\" of its long form.
static const wchar_t* shown_path()
{
    if (wcsncmp(g_path, L"\\\\?\\UNC\\", 8) == 0) {
        g_path[6] = L'\\';
        return g_path + 6;
    }
    return wcsncmp(g_path, L"\\\\?\\", 4) == 0 ? g_path + 4 : g_path;
}

[[noreturn]] static void fail_entry(int i, int n, int r, const wchar_t* zip)
{
    const wchar_t* what = g_name[0] ? g_name : zip;
    if (r == ZIP_UNSUPPORTED)
        fail(UNZIP_UNSUPPORTED, i + 1, n, what);
    if (r == ZIP_DAMAGED)
        fail(UNZIP_DAMAGED, i + 1, n, what);
    if (g_error == ERROR_DISK_FULL || g_error == ERROR_HANDLE_DISK_FULL) {
        wchar_t drive[3] = {g_path[4], L':', 0};
        fail(UNZIP_DISK_FULL, i + 1, n, g_path[5] == L':' ? drive : shown_path());
    }
    fail(UNZIP_NOT_WRITTEN, i + 1, n, shown_path());
}

void unzip_part(int i, int n, const wchar_t* zip, const wchar_t* dest)
{
    HANDLE file = CreateFileW(zip, GENERIC_READ, FILE_SHARE_READ, NULL, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, NULL);
    LARGE_INTEGER size;
    g_name[0] = 0;
    if (file == INVALID_HANDLE_VALUE || !GetFileSizeEx(file, &size))
        fail_entry(i, n, ZIP_DAMAGED, zip);
    zip_input in = {read_zip, &file, (uint64_t)size.QuadPart};
    g_root_len = long_form(dest, g_path);
    g_made[0] = 0;
    if (g_root_len == 0)
        fail(UNZIP_NOT_WRITTEN, i + 1, n, dest);

    // Every entry is judged before the first byte is written, so that a
    // refused archive leaves nothing of itself behind.
    int r = zip_open(&g_dir, &in);
    while (r == ZIP_OK && (r = zip_next(&g_dir, &g_item)) == ZIP_OK) {
        if (!name_entry())
            fail(UNZIP_UNSAFE, i + 1, n, g_name);
        if (g_item.kind == ZIP_LINK || g_item.kind == ZIP_OTHER || g_item.encrypted ||
            (g_item.kind == ZIP_FILE && g_item.method != 0 && g_item.method != 8))
            r = ZIP_UNSUPPORTED;
    }
    if (r != ZIP_END)
        fail_entry(i, n, r, zip);

    int folders = 0;
    zip_open(&g_dir, &in);
    while ((r = zip_next(&g_dir, &g_item)) == ZIP_OK) {
        name_entry();
        if (g_item.kind == ZIP_FOLDER) {
            folders = 1;
            r = make_folders(1) ? ZIP_OK : ZIP_WRITE_FAILED;
        } else {
            r = write_entry();
        }
        if (r != ZIP_OK)
            fail_entry(i, n, r, zip);
    }
    if (folders) {
        zip_open(&g_dir, &in);
        time_folders();
    }
    CloseHandle(file);
}
