#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "install/tag_arg.h"

TEST(tag_arg, pinned_tag_from_command_line)
{
    const std::wstring allowed200(200, L'a');
    const std::wstring allowed127(127, L'b');
    struct row {
        std::wstring cmdline;
        std::string tag;
    };
    const row rows[] = {
        {L"--tag 1.4.2", "1.4.2"},
        {L"--tag \"1.4.2\"", "1.4.2"},
        {L"--tag   1.4.2 --launch", "1.4.2"},
        {L"--tag \" \"\"1.4.2\" --repair", "1.4.2"},
        {L"--repair --tag v1.4.2-rc_1", "v1.4.2-rc_1"},
        {L"x--tag 2.0", "2.0"},                          // found inside a longer word too
        {L"--tag " + allowed200, std::string(127, 'a')},
        {L"--tag " + allowed127 + L",", std::string(127, 'b')},  // the limit ends it first
        {L"--tag 1.4.2\"x", "1.4.2"},
        {L"--tag=1.4.2", ""},
        {L"--TAG 1.4.2", ""},
        {L"--tag\t1.4.2", ""},
        {L"--tag", ""},
        {L"", ""},
        {L"--tag ", ""},
        {L"--tag    ", ""},
        {L"--tag \"\" \"", ""},
        {L"--tag 1.4/2", ""},
        {L"--tag 1,4", ""},
        {L"--tag 1\\4", ""},
        {L"--tag C:x", ""},
        {L"--tag 1.4\t--launch", ""},
        {L"--tag 1,4 --tag 1.4.2", ""},                  // only the first one counts
        {L"--tag 1.\u00e9", ""},
        // Characters whose low byte is an allowed one, a space or a quote
        // must not pass as that byte.
        {L"--tag 1\u0131", ""},
        {L"--tag 1\u012e2", ""},
        {L"--tag 1\u0120x", ""},
        {L"--tag 1\u0122x", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.cmdline);
        char out[128];
        memset(out, 'x', sizeof out);
        tag_arg(r.cmdline.c_str(), out);
        EXPECT_STREQ(r.tag.c_str(), out);
    }
}

TEST(tag_arg, null_command_line_pins_nothing)
{
    char out[128] = "stale";
    tag_arg(nullptr, out);
    EXPECT_STREQ("", out);
}

// A tag can be pinned exactly when "--tag <tag>" gives it back whole.
TEST(tag_arg, can_be_pinned_agrees_with_the_command_line)
{
    const std::string rows[] = {
        "1.4.2", "v1.4.2-rc_1", std::string(127, 'a'), std::string(128, 'a'), "", "1,4", "1/4",
        "1+build", "1.\xC3\xA9", "\xC4\xB1", "a\"b", "a b",
    };
    for (const std::string& tag : rows) {
        SCOPED_TRACE(tag);
        std::wstring cmdline = L"--tag ";
        for (unsigned char c : tag)
            cmdline += (wchar_t)c; // bytes as characters: non-ASCII bytes stay outside the set
        char out[128];
        tag_arg(cmdline.c_str(), out);
        bool pinned = out[0] && tag == out;
        EXPECT_EQ(tag_can_be_pinned(tag.c_str()) != 0, pinned);
    }
    EXPECT_EQ(tag_can_be_pinned(nullptr), 0);
}
