#include <gtest/gtest.h>
#include <wchar.h>

#include "app/mode.h"

TEST(mode, shim_candidate_needs_the_name_in_any_case_and_no_double_dash)
{
    struct row {
        const wchar_t* name;
        const wchar_t* cmdline;
        int shim;
    } rows[] = {
        {L"Tolvar.exe", L"", 1},
        {L"TOLVAR.EXE", L"", 1},
        {L"tOlVaR.eXe", L"play now", 1},
        {L"Tolvar.exe", L"-x /y", 1},
        {L"Tolvar.exe", L"--repair", 0},
        {L"Tolvar.exe", L"x--y", 0},
        {L"Tolvar.exe", L"--launch", 0},
        {L"Tolvar-Setup.exe", L"", 0},
        {L"Tolvar.exe.exe", L"", 0},
        {L"Tolvar.ex", L"", 0},
        {L"", L"", 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << "row " << (&r - rows));
        EXPECT_EQ(is_shim_candidate(r.name, r.cmdline), r.shim);
    }
}

TEST(mode, file_name_is_the_text_after_the_last_backslash)
{
    EXPECT_STREQ(file_name_of(L"C:\\Games\\Tolvar\\Tolvar.exe"), L"Tolvar.exe");
    EXPECT_STREQ(file_name_of(L"Tolvar.exe"), L"Tolvar.exe");
    EXPECT_STREQ(file_name_of(L"C:\\dir\\"), L"");
}

TEST(mode, launch_is_a_case_sensitive_substring)
{
    EXPECT_TRUE(wants_launch(L"--launch"));
    EXPECT_TRUE(wants_launch(L"a --launcher b"));
    EXPECT_FALSE(wants_launch(L"--Launch"));
    EXPECT_FALSE(wants_launch(L"-launch"));
}

TEST(mode, command_line_copy_keeps_2047_characters_and_takes_null_as_empty)
{
    static wchar_t dst[2048];
    static wchar_t src[3000];
    for (int i = 0; i < 2999; i++)
        src[i] = (wchar_t)(L'a' + i % 26);
    src[2999] = 0;
    wmemset(dst, L'#', 2048);
    copy_cmdline(dst, src);
    EXPECT_EQ(wcslen(dst), 2047u);
    EXPECT_EQ(wmemcmp(dst, src, 2047), 0);

    copy_cmdline(dst, nullptr);
    EXPECT_STREQ(dst, L"");
    copy_cmdline(dst, L"--tag 1.0");
    EXPECT_STREQ(dst, L"--tag 1.0");
}
