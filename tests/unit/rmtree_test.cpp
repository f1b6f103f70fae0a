// rmtree on the real file system under Wine: what it must remove, and what
// it must leave alone, links and their targets above all.
//
// Directory links: Windows makes junctions without any privilege. Wine makes
// none (CreateSymbolicLinkW there succeeds without doing anything), but it
// shows a Unix symlink as a directory link, and a Windows program can start
// a Unix program by its path: /bin/ln makes the links here. Wine hands back
// no process handle for a Unix program, so the fixture waits for the link
// to show up instead.
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>
#include <winioctl.h>

#include <functional>
#include <string>

#include "install/rmtree.h"

namespace {

std::wstring scratch(const wchar_t* name)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + L"tolvar-unit-rmtree-" + name + L"-" + std::to_wstring(GetCurrentProcessId());
}

// Fixture paths may be longer than MAX_PATH.
std::wstring whole(const std::wstring& path)
{
    return L"\\\\?\\" + path;
}

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(whole(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void mkdir(const std::wstring& path, DWORD attrs = 0)
{
    ASSERT_TRUE(CreateDirectoryW(whole(path).c_str(), 0)) << "cannot create the fixture folder";
    if (attrs)
        SetFileAttributesW(whole(path).c_str(), attrs);
}

void put(const std::wstring& path, const char* text, DWORD attrs = 0)
{
    HANDLE f = CreateFileW(whole(path).c_str(), GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    ASSERT_NE(f, INVALID_HANDLE_VALUE) << "cannot create the fixture file";
    DWORD w = 0;
    WriteFile(f, text, (DWORD)strlen(text), &w, 0);
    CloseHandle(f);
    if (attrs)
        SetFileAttributesW(whole(path).c_str(), attrs);
}

std::string get(const std::wstring& path)
{
    HANDLE f = CreateFileW(whole(path).c_str(), GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (f == INVALID_HANDLE_VALUE)
        return "<missing>";
    char buf[256];
    DWORD got = 0;
    ReadFile(f, buf, sizeof buf, &got, 0);
    CloseHandle(f);
    return std::string(buf, got);
}

bool wait_for(const std::function<bool()>& done)
{
    for (int i = 0; i < 200; i++) {
        if (done())
            return true;
        Sleep(50);
    }
    return false;
}

// Wine's own exports; null on Windows.
template <typename fn> fn wine_export(const char* name)
{
    return (fn)GetProcAddress(GetModuleHandleW(L"kernel32.dll"), name);
}

std::string unix_name(const std::wstring& path)
{
    auto to_unix = wine_export<char*(CDECL*)(const wchar_t*)>("wine_get_unix_file_name");
    char* name = to_unix(path.c_str());
    std::string result = name ? name : "";
    HeapFree(GetProcessHeap(), 0, name);
    return result;
}

// Starts /bin/<program> with the arguments under Wine; false elsewhere.
bool start_unix(const char* program, const std::string& args)
{
    auto to_dos = wine_export<wchar_t*(CDECL*)(const char*)>("wine_get_dos_file_name");
    if (!to_dos || !wine_export<void*>("wine_get_unix_file_name"))
        return false;
    wchar_t* exe = to_dos((std::string("/bin/") + program).c_str());
    std::string line = std::string(program) + " " + args;
    std::wstring cmd(line.begin(), line.end());
    STARTUPINFOW si = {sizeof si};
    PROCESS_INFORMATION pi = {};
    BOOL started = CreateProcessW(exe, &cmd[0], 0, 0, FALSE, 0, 0, 0, &si, &pi);
    HeapFree(GetProcessHeap(), 0, exe);
    if (pi.hThread)
        CloseHandle(pi.hThread);
    if (pi.hProcess)
        CloseHandle(pi.hProcess);
    return started;
}

std::string quoted(const std::wstring& path)
{
    return "\"" + unix_name(path) + "\"";
}

bool unix_symlink(const std::wstring& link, const std::wstring& target)
{
    return start_unix("ln", "-sn " + quoted(target) + " " + quoted(link)) && wait_for([&] { return exists(link); });
}

bool make_junction(const std::wstring& link, const std::wstring& target)
{
    if (!CreateDirectoryW(link.c_str(), 0))
        return false;
    HANDLE h = CreateFileW(link.c_str(), GENERIC_WRITE, 0, 0, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, 0);
    // A mount point reparse buffer: substitute name "\??\<target>", empty print name.
    std::wstring sub = L"\\??\\" + target;
    WORD sub_bytes = (WORD)(sub.size() * sizeof(wchar_t));
    struct {
        DWORD tag;
        WORD data_len, reserved, sub_offset, sub_len, print_offset, print_len;
        wchar_t names[MAX_PATH + 8];
    } buf = {};
    buf.tag = IO_REPARSE_TAG_MOUNT_POINT;
    buf.sub_len = sub_bytes;
    buf.print_offset = (WORD)(sub_bytes + sizeof(wchar_t));
    memcpy(buf.names, sub.c_str(), sub_bytes);
    buf.data_len = (WORD)(8 + sub_bytes + 2 * sizeof(wchar_t));
    DWORD got = 0;
    BOOL made = h != INVALID_HANDLE_VALUE &&
                DeviceIoControl(h, FSCTL_SET_REPARSE_POINT, &buf, buf.data_len + 8, 0, 0, &got, 0);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    if (!made)
        RemoveDirectoryW(link.c_str());
    return made;
}

bool make_dir_link(const std::wstring& link, const std::wstring& target)
{
    return make_junction(link, target) || unix_symlink(link, target);
}

bool make_file_link(const std::wstring& link, const std::wstring& target)
{
    const DWORD unprivileged = 0x2; // developer mode on Windows 10 and later
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), unprivileged) && exists(link))
        return true;
    return unix_symlink(link, target);
}

// True for a link that the system can open as the link itself, which a
// program can remove without touching its target (Windows). Wine opens the
// target of a Unix symlink instead.
bool is_windows_link(const std::wstring& link)
{
    HANDLE h = CreateFileW(link.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, 0);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    FILE_ATTRIBUTE_TAG_INFO tag = {};
    bool link_itself = GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
                       (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT);
    CloseHandle(h);
    return link_itself;
}

// Cleanup of a link that a test left: Windows removes links as links; under
// Wine only a Unix program can, and rm without -r removes just the link.
void drop_link(const std::wstring& link)
{
    if (!exists(link))
        return;
    if (is_windows_link(link)) {
        if (!RemoveDirectoryW(link.c_str()))
            DeleteFileW(link.c_str());
        return;
    }
    if (start_unix("rm", "-f " + quoted(link)))
        wait_for([&] { return !exists(link); });
}

} // namespace

