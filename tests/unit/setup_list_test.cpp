#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <string>
#include <vector>

#include "install/setup_list.h"

namespace {

const std::string sha_a(64, 'a');
const std::string sha_b(64, 'b');

// Parses a copy of text (embedded NULs kept) the way the worker does.
int parse(const std::string& text, const char* pinned, setup_list* out)
{
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back(0);
    return read_setup_list(buf.data(), pinned, out);
}

std::string part_line(const std::string& sha, const std::string& size, const std::string& dir,
                      const std::string& from, const std::string& to, const std::string& url)
{
    return "part " + sha + " " + size + " " + dir + " " + from + " " + to + " " + url;
}

const std::string part_game = part_line(sha_a, "1234", "Tolvar", "tolvar-game-1.4.2", "game",
                                        "https://github.com/o/r/releases/download/1.4.2/Tolvar-game.zip");
const std::string part_tools = part_line(sha_b, "99", ".", "emsdk-4.0", "-",
                                         "https://github.com/o/r/releases/download/1.4.2/Tolvar-emsdk-4.0.zip");

// A small valid list with the given line end between its lines.
std::string sample(const std::string& eol)
{
    return "tag 1.4.2" + eol + "run Tolvar/Tolvar.exe" + eol + part_game + eol + part_tools;
}

void expect_same(const setup_list& want, const setup_list& got)
{
    EXPECT_STREQ(want.tag, got.tag);
    EXPECT_STREQ(want.run, got.run);
    ASSERT_EQ(want.count, got.count);
    for (int i = 0; i < want.count; i++) {
        SCOPED_TRACE(i);
        EXPECT_STREQ(want.parts[i].sha256, got.parts[i].sha256);
        EXPECT_EQ(want.parts[i].size, got.parts[i].size);
        EXPECT_STREQ(want.parts[i].dir, got.parts[i].dir);
        EXPECT_STREQ(want.parts[i].from, got.parts[i].from);
        EXPECT_STREQ(want.parts[i].to, got.parts[i].to);
        EXPECT_STREQ(want.parts[i].url, got.parts[i].url);
    }
}

}  // namespace

TEST(setup_list, reads_all_fields)
{
    setup_list l;
    ASSERT_EQ(list_ok, parse(sample("\n"), nullptr, &l));
    EXPECT_STREQ("1.4.2", l.tag);
    EXPECT_STREQ("Tolvar/Tolvar.exe", l.run);
    ASSERT_EQ(2, l.count);
    EXPECT_EQ(sha_a, l.parts[0].sha256);
    EXPECT_EQ(1234u, l.parts[0].size);
    EXPECT_STREQ("Tolvar", l.parts[0].dir);
    EXPECT_STREQ("tolvar-game-1.4.2", l.parts[0].from);
    EXPECT_STREQ("game", l.parts[0].to);
    EXPECT_STREQ("https://github.com/o/r/releases/download/1.4.2/Tolvar-game.zip", l.parts[0].url);
    EXPECT_EQ(sha_b, l.parts[1].sha256);
    EXPECT_STREQ(".", l.parts[1].dir);
    EXPECT_STREQ("-", l.parts[1].to);
}

TEST(setup_list, line_ends_in_any_mix_give_the_same_list)
{
    setup_list want;
    ASSERT_EQ(list_ok, parse(sample("\n"), nullptr, &want));
    const std::string texts[] = {
        sample("\r\n"),
        sample("\r"),
        sample("\n\n\n"),
        sample("\r\n\r\n"),
        sample("\n\r"),
        "\r\n\n" + sample("\r\n") + "\r\n\r\n",
        sample("\n") + "\n",
        sample("\n") + std::string("\0part junk", 10),  // the first NUL ends the text
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        setup_list got;
        EXPECT_EQ(list_ok, parse(text, nullptr, &got));
        expect_same(want, got);
    }
}

TEST(setup_list, nul_ends_the_text)
{
    setup_list l;
    const std::string text = "tag 1.0\nrun x.exe\n" + std::string("\0", 1) + part_game + "\n";
    EXPECT_EQ(list_unreadable, parse(text, nullptr, &l));
    EXPECT_EQ(0, l.count);
}

