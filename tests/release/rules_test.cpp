// The release tool's rules: the values it calls refused are the ones the
// setup's own reader refuses, and what it expects Windows' tar.exe to make
// of zip entry names.
#include <gtest/gtest.h>
#include <locale.h>

#include <string>

#include "entry_rules.h"
#include "install/setup_list.h"
#include "names.h"
#include "values.h"

namespace {

// The list text with one value replaced; the other values are plain.
std::string list_with(const std::string& field, const std::string& value)
{
    auto pick = [&](const char* name, const char* plain) { return field == name ? value : std::string(plain); };
    return "tag " + pick("tag", "1.0") + "\nrun " + pick("run", "Tolvar/bin/tolvar-game.exe") + "\npart " +
           pick("sha256", "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff") + " 12 " +
           pick("dir", "Tolvar") + " " + pick("from", "game-1.0") + " " + pick("to", "bin") + " " +
           pick("url", "https://github.com/brannix/ProjectTolvar/releases/download/1.0/Tolvar-game-1.0.zip") + "\n";
}

} // namespace

TEST(release_rules, refused_values_are_those_the_setup_refuses)
{
    struct row {
        const char* field;
        std::string value;
    } rows[] = {
        // refused by the setup today
        {"dir", "../.."}, {"run", "C:\\Windows\\notepad.exe"}, {"tag", "CON"}, {"tag", ".."}, {"tag", "1.0."},
        {"tag", "a\\b"}, {"tag", "nul.txt"}, {"run", "../x.exe"}, {"run", "/abs.exe"}, {"dir", "\\\\server\\share"},
        {"dir", "a/.../b"}, {"from", "C:x"}, {"to", "a:b"}, {"to", ".."}, {"sha256", "../../evil"},
        // accepted today
        {"tag", "1.0"}, {"tag", "1.0+hotfix"}, {"run", "Tolvar/bin/x.exe"}, {"dir", "."}, {"dir", "a/./b"},
        {"from", "-"}, {"to", "-"}, {"dir", "Spiel/\xC3\x84rger"}, {"url", "x"}, {"sha256", "ABCDEF"},
        // bytes that are no UTF-8: the setup's verdict, whatever it is, is the tool's
        {"dir", "Tolvar/\xFF"}, {"tag", "1.\xC3"}, {"run", "bin/\xE2\x82"}, {"from", "\xC0\xAF"}, {"to", "x\x80"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.field) + " " + r.value);
        std::string text = list_with(r.field, r.value);
        setup_list list;
        int setup_refuses = read_setup_list(&text[0], 0, &list) == list_unreadable;
        ASSERT_EQ(list.count, 1) << "the row must make a complete list";
        list_value v = {0, r.field, r.value.c_str()};
        EXPECT_EQ(value_is_refused(&v) != 0, setup_refuses != 0);
    }
}

TEST(release_rules, what_windows_tar_makes_of_entry_names)
{
    struct row {
        const char* name;
        int changes;
        const char* written;
    } rows[] = {
        {"data/world.txt", 0, "data/world.txt"},
        {"./data//x", 0, "data/x"},
        {"/etc/x", entry_absolute, "etc/x"},
        {"/../x", entry_absolute, "x"}, // a leading "/.." is stripped with the slash, not refused
        {"C:x", entry_drive, "x"},
        {"C:/x", entry_drive | entry_absolute, "x"},
        {"\\\\?\\C:\\x", entry_absolute | entry_drive, "x"},
        {"a/../b", entry_dot_dot, ""},
        {"..\\b", entry_dot_dot | entry_backslash, ""},
        {"a\\b", entry_backslash, "a/b"},
        {"what?.txt", entry_bad_char, "what_.txt"},
        {"ab:c", entry_bad_char, "ab_c"},
        {"data/aux.txt", entry_unusable, "data/aux.txt"},
        {"readme.", entry_unusable, "readme."},
        {"a /b", entry_unusable, "a /b"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        entry_fate fate;
        windows_fate(r.name, &fate);
        EXPECT_EQ(fate.changes, r.changes);
        EXPECT_EQ(fate.written, r.written);
    }
}

TEST(release_rules, paths_compare_as_on_windows)
{
    ASSERT_TRUE(setlocale(LC_CTYPE, "C.UTF-8"));
    EXPECT_EQ(path_key("Tolvar\\Bin/./x.exe"), path_key("tolvar/bin/x.exe"));
    EXPECT_EQ(path_key("Spiel/\xC3\x84rger"), path_key("spiel/\xC3\xA4rger"));
    EXPECT_NE(path_key("Tolvar/bin"), path_key("Tolvar/bin2"));
    EXPECT_TRUE(key_inside(path_key("Tolvar/tools/python/x"), path_key("Tolvar/tools/python")));
    EXPECT_FALSE(key_inside(path_key("Tolvar/tools/python2"), path_key("Tolvar/tools/python")));
    EXPECT_EQ(last_segment("https://h/r/Tolvar-1.zip?raw=1#x"), "Tolvar-1.zip");
}
