#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "net/release_link.h"

TEST(release_link, split_download_links)
{
    const std::string p = "https://github.com/";
    const std::string owner100(100, 'o');
    const std::string repo255 = owner100 + "/" + std::string(154, 'r');
    const std::string repo256 = owner100 + "/" + std::string(155, 'r');
    const std::string tag255(255, 't');
    const std::string tag256(256, 't');
    const std::string file259(259, 'f');
    const std::string file260(260, 'f');
    struct row {
        std::string link;
        bool ok;
        std::string repo, tag, file;
    };
    const row rows[] = {
        {p + "brannix/ProjectTolvar/releases/latest/download/tolvar-setup.txt", true,
         "brannix/ProjectTolvar", "", "tolvar-setup.txt"},
        {p + "brannix/ProjectTolvar/releases/download/1.4.0/part1.zip", true,
         "brannix/ProjectTolvar", "1.4.0", "part1.zip"},
        {p + "o/r/releases/download/latest/x.zip", true, "o/r", "latest", "x.zip"},
        // Owner, repository and tag are passed on as they stand, empty or not.
        {p + "//releases/latest/download/x.zip", true, "/", "", "x.zip"},
        {p + "o/r/releases/download//x.zip", true, "o/r", "", "x.zip"},
        {p + repo255 + "/releases/latest/download/x", true, repo255, "", "x"},
        {p + repo256 + "/releases/latest/download/x", false, "", "", ""},
        {p + "o/r/releases/download/" + tag255 + "/x", true, "o/r", tag255, "x"},
        {p + "o/r/releases/download/" + tag256 + "/x", false, "", "", ""},
        {p + "o/r/releases/latest/download/" + file259, true, "o/r", "", file259},
        {p + "o/r/releases/latest/download/" + file260, false, "", "", ""},
        {p + "o/r/releases/download/1.0/" + file259, true, "o/r", "1.0", file259},
        {p + "o/r/releases/download/1.0/" + file260, false, "", "", ""},
        {p + "o/r/releases/latest/download/", false, "", "", ""},
        {p + "o/r/releases/download/1.0/", false, "", "", ""},
        {p + "o/r/releases/download/1.0", false, "", "", ""},
        {p + "o/r/releases/download/1.0/sub/x.zip", false, "", "", ""},   // tag with a slash
        {p + "o/r/releases/latest/download/x.zip?raw=1", false, "", "", ""},
        {p + "o/r/releases/latest/download/x.zip#top", false, "", "", ""},
        {p + "o/r/releases/download/1.0/x.zip?x", false, "", "", ""},
        {p + "o/r/releases/latest/x.zip", false, "", "", ""},
        {p + "o/r/releases/tag/1.0/x.zip", false, "", "", ""},
        {p + "o/r/archive/x.zip", false, "", "", ""},
        {p + "o/r", false, "", "", ""},
        {p + "o/r/", false, "", "", ""},
        {p + "o", false, "", "", ""},
        {p, false, "", "", ""},
        {"http://github.com/o/r/releases/latest/download/x.zip", false, "", "", ""},
        {"https://GitHub.com/o/r/releases/latest/download/x.zip", false, "", "", ""},
        {"HTTPS://github.com/o/r/releases/latest/download/x.zip", false, "", "", ""},
        {"https://github.co/o/r/releases/latest/download/x.zip", false, "", "", ""},
        {"https://github.com.evil/o/r/releases/latest/download/x.zip", false, "", "", ""},
        {"https://api.github.com/o/r/releases/latest/download/x.zip", false, "", "", ""},
        {"", false, "", "", ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.link);
        char repo[256], tag[256], file[260];
        int latest = -1;
        int ok = split_release_link(r.link.c_str(), repo, tag, file, &latest);
        EXPECT_EQ(r.ok, ok != 0);
        if (r.ok && ok) {
            EXPECT_EQ(r.repo, repo);
            EXPECT_EQ(r.tag, tag);
            EXPECT_EQ(r.file, file);
            // Only the link's shape tells the latest form from an empty tag.
            EXPECT_EQ(r.link.find("/releases/latest/download/") != std::string::npos, latest == 1);
        } else {
            EXPECT_EQ(-1, latest);
        }
    }
}