TEST(setup_list, tag_and_run_lines)
{
    const std::string tag200(200, 't');
    const std::string run300(300, 'r');
    struct row {
        std::string lines;   // put before the run and part lines
        std::string tag;
    };
    const row rows[] = {
        {"tag 1.0\ntag 2.0", "2.0"},              // a later tag replaces an earlier one
        {"tag 1.0\ntag ", "1.0"},                  // ... unless it holds no word
        {"tag 1.0\ntag \t \v\f", "1.0"},
        {"tag 1.0\n tag 2.0", "1.0"},              // leading space: not a tag line
        {"tag 1.0\ntag\t2.0", "1.0"},              // tab after the keyword: not a tag line
        {"tag 1.0\ntag", "1.0"},
        {"tag 1.0\nTag 2.0", "1.0"},
        {"tag 1.0\ntags 2.0", "1.0"},
        {"tag 2.0 3.0 4.0", "2.0"},                // first word only
        {"tag  \t\v\f 2.0\t", "2.0"},              // any white space before the word
        {"tag " + tag200, tag200.substr(0, 127)},
        {"tag 1.0\n<tag 2.0>", "1.0"},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.lines);
        setup_list l;
        EXPECT_EQ(list_ok, parse(r.lines + "\nrun x.exe\n" + part_game, nullptr, &l));
        EXPECT_EQ(r.tag, l.tag);
    }

    setup_list l;
    ASSERT_EQ(list_ok, parse("run first.exe\ntag 1.0\nrun " + run300 + " x\n" + part_game, nullptr, &l));
    EXPECT_EQ(run300.substr(0, 259), l.run);
    ASSERT_EQ(list_ok, parse("tag 1.0\nrun first.exe\nrun\t2.exe\nrun \n" + part_game, nullptr, &l));
    EXPECT_STREQ("first.exe", l.run);
}

TEST(setup_list, part_line_fields_and_sizes)
{
    const std::string dir300(300, 'd');
    const std::string url1100(1100, 'u');
    struct row {
        std::string rest;   // after "part "
        std::string sha256;
        uint64_t size;
        std::string dir, from, to, url;
    };
    const row rows[] = {
        {sha_a + " 0 d f t u", sha_a, 0, "d", "f", "t", "u"},       // size 0 counts
        {sha_a + " +7 d f t u", sha_a, 7, "d", "f", "t", "u"},
        {sha_a + " 18446744073709551615 d f t u", sha_a, UINT64_MAX, "d", "f", "t", "u"},
        {sha_a + " 18446744073709551616 d f t u", sha_a, UINT64_MAX, "d", "f", "t", "u"},
        {sha_a + " 99999999999999999999999 d f t u", sha_a, UINT64_MAX, "d", "f", "t", "u"},
        {sha_a + " -1 d f t u", sha_a, UINT64_MAX, "d", "f", "t", "u"},
        {sha_a + " -2 d f t u", sha_a, UINT64_MAX - 1, "d", "f", "t", "u"},
        {sha_a + " 007 d f t u", sha_a, 7, "d", "f", "t", "u"},
        {sha_a + " 0x10 f t u v", sha_a, 0, "x10", "f", "t", "u"},   // decimal only
        {sha_a + " 12abc f t u", sha_a, 12, "abc", "f", "t", "u"},
        {"\t " + sha_a + "\t\v5\f d f t u extra words", sha_a, 5, "d", "f", "t", "u"},
        // Over-long words spill into the next field.
        {sha_a + "12 d f t u", sha_a, 12, "d", "f", "t", "u"},
        {sha_a + " 1 " + dir300 + " f t u", sha_a, 1, dir300.substr(0, 259), dir300.substr(259), "f", "t"},
        {sha_a + " 1 d f t " + url1100, sha_a, 1, "d", "f", "t", url1100.substr(0, 1023)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.rest);
        setup_list l;
        ASSERT_EQ(list_ok, parse("tag 1.0\nrun x.exe\npart " + r.rest, nullptr, &l));
        ASSERT_EQ(1, l.count);
        const part_entry& e = l.parts[0];
        EXPECT_EQ(r.sha256, e.sha256);
        EXPECT_EQ(r.size, e.size);
        EXPECT_EQ(r.dir, e.dir);
        EXPECT_EQ(r.from, e.from);
        EXPECT_EQ(r.to, e.to);
        EXPECT_EQ(r.url, e.url);
    }
}

