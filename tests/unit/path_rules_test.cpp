#include <gtest/gtest.h>

#include <string>

#include "install/part_rules.h"
#include "install/path_rules.h"

TEST(path_rules, tag_names_one_folder_below_versions)
{
    struct row {
        std::string tag;
        bool safe;
    };
    const row rows[] = {
        {"1.4.2", true},
        {"v1.4.2-rc_1", true},
        {"t\xc3\xa4g", true},          // non-ASCII UTF-8 is fine
        {std::string(127, 'a'), true},
        {"console", true},
        {"CONX", true},
        {"COM10", true},
        {"LPT", true},
        {"nul-build", true},           // no dot: a name of its own
        {"a..b", true},
        {"", false},
        {".", false},
        {"..", false},
        {"x.", false},                 // Windows drops the dot: "x"
        {"x ", false},
        {"a/b", false},
        {"a\\b", false},
        {"..\\x", false},
        {"C:", false},
        {"a:b", false},
        {"a<b", false},
        {"a>b", false},
        {"a\"b", false},
        {"a|b", false},
        {"a?b", false},
        {"a*", false},
        {"a\tb", false},
        {"a\x1f", false},
        {"a\x7f" "b", false},
        {"CON", false},
        {"con", false},
        {"Prn", false},
        {"AUX", false},
        {"NUL", false},
        {"nul.txt", false},
        {"NUL .txt", false},
        {"nul..x", false},
        {"COM1", false},
        {"com9", false},
        {"COM0", false},
        {"LPT1", false},
        {"lpt9.log", false},
        {"COM\xc2\xb9", false},        // superscript one
        {"LPT\xc2\xb2", false},
        {"COM\xc2\xb3.x", false},
        {"CONIN$", false},
        {"conout$", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.tag);
        EXPECT_EQ(r.safe, tag_is_safe(r.tag.c_str()) != 0);
    }
}

TEST(path_rules, relative_paths_stay_inside_their_folder)
{
    struct row {
        const char* path;
        bool safe;
    };
    const row rows[] = {
        {".", true},
        {"-", true},
        {"Tolvar", true},
        {"Tolvar/bin/tolvar-game.exe", true},
        {"Tolvar\\bin\\tolvar-game.exe", true},
        {"a/./b", true},
        {"a//b", true},
        {"a/b/", true},
        {"..a", true},
        {"a..", true},
        {"a..b/c", true},
        {"", false},
        {"..", false},
        {"../x", false},
        {"..\\..\\evil.exe", false},
        {"a/../..", false},
        {"a/..", false},
        {"a\\..\\b", false},
        {"a/.../b", false},            // dots alone may be trimmed to ".."
        {"a/.. /b", false},
        {"/abs", false},
        {"\\abs", false},
        {"\\\\server\\share", false},
        {"//server/share", false},
        {"\\\\?\\C:\\x", false},
        {"C:\\x", false},
        {"C:x", false},
        {"c:/x", false},
        {"game.exe:stream", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.path);
        EXPECT_EQ(r.safe, rel_path_is_safe(r.path) != 0);
    }
}

