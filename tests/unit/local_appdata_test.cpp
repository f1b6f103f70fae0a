// The local application data folder: the registry road must give what the
// shell gives, whatever the user's "Local AppData" value holds.
#include <gtest/gtest.h>
#include <windows.h>
#include <shlobj.h>

#include <string>

#include "base/local_appdata.h"

namespace {

const wchar_t key_path[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Explorer\\User Shell Folders";
const wchar_t value_name[] = L"Local AppData";

// Saves the user's value and puts it back, whatever a test did to it.
struct local_appdata_value : ::testing::Test {
    HKEY key = 0;
    wchar_t saved[1024] = {};
    DWORD saved_type = 0;
    DWORD saved_size = 0;
    bool had_value = false;

    void SetUp() override
    {
        ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, key_path, 0, KEY_QUERY_VALUE | KEY_SET_VALUE, &key), ERROR_SUCCESS);
        saved_size = sizeof saved;
        had_value = RegQueryValueExW(key, value_name, 0, &saved_type, (BYTE*)saved, &saved_size) == ERROR_SUCCESS;
    }
    void TearDown() override
    {
        if (had_value)
            RegSetValueExW(key, value_name, 0, saved_type, (const BYTE*)saved, saved_size);
        else
            RegDeleteValueW(key, value_name);
        RegCloseKey(key);
    }
    void set(DWORD type, const std::wstring& data)
    {
        ASSERT_EQ(RegSetValueExW(key, value_name, 0, type, (const BYTE*)data.c_str(),
                                 (DWORD)((data.size() + 1) * sizeof(wchar_t))),
                  ERROR_SUCCESS);
    }
};

std::wstring temp_dir()
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    std::wstring s = dir;
    if (!s.empty() && s.back() == L'\\')
        s.pop_back();
    return s;
}

} // namespace

TEST_F(local_appdata_value, gives_the_shells_folder_for_every_kind_of_value)
{
    std::wstring moved = temp_dir() + L"\\tolvar-unit-localappdata";
    CreateDirectoryW(moved.c_str(), 0);
    enum { keep, reg_sz, reg_expand_sz, remove } ;
    struct row {
        const char* name;
        int how;
        std::wstring data;
        std::wstring want; // the folder both must give; empty: the shell's, whatever it is
    } rows[] = {
        {"the profile's own value", keep, L"", L""},
        {"moved, as a plain path", reg_sz, moved, moved},
        {"moved, through a variable", reg_expand_sz, L"%TEMP%\\tolvar-unit-localappdata", moved},
        {"moved to a folder that is not there", reg_sz, moved + L"-missing", L""},
        {"a variable the environment lacks", reg_expand_sz, L"%TOLVAR_UNIT_NO_SUCH%\\Local", L""},
        {"a trailing backslash", reg_sz, moved + L"\\", L""},
        {"a relative path", reg_sz, L"tolvar-unit-localappdata", L""},
        {"no value at all", remove, L"", L""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        TearDown();
        SetUp();
        if (r.how == reg_sz)
            set(REG_SZ, r.data);
        else if (r.how == reg_expand_sz)
            set(REG_EXPAND_SZ, r.data);
        else if (r.how == remove)
            RegDeleteValueW(key, value_name);

        // Ours first: the shell may write a missing value back.
        wchar_t ours[MAX_PATH];
        wmemset(ours, L'#', MAX_PATH);
        int ok = local_appdata(ours);
        wchar_t shell[MAX_PATH] = L"";
        bool shell_ok = SHGetFolderPathW(0, CSIDL_LOCAL_APPDATA, 0, 0, shell) == S_OK;

        EXPECT_EQ(ok != 0, shell_ok);
        if (shell_ok)
            EXPECT_STREQ(ours, shell);
        else
            EXPECT_STREQ(ours, L"");
        if (!r.want.empty())
            EXPECT_STREQ(ours, r.want.c_str());
    }
    TearDown();
    SetUp();
    RemoveDirectoryW(moved.c_str());
}