TEST(setup_list, bad_part_line_is_replaced_by_the_next)
{
    const std::string bad_lines[] = {
        "part " + sha_b + " 77 longer-dir longer-from longer-to",   // five fields
        "part " + sha_b + " x77 d f t u",                           // size without a digit
        "part " + sha_b + " - d f t u",
        "part " + sha_b + " + 5 d f t u",
        "part " + sha_b,
        "part ",
        "part\t" + sha_b + " 1 d f t u",                            // not a part line at all
        " part " + sha_b + " 1 d f t u",
        "part " + sha_b + " 1 .. f t",                              // not counted, so not checked
    };
    setup_list want;
    ASSERT_EQ(list_ok, parse("tag 1.0\nrun x.exe\n" + part_game, nullptr, &want));
    for (const std::string& bad : bad_lines) {
        SCOPED_TRACE(bad);
        setup_list l;
        EXPECT_EQ(list_ok, parse("tag 1.0\nrun x.exe\n" + bad + "\n" + part_game, nullptr, &l));
        expect_same(want, l);
    }

    // What a bad line read stays in the entry after the last valid one.
    setup_list l;
    ASSERT_EQ(list_ok, parse("tag 1.0\nrun x.exe\n" + part_game + "\npart " + sha_b + " 77 d f", nullptr, &l));
    ASSERT_EQ(1, l.count);
    EXPECT_EQ(sha_b, l.parts[1].sha256);
    EXPECT_EQ(77u, l.parts[1].size);
    EXPECT_STREQ("d", l.parts[1].dir);
    EXPECT_STREQ("f", l.parts[1].from);
    EXPECT_STREQ("", l.parts[1].to);
}

TEST(setup_list, first_16_complete_parts_are_kept)
{
    std::string text = "tag 1.0\nrun x.exe\n";
    for (int i = 0; i < 17; i++) {
        text += part_line(sha_a, std::to_string(i), "d" + std::to_string(i), "f", "t", "u") + "\n";
        if (i == 3)
            text += "part broken\n";
    }
    text += "part broken\n";
    setup_list l;
    ASSERT_EQ(list_ok, parse(text, nullptr, &l));
    ASSERT_EQ(16, l.count);
    for (int i = 0; i < 16; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ((uint64_t)i, l.parts[i].size);
        EXPECT_EQ("d" + std::to_string(i), l.parts[i].dir);
    }
}

TEST(setup_list, incomplete_lists_and_pinned_tags)
{
    const std::string tag200(200, 't');
    struct row {
        std::string text;
        std::string pinned;   // empty: none
        int result;
    };
    const row rows[] = {
        {"tag 1.0\nrun x.exe\n" + part_game, "", list_ok},
        {"tag 1.0\nrun x.exe\n" + part_game, "1.0", list_ok},
        {"", "", list_unreadable},
        {"\r\n\r\n", "", list_unreadable},
        {"run x.exe\n" + part_game, "", list_unreadable},
        {"tag 1.0\n" + part_game, "", list_unreadable},
        {"tag 1.0\nrun x.exe\n", "", list_unreadable},
        {"tag 1.0\nrun x.exe\npart " + sha_a + " 1 d f t", "", list_unreadable},
        {"<!DOCTYPE html>\n<html><head><title>tag 1.0</title></head>\n<body>run part</body></html>\n",
         "", list_unreadable},
        // Incompleteness is reported before a tag mismatch.
        {"tag 1.0\nrun x.exe\n", "2.0", list_unreadable},
        {"tag 1.0\nrun x.exe\n" + part_game, "2.0", list_other_tag},
        {"tag V1.0\nrun x.exe\n" + part_game, "v1.0", list_other_tag},
        {"tag 1.0\nrun x.exe\n" + part_game, "1.0.0", list_other_tag},
        {"tag " + tag200 + "\nrun x.exe\n" + part_game, tag200.substr(0, 127), list_ok},
        {"tag " + tag200 + "\nrun x.exe\n" + part_game, tag200.substr(0, 128), list_other_tag},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.text);
        SCOPED_TRACE("pinned: " + r.pinned);
        setup_list l;
        EXPECT_EQ(r.result, parse(r.text, r.pinned.empty() ? nullptr : r.pinned.c_str(), &l));
        if (r.pinned.empty()) {
            EXPECT_EQ(r.result, parse(r.text, "", &l));
        }
    }

    // The message names the list's own tag.
    setup_list l;
    ASSERT_EQ(list_other_tag, parse("tag V1.0\nrun x.exe\n" + part_game, "v1.0", &l));
    EXPECT_STREQ("V1.0", l.tag);
}