TEST(path_rules, zip_entry_names_stay_inside_and_are_kept_as_written)
{
    struct row {
        const char* name;
        bool safe;
    };
    const row rows[] = {
        {"Tolvar/bin/tolvar-game.exe", true},
        {"game-1.0/", true},                 // a folder entry
        {"game-1.0\\data\\a.pak", true},     // Windows tools write backslashes
        {"..a/b..c/.x", true},
        {"\xe7\x8e\x8b/\xc5\x81ukasz.txt", true},
        {"comics/com1x.txt", true},
        {"", false},
        {"/etc/passwd", false},
        {"\\evil.exe", false},
        {"//server/share/x", false},
        {"\\\\?\\C:\\x", false},
        {"C:/x", false},
        {"C:x", false},
        {"a/b.exe:stream", false},
        {"../x", false},
        {"a/../../x", false},
        {"a\\..\\..\\x", false},
        {"a/..", false},
        {"./", true},                        // archivers write the folder they started in
        {"./a/./b", true},
        {"a//b", false},
        {"a/.. /b", false},                  // trimmed to ".." by Windows
        {"a/b./c", false},                   // "b." would be "b"
        {"a/b ", false},
        {"nul", false},
        {"a/CON.txt", false},
        {"a/com1/x", false},
        {"lpt\xc2\xb9.log", false},
        {"conin$", false},
        {"a/b\x01", false},
        {"a\x7f", false},
        {"a/b?.txt", false},
        {"a<b", false},
        {"a|b", false},
        {"a\"b", false},
        {"a*", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        EXPECT_EQ(r.safe, entry_name_is_safe(r.name) != 0);
    }
}

TEST(part_rules, tools_folder_from_url_file_name)
{
    struct row {
        const char* url;
        const char* tool;
    };
    const row rows[] = {
        {"https://h/r/Tolvar-python-3.12.zip", "python"},
        {"https://h/r/Tolvar-emsdk-4.0.zip", "emsdk"},
        {"https://h/r/Tolvar-cpm-1.zip", "cpm"},
        {"https://h/r/Tolvar-third_party-1.zip", "third_party"},
        {"https://h/r/Tolvar-wgpu-native-22.zip", "wgpu-native"},
        {"Tolvar-emsdk-4.0.zip", "emsdk"},           // no slash: the whole url
        {"https://h/Tolvar-emsdk-x/other.zip", nullptr},  // only the last segment counts
        {"https://h/r/tolvar-emsdk-4.0.zip", nullptr},
        {"https://h/r/Tolvar-game-1.0.zip", nullptr},
        {"https://h/r/Tolvar-emsdk.zip", nullptr},
        {"https://h/r/Tolvar-emsdk", nullptr},
        {"https://h/r/Tolvar-python", nullptr},
        {"https://h/r/", nullptr},
        {"", nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.url);
        const char* tool = tool_for_url(r.url);
        if (r.tool) {
            EXPECT_STREQ(r.tool, tool);
        } else {
            EXPECT_EQ(nullptr, tool);
        }
    }
}

TEST(part_rules, tool_archive_is_dot_dir_or_dash_to)
{
    struct row {
        const char* dir;
        const char* to;
        bool tool;
    };
    const row rows[] = {
        {".", "game", true},
        {"Tolvar", "-", true},
        {".", "-", true},
        {"Tolvar", "game", false},
        {"./", "game", false},         // the special values count only whole
        {"Tolvar", "--", false},
        {"..", "game", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(std::string(r.dir) + " " + r.to);
        part_entry e = {};
        strcpy(e.dir, r.dir);
        strcpy(e.to, r.to);
        EXPECT_EQ(r.tool, part_is_tool_archive(&e) != 0);
    }
}

// Windows' limits on plain paths: CreateDirectoryW makes no folder of 248
// characters or more, and no path may reach MAX_PATH, unless long paths are
// on. Wine shows neither limit, so they are held here.
TEST(path_rules, folders_stop_at_247_characters_files_at_259_unless_long_paths_are_on)
{
    struct row {
        unsigned long chars;
        int folder, long_paths, fits;
    } rows[] = {
        {247, 1, 0, 1}, {248, 1, 0, 0}, {259, 1, 0, 0},
        {248, 0, 0, 1}, {259, 0, 0, 1}, {260, 0, 0, 0},
        {248, 1, 1, 1}, {259, 1, 1, 1}, {260, 1, 1, 0}, // the setup's buffers still end at 259
        {0, 1, 0, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::Message() << r.chars << (r.folder ? " folder" : " file")
                                        << (r.long_paths ? ", long paths on" : ""));
        EXPECT_EQ(path_length_fits(r.chars, r.folder, r.long_paths), r.fits);
    }
}