TEST(rmtree, removes_read_only_files_and_hidden_and_nested_folders)
{
    std::wstring root = scratch(L"plain");
    mkdir(root);
    put(root + L"\\readonly.txt", "r", FILE_ATTRIBUTE_READONLY);
    mkdir(root + L"\\.hidden", FILE_ATTRIBUTE_HIDDEN);
    put(root + L"\\.hidden\\inside.txt", "h", FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM);
    mkdir(root + L"\\nested");
    mkdir(root + L"\\nested\\a", FILE_ATTRIBUTE_READONLY);
    mkdir(root + L"\\nested\\a\\b");
    put(root + L"\\nested\\a\\b\\file.txt", "f", FILE_ATTRIBUTE_READONLY);

    rmtree(root.c_str());

    EXPECT_FALSE(exists(root));
}

TEST(rmtree, removes_a_tree_deeper_than_max_path)
{
    std::wstring root = scratch(L"deep");
    mkdir(root);
    std::wstring path = root;
    for (int level = 0; level < 12; level++) {
        path += L"\\" + std::wstring(40, (wchar_t)(L'a' + level));
        mkdir(path);
        put(path + L"\\file.txt", "x");
    }
    put(path + L"\\readonly.txt", "x", FILE_ATTRIBUTE_READONLY);
    ASSERT_GT(path.size(), 2u * MAX_PATH) << "the fixture must reach past MAX_PATH";
    ASSERT_TRUE(exists(path + L"\\readonly.txt"));

    rmtree(root.c_str());

    EXPECT_FALSE(exists(root));
}

