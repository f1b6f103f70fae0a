#include <gtest/gtest.h>

#include "base/relative_path.h"

TEST(relative_path, steps_up_from_the_folder_to_the_shared_part)
{
    struct row {
        const wchar_t* dir;
        const wchar_t* file;
        const wchar_t* want; // empty: refused
    } rows[] = {
        // The install tree: staging part folders and the download cache share the base.
        {L"C:\\users\\\x738b\x4f1f\\Tolvar\\versions\\1.0.staging", L"C:\\users\\\x738b\x4f1f\\Tolvar\\downloads\\ab.zip",
         L"..\\..\\downloads\\ab.zip"},
        {L"C:\\users\\\x141ukasz\\T\\versions\\1.0.staging\\Tolvar\\data", L"C:\\users\\\x141ukasz\\T\\downloads\\ab.zip",
         L"..\\..\\..\\..\\downloads\\ab.zip"},
        // Names from the list stay out of it, whatever they hold.
        {L"C:\\B\\versions\\\x7248\x672c\\\x0141", L"C:\\B\\downloads\\ab.zip", L"..\\..\\..\\downloads\\ab.zip"},
        {L"C:\\a", L"C:\\a\\x.zip", L"x.zip"},
        {L"C:\\a\\b", L"C:\\a\\x.zip", L"..\\x.zip"},
        {L"C:\\", L"C:\\x.zip", L"x.zip"},
        // A component that only starts like the other is not shared.
        {L"C:\\ab", L"C:\\abc\\x.zip", L"..\\abc\\x.zip"},
        {L"C:\\abc", L"C:\\ab\\x.zip", L"..\\ab\\x.zip"},
        {L"C:\\a\\b", L"C:\\a\\b.zip", L"..\\b.zip"},
        {L"C:\\a b\\c d", L"C:\\a b\\e f.zip", L"..\\e f.zip"},
        {L"\\\\?\\C:\\a\\b", L"\\\\?\\C:\\a\\x.zip", L"..\\x.zip"},
        {L"\\\\srv\\share\\a\\b", L"\\\\srv\\share\\a\\x.zip", L"..\\x.zip"},
        {L"\\\\srv\\share\\b", L"\\\\srv\\share\\x.zip", L"..\\x.zip"},
        // No root in common: no relative path exists.
        {L"C:\\a", L"D:\\a\\x.zip", L""},
        {L"\\\\srv\\one\\a", L"\\\\srv\\two\\a\\x.zip", L""},
        {L"\\\\srv1\\s\\a", L"\\\\srv2\\s\\a\\x.zip", L""},
        {L"a\\b", L"a\\x.zip", L""},
        {L"\\\\srv", L"\\\\srv\\x.zip", L""},
        // What is left of the file would not survive the code page.
        {L"C:\\a\\b", L"C:\\a\\\x738b.zip", L""},
        {L"C:\\\x738b\\b", L"C:\\\x7389\\x.zip", L""},
    };
    for (const row& r : rows) {
        wchar_t out[64];
        int n = relative_path(r.dir, r.file, out, 64);
        EXPECT_STREQ(out, r.want) << r.dir << " -> " << r.file;
        EXPECT_EQ(n, (int)wcslen(r.want)) << r.dir;
    }
}

TEST(relative_path, a_result_that_does_not_fit_is_refused_whole)
{
    const wchar_t* dir = L"C:\\base\\a\\b\\c";
    const wchar_t* file = L"C:\\base\\x.zip";
    const wchar_t* want = L"..\\..\\..\\x.zip"; // 14 characters
    wchar_t out[32];
    for (int cap = 1; cap <= 15; cap++) {
        wmemset(out, L'#', 32);
        int n = relative_path(dir, file, out, cap);
        if (cap == 15) {
            EXPECT_EQ(n, 14);
            EXPECT_STREQ(out, want);
        } else {
            EXPECT_EQ(n, 0) << cap;
            EXPECT_EQ(out[0], 0) << cap;
            EXPECT_EQ(out[cap], L'#') << cap; // nothing written past cap
        }
    }
}