TEST(release_link, setup_list_links)
{
    char out[1024];
    ASSERT_EQ(1, setup_list_link(nullptr, out));
    EXPECT_STREQ("https://github.com/brannix/ProjectTolvar/releases/latest/download/tolvar-setup.txt", out);
    ASSERT_EQ(1, setup_list_link("", out));
    EXPECT_STREQ("https://github.com/brannix/ProjectTolvar/releases/latest/download/tolvar-setup.txt", out);
    ASSERT_EQ(1, setup_list_link("1.4.2", out));
    EXPECT_STREQ("https://github.com/brannix/ProjectTolvar/releases/download/1.4.2/tolvar-setup.txt", out);
    // What the link splitter makes of them is what the API detour asks for.
    char repo[256], tag[256], file[260];
    int latest = -1;
    ASSERT_EQ(1, split_release_link(out, repo, tag, file, &latest));
    EXPECT_STREQ("brannix/ProjectTolvar", repo);
    EXPECT_STREQ("1.4.2", tag);
    EXPECT_STREQ("tolvar-setup.txt", file);
    EXPECT_EQ(0, latest);
    EXPECT_EQ(0, setup_list_link(std::string(1100, 't').c_str(), out));
    EXPECT_EQ(1023u, strlen(out));
}

TEST(release_link, query_urls)
{
    char out[1024];
    ASSERT_EQ(1, release_query_url("brannix/ProjectTolvar", nullptr, out));
    EXPECT_STREQ("https://api.github.com/repos/brannix/ProjectTolvar/releases/latest", out);
    ASSERT_EQ(1, release_query_url("brannix/ProjectTolvar", "", out));
    EXPECT_STREQ("https://api.github.com/repos/brannix/ProjectTolvar/releases/latest", out);
    ASSERT_EQ(1, release_query_url("brannix/ProjectTolvar", "1.4.0", out));
    EXPECT_STREQ("https://api.github.com/repos/brannix/ProjectTolvar/releases/tags/1.4.0", out);

    // The longest pieces that a link can give still fit.
    const std::string repo(255, 'r'), tag(255, 't');
    ASSERT_EQ(1, release_query_url(repo.c_str(), tag.c_str(), out));
    EXPECT_EQ("https://api.github.com/repos/" + repo + "/releases/tags/" + tag, out);

    const std::string huge(2000, 'r');
    EXPECT_EQ(0, release_query_url(huge.c_str(), "1.0", out));
    EXPECT_EQ(1023u, strlen(out));
}

namespace {

const std::string api = "https://api.github.com/repos/o/r/releases/";

// The shape of a real release answer, shortened.
std::string release_answer()
{
    return "{\n  \"url\": \"" + api + "7\",\n  \"html_url\": \"https://github.com/o/r/releases/tag/1.4.2\",\n"
           "  \"id\": 7,\n  \"tag_name\": \"1.4.2\",\n  \"name\": \"Tolvar 1.4.2\",\n  \"assets\": [\n"
           "    {\n      \"url\": \"" + api + "assets/11\",\n      \"id\": 11,\n      \"name\": \"part1.zip\",\n"
           "      \"label\": null,\n      \"browser_download_url\": \"https://github.com/o/r/releases/download/1.4.2/part1.zip\"\n    },\n"
           "    {\n      \"url\": \"" + api + "assets/12\",\n      \"id\": 12,\n      \"name\": \"tolvar-setup.txt\",\n"
           "      \"browser_download_url\": \"https://github.com/o/r/releases/download/1.4.2/tolvar-setup.txt\"\n    }\n"
           "  ]\n}\n";
}

// One asset object with a url and a name, in that order.
std::string asset(const std::string& url, const std::string& name)
{
    return "{\"url\":\"" + url + "\",\"id\":1,\"name\":\"" + name + "\"}";
}

}  // namespace