TEST(rmtree, a_missing_folder_or_a_file_changes_nothing)
{
    std::wstring root = scratch(L"missing");
    mkdir(root);
    put(root + L"\\file.txt", "keep");

    rmtree((root + L"\\no-such-folder").c_str());
    rmtree((root + L"\\file.txt").c_str());

    EXPECT_EQ(get(root + L"\\file.txt"), "keep");
    DeleteFileW((root + L"\\file.txt").c_str());
    RemoveDirectoryW(root.c_str());
}

TEST(rmtree, a_long_path_is_handled_whole_never_cut)
{
    // The folder's path is longer than MAX_PATH, and an empty sibling bears
    // the name that its path cut to 259 characters would give.
    std::wstring root = scratch(L"long");
    mkdir(root);
    std::wstring folder = root + L"\\" + std::wstring(280 - root.size() - 1, L'n');
    std::wstring sibling = folder.substr(0, MAX_PATH - 1);
    mkdir(folder);
    put(folder + L"\\file.txt", "x");
    mkdir(sibling);

    rmtree(folder.c_str());

    EXPECT_FALSE(exists(folder));
    EXPECT_TRUE(exists(sibling)) << "the cut name must never be acted on";
    RemoveDirectoryW(whole(sibling).c_str());
    RemoveDirectoryW(root.c_str());
}

TEST(rmtree, removes_links_in_the_tree_but_nothing_they_lead_to)
{
    std::wstring outside = scratch(L"targets");
    std::wstring root = scratch(L"links");
    mkdir(outside);
    mkdir(outside + L"\\full");
    put(outside + L"\\full\\keep.txt", "keep");
    mkdir(outside + L"\\empty"); // what RemoveDirectoryW under Wine would take
    put(outside + L"\\file.txt", "file");
    mkdir(root);
    mkdir(root + L"\\real");
    put(root + L"\\real\\x.txt", "x");

    struct link {
        const wchar_t* name;
        const wchar_t* target;
        bool folder;
        bool made, removable;
    } links[] = {
        {L"\\full-link", L"\\full", true, false, false},
        {L"\\empty-link", L"\\empty", true, false, false},
        {L"\\file-link.txt", L"\\file.txt", false, false, false},
    };
    bool all_removable = true;
    for (link& l : links) {
        std::wstring at = root + l.name, to = outside + l.target;
        l.made = l.folder ? make_dir_link(at, to) : make_file_link(at, to);
        l.removable = l.made && is_windows_link(at);
        if (l.made && !l.removable)
            all_removable = false;
    }
    if (!links[0].made) {
        rmtree(root.c_str());
        rmtree(outside.c_str());
        GTEST_SKIP() << "this system makes no directory links for a test program";
    }

    rmtree(root.c_str());

    EXPECT_EQ(get(outside + L"\\full\\keep.txt"), "keep");
    EXPECT_TRUE(exists(outside + L"\\empty"));
    EXPECT_EQ(get(outside + L"\\file.txt"), "file");
    EXPECT_FALSE(exists(root + L"\\real"));
    for (const link& l : links) {
        if (!l.made)
            continue;
        SCOPED_TRACE(l.name);
        // Where the system cannot remove a link as a link (Wine), it stays.
        EXPECT_EQ(exists(root + l.name), !l.removable);
    }
    EXPECT_EQ(exists(root), !all_removable);

    for (const link& l : links)
        drop_link(root + l.name);
    rmtree(root.c_str());
    rmtree(outside.c_str());
}

TEST(rmtree, a_link_handed_in_goes_at_most_itself)
{
    std::wstring outside = scratch(L"handed");
    mkdir(outside);
    struct row {
        const wchar_t* target;
        const char* content; // null: an empty folder
    } rows[] = {
        {L"\\full", "keep"},
        {L"\\empty", nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.target);
        std::wstring target = outside + r.target, link = target + L"-link";
        mkdir(target);
        if (r.content)
            put(target + L"\\keep.txt", r.content);
        if (!make_dir_link(link, target)) {
            rmtree(outside.c_str());
            GTEST_SKIP() << "this system makes no directory links for a test program";
        }
        bool removable = is_windows_link(link);

        rmtree(link.c_str());

        EXPECT_TRUE(exists(target));
        if (r.content)
            EXPECT_EQ(get(target + L"\\keep.txt"), r.content);
        EXPECT_EQ(exists(link), !removable);
        drop_link(link);
    }
    rmtree(outside.c_str());
}