TEST(setup_list, values_leading_outside_their_folders_are_refused)
{
    struct row {
        std::string tag, run, dir, from, to;
        int result;
    };
    const row rows[] = {
        {"1.0", "Tolvar/Tolvar.exe", "Tolvar/sub", "src", "game", list_ok},
        {"1.0", "Tolvar\\bin\\x.exe", ".", "-", "-", list_ok},
        {"1.0", "x.exe", ".", "emsdk-4.0", "-", list_ok},
        {"..", "x.exe", "d", "f", "t", list_unreadable},
        {".", "x.exe", "d", "f", "t", list_unreadable},
        {"CON", "x.exe", "d", "f", "t", list_unreadable},
        {"nul.txt", "x.exe", "d", "f", "t", list_unreadable},
        {"a/b", "x.exe", "d", "f", "t", list_unreadable},
        {"a\\b", "x.exe", "d", "f", "t", list_unreadable},
        {"x.", "x.exe", "d", "f", "t", list_unreadable},
        {"1.0", "..\\..\\evil.exe", "d", "f", "t", list_unreadable},
        {"1.0", "C:\\x", "d", "f", "t", list_unreadable},
        {"1.0", "\\\\server\\share\\x.exe", "d", "f", "t", list_unreadable},
        {"1.0", "/x.exe", "d", "f", "t", list_unreadable},
        {"1.0", "x.exe", "/abs", "f", "t", list_unreadable},
        {"1.0", "x.exe", "..", "f", "t", list_unreadable},
        {"1.0", "x.exe", "d", "../f", "t", list_unreadable},
        {"1.0", "x.exe", "d", "f", "a/../..", list_unreadable},
        {"1.0", "x.exe", "d", "f", "D:t", list_unreadable},
        // Names that are not UTF-8 would not come back as the same bytes.
        {"\xc5\x81ukasz-1.0", "Tolvar/\xe7\x8e\x8b.exe", "d\xc3\xa9", "f", "t", list_ok},
        {"1.0\xff", "x.exe", "d", "f", "t", list_unreadable},
        {"1.\xc3", "x.exe", "d", "f", "t", list_unreadable},
        {"1.0", "x\xc0\xaf.exe", "d", "f", "t", list_unreadable},
        {"1.0", "x.exe", "d\xed\xa0\x80", "f", "t", list_unreadable},
        {"1.0", "x.exe", "d", "f\x80", "t", list_unreadable},
        {"1.0", "x.exe", "d", "f", "t\xf4\x90\x80\x80", list_unreadable},
    };
    for (const row& r : rows) {
        const std::string text = "tag " + r.tag + "\nrun " + r.run + "\n" + part_game + "\n" +
                                 part_line(sha_b, "1", r.dir, r.from, r.to, "https://h/x.zip");
        SCOPED_TRACE(text);
        setup_list l;
        EXPECT_EQ(r.result, parse(text, nullptr, &l));
        // A refused list is not worth a mismatch message either.
        EXPECT_EQ(r.result == list_ok ? list_other_tag : list_unreadable, parse(text, "other", &l));
    }

    // The digest names the cached zip in the downloads folder.
    setup_list l;
    EXPECT_EQ(list_unreadable,
              parse("tag 1.0\nrun x.exe\n" + part_line("../../x", "1", "d", "f", "t", "u"), nullptr, &l));
}
