// The small file routines, on the real file system under Wine.
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "install/files.h"

#include "disk_fixture.h"

namespace {

std::wstring temp_root(const wchar_t* name)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring root = std::wstring(dir) + L"tolvar-unit-" + name;
    return root;
}

bool is_dir(const std::wstring& path)
{
    DWORD a = GetFileAttributesW(path.c_str());
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY);
}

} // namespace

TEST(files, make_dirs_creates_every_missing_level_and_tolerates_existing_ones)
{
    std::wstring root = temp_root(L"make");
    std::wstring deep = root + L"\\a\\b\\c";
    make_dirs(deep.c_str());
    EXPECT_TRUE(is_dir(root + L"\\a"));
    EXPECT_TRUE(is_dir(deep));
    make_dirs(deep.c_str()); // again: nothing breaks
    EXPECT_TRUE(is_dir(deep));
    RemoveDirectoryW(deep.c_str());
    RemoveDirectoryW((root + L"\\a\\b").c_str());
    RemoveDirectoryW((root + L"\\a").c_str());
    RemoveDirectoryW(root.c_str());
}

TEST(files, make_dirs_leaves_a_path_alone_that_does_not_fit)
{
    std::wstring root = temp_root(L"long");
    std::wstring path = root + L"\\" + std::wstring(300, L'x');
    make_dirs(path.c_str());
    EXPECT_FALSE(is_dir(root)) << "nothing of a path over 259 characters is created";
}

TEST(files, read_first_line_cuts_at_line_ends_and_127_bytes)
{
    std::wstring root = temp_root(L"read");
    CreateDirectoryW(root.c_str(), 0);
    std::wstring file = root + L"\\current.txt";
    struct row {
        std::string content;
        std::string first;
    } rows[] = {
        {"1.4.2", "1.4.2"},
        {"1.4.2\r\nrest", "1.4.2"},
        {"1.4.2\nrest", "1.4.2"},
        {"\r\n1.4.2", ""},
        {"", ""},
        {std::string(200, 'v'), std::string(127, 'v')},
        {std::string("ab\0cd", 5), "ab"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.content.substr(0, 20));
        put(file, r.content.data(), (DWORD)r.content.size());
        char buf[128];
        memset(buf, 'Z', sizeof buf);
        read_first_line(file.c_str(), buf);
        EXPECT_EQ(std::string(buf), r.first);
    }
    DeleteFileW(file.c_str());
    char buf[128];
    memset(buf, 'Z', sizeof buf);
    read_first_line(file.c_str(), buf);
    EXPECT_STREQ(buf, "") << "a missing file reads as empty";
    RemoveDirectoryW(root.c_str());
}

TEST(files, write_text_replaces_the_file_without_terminator_or_newline)
{
    std::wstring root = temp_root(L"write");
    CreateDirectoryW(root.c_str(), 0);
    std::wstring file = root + L"\\installed.txt";
    put(file, "a much longer old content", 25);
    write_text(file.c_str(), "1.4.2");
    EXPECT_EQ(get(file), "1.4.2");
    EXPECT_EQ(get(file + L".new"), "<missing>") << "the file beside it took its place";
    write_text((root + L"\\no\\such\\folder.txt").c_str(), "x"); // skipped silently
    DeleteFileW(file.c_str());
    RemoveDirectoryW(root.c_str());
}

TEST(files, to_backslashes_turns_every_slash)
{
    wchar_t s[] = L"Tolvar/bin//x\\y/";
    to_backslashes(s);
    EXPECT_STREQ(s, L"Tolvar\\bin\\\\x\\y\\");
}