TEST(release_link, find_asset_url_in_answers)
{
    const std::string a1 = api + "assets/1", a2 = api + "assets/2";
    const std::string web = "https://github.com/o/r/releases/download/1.0/part1.zip";
    const std::string wanted259(259, 'n');
    struct row {
        const char* what;
        std::string answer;
        std::string wanted;
        bool ok;
        std::string out;   // checked when not empty
    };
    const row rows[] = {
        {"real answer, first asset", release_answer(), "part1.zip", true, api + "assets/11"},
        {"real answer, second asset", release_answer(), "tolvar-setup.txt", true, api + "assets/12"},
        {"real answer, no such asset", release_answer(), "part2.zip", false, ""},
        {"url, id and name", "[" + asset(a1, "part1.zip") + "]", "part1.zip", true, a1},
        {"name inside a longer value is passed over",
         "[" + asset(a1, "xpart1.zip") + "," + asset(api + "assets/9", "part1.zip.sig") + "," +
             asset(a2, "part1.zip") + "]",
         "part1.zip", true, a2},
        {"names that are no strings are passed over",
         "[{\"url\":\"" + a1 + "\",\"name\":null},{\"url\":\"" + a1 + "\",\"name\":5}," + asset(a2, "part1.zip") + "]",
         "part1.zip", true, a2},
        {"a key ending in url is no url key",
         "[{\"url\":\"" + a1 + "\",\"browser_download_url\":\"" + web + "\",\"x_url\":\"" + web +
             "\",\"name\":\"part1.zip\"}]",
         "part1.zip", true, a1},
        {"release title equal to the name: the url before the title",
         "{\"url\":\"" + api + "7\",\"name\":\"part1.zip\",\"assets\":[" + asset(a1, "part1.zip") + "]}",
         "part1.zip", true, api + "7"},
        {"no url before the matched name, even with a later match",
         "{\"id\":7,\"name\":\"part1.zip\",\"assets\":[" + asset(a1, "part1.zip") + "]}", "part1.zip", false, ""},
        {"matched name within the first 5 bytes", "\"name\":\"part1.zip\"," + asset(a1, "part1.zip"),
         "part1.zip", false, ""},
        {"url with the web prefix", "[" + asset(web, "part1.zip") + "]", "part1.zip", false, web},
        {"url of another host", "[" + asset("https://api.github.com.evil/x", "part1.zip") + "]", "part1.zip",
         false, "https://api.github.com.evil/x"},
        {"all four white space bytes",
         "[{\"url\" \t\r\n: \t\r\n\"" + a1 + "\" , \"name\"\r\n\t :\n \"part1.zip\"}]", "part1.zip", true, a1},
        {"form feed before the url's colon", "[{\"url\"\f:\"" + a1 + "\",\"name\":\"part1.zip\"}]", "part1.zip",
         false, ""},
        {"form feed after the url's colon", "[{\"url\":\f\"" + a1 + "\",\"name\":\"part1.zip\"}]", "part1.zip",
         false, ""},
        {"form feed before a name's colon: no match",
         "[{\"url\":\"" + a1 + "\",\"name\"\f:\"part1.zip\"}," + asset(a2, "part1.zip") + "]", "part1.zip", true,
         a2},
        {"escapes are taken raw in the url",
         "[" + asset("https://api.github.com/a\\/b\\\"c\\\\d\\u0041", "part1.zip") + "]", "part1.zip", true,
         "https://api.github.com/a/b\"c\\du0041"},
        {"escapes are taken raw in the name", "[" + asset(a1, "part\\1.zip") + "]", "part1.zip", true, a1},
        {"escaped quote does not end the name", "[" + asset(a1, "part1.zip\\\"x") + "]", "part1.zip\"x", true, a1},
        {"a cut long name never matches",
         "[" + asset(a1, wanted259 + std::string(400, 'n')) + "," + asset(a2, wanted259) + "]", wanted259, true,
         a2},
        {"the search goes on after the whole name key",
         "[{\"url\":\"" + a1 + "\",\"name\"name\":\"part1.zip\"}]", "part1.zip", false, ""},
        {"name value cut by the end", "[{\"url\":\"" + a1 + "\",\"name\":\"part1.zip", "part1.zip", false, ""},
        {"name key at the very end", "[{\"url\":\"" + a1 + "\",\"name\"", "part1.zip", false, ""},
        {"colon at the very end", "[{\"url\":\"" + a1 + "\",\"name\":", "part1.zip", false, ""},
        {"name without colon", "[{\"url\":\"" + a1 + "\",\"name\" \"part1.zip\"}]", "part1.zip", false, ""},
        {"url without colon", "[{\"url\" \"" + a1 + "\",\"name\":\"part1.zip\"}]", "part1.zip", false, ""},
        {"url value not a string", "[{\"url\":null,\"name\":\"part1.zip\"}]", "part1.zip", false, ""},
        {"only the last url before the name is tried",
         "[{\"url\":\"" + a1 + "\",\"x\":{\"url\":5},\"name\":\"part1.zip\"}]", "part1.zip", false, ""},
        {"empty wanted name matches an empty name", "[" + asset(a1, "") + "]", "", true, a1},
        {"wanted name longer than any link gives",
         "[" + asset(a1, std::string(300, 'n')) + "]", std::string(300, 'n'), false, ""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        char out[1024];
        memset(out, 'x', sizeof out);
        int ok = find_asset_url(r.answer.data(), r.answer.size(), r.wanted.c_str(), out);
        EXPECT_EQ(r.ok, ok != 0);
        if (!r.out.empty()) {
            EXPECT_EQ(r.out, std::string(out, strnlen(out, sizeof out)));
        }
    }
}

TEST(release_link, find_asset_url_keeps_to_the_answer)
{
    const std::string a1 = api + "assets/1";
    const std::string text = "[" + asset(a1, "part1.zip") + "]";
    char out[1024];

    // The length bounds every step, whatever lies after it.
    EXPECT_EQ(1, find_asset_url(text.data(), text.size(), "part1.zip", out));
    EXPECT_EQ(0, find_asset_url(text.data(), text.find("part1.zip") + 5, "part1.zip", out));
    EXPECT_EQ(0, find_asset_url(text.data(), text.find("part1.zip") + 9, "part1.zip", out));
    EXPECT_EQ(1, find_asset_url(text.data(), text.find("part1.zip") + 10, "part1.zip", out));
    EXPECT_EQ(0, find_asset_url(text.data(), 0, "part1.zip", out));

    // A zero byte ends the search for the name key.
    std::string zero = "[{\"x\":1}" + std::string(1, '\0') + "," + asset(a1, "part1.zip") + "]";
    EXPECT_EQ(0, find_asset_url(zero.data(), zero.size(), "part1.zip", out));

    // A backslash as the last byte runs into the end.
    std::string tail = "[{\"url\":\"" + a1 + "\",\"name\":\"part1.zip\\";
    EXPECT_EQ(0, find_asset_url(tail.data(), tail.size(), "part1.zip", out));

    // The url keeps at most 1023 bytes and still counts.
    const std::string long_url = "https://api.github.com/" + std::string(2000, 'u');
    const std::string big = "[" + asset(long_url, "part1.zip") + "]";
    ASSERT_EQ(1, find_asset_url(big.data(), big.size(), "part1.zip", out));
    EXPECT_EQ(long_url.substr(0, 1023), out);
}
