// The install tree: part folders, parts.txt, the naming of a run's paths, the
// install decision and the preparation of a build, on the real file system
// under Wine; and which message an unusable setup list gets.
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "install/files.h"
#include "install/parse.h"
#include "install/rmtree.h"
#include "install/tree.h"

#include "disk_fixture.h"

namespace {

std::wstring scratch(const wchar_t* name)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + L"tolvar-unit-tree-" + name + L"-" + std::to_wstring(GetCurrentProcessId());
}

void mkdir(const std::wstring& path)
{
    ASSERT_TRUE(CreateDirectoryW(path.c_str(), 0)) << "cannot create the fixture folder";
}

part_entry part(const char* sha, const char* dir, const char* to, const char* url)
{
    part_entry e;
    memset(&e, 0, sizeof e);
    strcpy(e.sha256, sha);
    strcpy(e.dir, dir);
    strcpy(e.from, "-");
    strcpy(e.to, to);
    strcpy(e.url, url);
    return e;
}

setup_list list_of(const std::string& tag, const std::string& run)
{
    setup_list list;
    memset(&list, 0, sizeof list);
    strcpy(list.tag, tag.c_str());
    strcpy(list.run, run.c_str());
    list.count = 1;
    strcpy(list.parts[0].dir, ".");
    strcpy(list.parts[0].from, "-");
    strcpy(list.parts[0].to, "-");
    return list;
}

// The naming of a run as the worker does it: before the list, then after.
int name_tree(const std::wstring& base, const setup_list& list, install_tree* t)
{
    return init_tree(base.c_str(), t) && name_version(&list, t);
}

} // namespace

TEST(tree, part_folder_names_the_parts_own_folder_or_its_tools_folder)
{
    const std::string long_dir(250, 'd');
    struct row {
        std::string dir, to, url;
        const wchar_t* folder; // null: none
    } rows[] = {
        {"Tolvar", "game", "https://h/r/Tolvar-game-1.0.zip", L"Tolvar\\game"},
        {"a/b", "c", "https://h/r/x.zip", L"a\\b\\c"},
        {"Spiel/\xC3\x84", "x/y", "https://h/r/x.zip", L"Spiel\\\u00C4\\x\\y"},
        // Tool archives: to "-" or dir ".", the file name after the url's last '/'.
        {".", "emsdk", "https://h/r/Tolvar-emsdk-4.0.zip", L"Tolvar\\tools\\emsdk"},
        {"anything/x", "-", "https://h/r/Tolvar-emsdk-4.0.zip", L"Tolvar\\tools\\emsdk"},
        {".", "-", "https://h/r/Tolvar-python-3.12.zip", L"Tolvar\\tools\\python"},
        {".", "-", "https://h/r/Tolvar-cpm-0.40.zip", L"Tolvar\\tools\\cpm"},
        {".", "-", "https://h/r/Tolvar-third_party-7.zip", L"Tolvar\\tools\\third_party"},
        {".", "-", "https://h/r/Tolvar-wgpu-native-22.zip", L"Tolvar\\tools\\wgpu-native"},
        {".", "-", "Tolvar-cpm-1.zip", L"Tolvar\\tools\\cpm"},
        {".", "-", "https://h/Tolvar-emsdk-1/other.zip", nullptr},
        {".", "-", "https://h/r/tolvar-emsdk-4.0.zip", nullptr},
        {".", "game", "https://h/r/Tolvar-game-1.0.zip", nullptr},
        {".", "-", "https://h/r/Tolvar-emsdk.zip", nullptr},
        {".", "-", "https://h/r/", nullptr},
        // dir\to beyond 259 characters: no part folder rather than a cut one
        {long_dir, "0123456789", "https://h/r/x.zip", nullptr},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.dir.substr(0, 20) + " | " + r.to + " | " + r.url);
        part_entry e = part("00", r.dir.c_str(), r.to.c_str(), r.url.c_str());
        wchar_t out[260] = L"untouched";
        int got = part_folder(&e, out);
        if (r.folder) {
            EXPECT_EQ(got, 1);
            EXPECT_STREQ(out, r.folder);
        } else {
            EXPECT_EQ(got, 0);
            EXPECT_STREQ(out, L"untouched");
        }
    }
}

TEST(tree, write_parts_lists_the_digest_of_every_part_with_a_folder)
{
    std::wstring dir = scratch(L"parts");
    mkdir(dir);
    std::wstring file = dir + L"\\parts.txt";
    put(file, "an older and much longer parts.txt that must not shine through\n");
    part_entry parts[3] = {
        part("aaa1", "Tolvar", "game", "https://h/r/Tolvar-game-1.zip"),
        part("bbb2", ".", "-", "https://h/r/Tolvar-unknown-1.zip"),
        part("ccc3", ".", "-", "https://h/r/Tolvar-python-3.zip"),
    };
    write_parts(dir.c_str(), parts, 3);
    EXPECT_EQ(get(file), "aaa1\nccc3\n");
    DeleteFileW(file.c_str());
    RemoveDirectoryW(dir.c_str());
}

TEST(tree, naming_forms_the_paths_of_the_run)
{
    setup_list list = list_of("1.4.2", "Tolvar/bin/Tolvar.exe");
    install_tree t;
    ASSERT_EQ(name_tree(L"C:\\Base", list, &t), 1);
    EXPECT_STREQ(t.base_dir, L"C:\\Base");
    EXPECT_STREQ(t.downloads_dir, L"C:\\Base\\downloads");
    EXPECT_STREQ(t.versions_dir, L"C:\\Base\\versions");
    EXPECT_STREQ(t.version_dir, L"C:\\Base\\versions\\1.4.2");
    EXPECT_STREQ(t.staging_dir, L"C:\\Base\\versions\\1.4.2.part");
    EXPECT_STREQ(t.run_path, L"C:\\Base\\versions\\1.4.2\\Tolvar\\bin\\Tolvar.exe");
    EXPECT_STREQ(t.tag, L"1.4.2");

    wchar_t zip[260], temp[260];
    ASSERT_EQ(zip_path(t.downloads_dir, "ab12", zip), 1);
    ASSERT_EQ(zip_temp_path(zip, temp), 1);
    EXPECT_STREQ(zip, L"C:\\Base\\downloads\\ab12.zip");
    EXPECT_STREQ(temp, L"C:\\Base\\downloads\\ab12.zip.part");
}

// Every limit at its edge: the longest base that fits, and one character
// more, which must be refused rather than cut.
TEST(tree, naming_refuses_a_tree_whose_paths_would_not_fit)
{
    struct row {
        const char* limit;
        int tag_len, run_len;
        int longest_base; // characters of base_dir that still fit
        int dir_len;      // of the part's folder, 0 for none
        int to_len;       // of the name its folder gets, 0 for no rename
    } rows[] = {
        // downloads\<64 hex digits>.zip.part
        {"cache file", 5, 5, 259 - 10 - 1 - 64 - 9},
        // versions\<tag>\installed.txt.new, the marker as it is written
        {"installed.txt", 100, 5, 259 - 10 - 100 - 18},
        // versions\<tag>.part\<run>, the run file while staged
        {"staged run file", 10, 200, 259 - 10 - 10 - 5 - 1 - 200},
        {"long tag and run", 127, 100, 259 - 10 - 127 - 5 - 1 - 100},
        // versions\<tag>.part\<dir>, where tar.exe unpacks the part: a
        // folder, which Windows makes only below 248 characters
        {"part folder", 10, 5, 247 - 10 - 10 - 5 - 1 - 218, 218},
        // versions\<tag>.part\<dir>\<to>, the name the zip's folder gets
        // (and the part folder carried over into a later version)
        {"renamed folder", 10, 5, 247 - 10 - 10 - 5 - 1 - 5 - 1 - 200, 5, 200},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.limit);
        setup_list list = list_of(std::string(r.tag_len, 't'), std::string(r.run_len, 'r'));
        if (r.dir_len)
            strcpy(list.parts[0].dir, std::string(r.dir_len, 'd').c_str());
        if (r.to_len) {
            strcpy(list.parts[0].from, "f");
            strcpy(list.parts[0].to, std::string(r.to_len, 't').c_str());
        }
        std::wstring fits = L"C:\\" + std::wstring(r.longest_base - 3, L'b');
        install_tree t;
        EXPECT_EQ(name_tree(fits, list, &t), 1);
        std::wstring too_long = fits + L"b";
        EXPECT_EQ(name_tree(too_long, list, &t), 0);
        EXPECT_STREQ(t.version_dir, L"") << "a refused naming leaves no path to act on";
        EXPECT_STREQ(t.staging_dir, L"");
        EXPECT_STREQ(t.run_path, L"");
    }
    install_tree t;
    EXPECT_EQ(init_tree((L"C:\\" + std::wstring(300, L'b')).c_str(), &t), 0);
    EXPECT_STREQ(t.downloads_dir, L"");
    EXPECT_STREQ(t.versions_dir, L"");
    setup_list list = list_of("1.0", "a.exe");
    EXPECT_EQ(name_version(&list, &t), 0) << "nothing is named below a refused base";
    EXPECT_STREQ(t.version_dir, L"");
}

// The markers of a version must be writable in every tree that naming
// accepts, or every run would build the version again.
TEST(tree, the_longest_accepted_tree_takes_its_markers)
{
    std::wstring root = scratch(L"long");
    const int tag_len = 100;
    setup_list list = list_of(std::string(tag_len, 't'), "r");
    // The longest base that naming accepts.
    std::wstring base = root;
    install_tree t;
    while (name_tree(base + L"b", list, &t))
        base += L"b";
    ASSERT_TRUE(name_tree(base, list, &t));
    make_dirs(t.version_dir);
    std::wstring installed = std::wstring(t.version_dir) + L"\\installed.txt";
    std::wstring current = std::wstring(t.versions_dir) + L"\\current.txt";
    write_text(installed.c_str(), list.tag);
    write_text(current.c_str(), list.tag);
    EXPECT_EQ(get(installed), list.tag);
    EXPECT_EQ(get(current), list.tag);
    rmtree(base.c_str());
}

TEST(tree, a_refused_naming_removes_nothing)
{
    // A base so long that version_dir would be cut, and a folder that bears
    // the cut name: the cut form must never be acted on.
    std::wstring top = scratch(L"cut");
    std::wstring base = top + L"\\" + std::wstring(140 - top.size() - 1, L'p');
    std::wstring versions = base + L"\\versions";
    std::string tag(127, 'v');
    std::wstring cut = (versions + L"\\" + std::wstring(tag.begin(), tag.end())).substr(0, 259);
    mkdir(top);
    mkdir(base);
    mkdir(versions);
    mkdir(cut);
    put(cut + L"\\keep.txt", "keep");

    setup_list list = list_of(tag, "run.exe");
    install_tree t;
    EXPECT_EQ(name_tree(base, list, &t), 0);
    prepare_build(&t); // a worker that went on regardless
    EXPECT_EQ(get(cut + L"\\keep.txt"), "keep");

    DeleteFileW((cut + L"\\keep.txt").c_str());
    RemoveDirectoryW(cut.c_str());
    RemoveDirectoryW(versions.c_str());
    RemoveDirectoryW(base.c_str());
    RemoveDirectoryW(top.c_str());
}

class install_decision : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = scratch(L"decide");
        setup_list list = list_of("2.0.0", "Tolvar/Tolvar.exe");
        ASSERT_EQ(name_tree(base, list, &t), 1);
        mkdir(base);
        mkdir(t.versions_dir);
        mkdir(t.version_dir);
        mkdir(std::wstring(t.version_dir) + L"\\Tolvar");
        put(installed(), "2.0.0");
        put(t.run_path, "MZ");
    }
    void TearDown() override
    {
        DeleteFileW(installed().c_str());
        DeleteFileW(t.run_path);
        RemoveDirectoryW((std::wstring(t.version_dir) + L"\\Tolvar").c_str());
        RemoveDirectoryW(t.version_dir);
        DeleteFileW((std::wstring(t.versions_dir) + L"\\current.txt").c_str());
        RemoveDirectoryW(t.staging_dir);
        RemoveDirectoryW(t.versions_dir);
        RemoveDirectoryW(base.c_str());
    }
    std::wstring installed() const { return std::wstring(t.version_dir) + L"\\installed.txt"; }

    std::wstring base;
    install_tree t;
};

TEST_F(install_decision, builds_on_repair_or_a_missing_mark_or_run_file)
{
    struct row {
        const char* name;
        int repair;
        bool drop_mark, drop_run;
        int build;
    } rows[] = {
        {"installed", 0, false, false, 0},
        {"repair of an installed version", 1, false, false, 1},
        {"installed.txt missing", 0, true, false, 1},
        {"run file missing", 0, false, true, 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        put(installed(), "2.0.0");
        put(t.run_path, "MZ");
        if (r.drop_mark)
            DeleteFileW(installed().c_str());
        if (r.drop_run)
            DeleteFileW(t.run_path);
        EXPECT_EQ(needs_build(&t, r.repair), r.build);
    }
}

TEST_F(install_decision, prepare_build_starts_from_an_empty_staging_folder)
{
    std::wstring stale = std::wstring(t.staging_dir) + L"\\Tolvar";
    mkdir(t.staging_dir);
    mkdir(stale);
    put(stale + L"\\half.bin", "left by an unfinished build");
    std::wstring current = std::wstring(t.versions_dir) + L"\\current.txt";
    put(current, "1.0.0");

    prepare_build(&t);

    EXPECT_FALSE(exists(t.version_dir)) << "this tag's version folder goes";
    EXPECT_FALSE(exists(stale));
    DWORD staging = GetFileAttributesW(t.staging_dir);
    ASSERT_NE(staging, INVALID_FILE_ATTRIBUTES);
    EXPECT_TRUE(staging & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(get(current), "1.0.0") << "nothing else in versions is touched";
}

// What stays in use in the staging or the version folder is waited for and
// then named; the build must not go on over it. An empty staging folder that
// is itself held is no harm: the build goes into it.
TEST_F(install_decision, prepare_build_stops_at_what_stays_in_use)
{
    std::wstring staged = std::wstring(t.staging_dir) + L"\\Tolvar";
    struct row {
        const char* name;
        std::wstring held;  // the path someone holds open
        int prepared;
        std::wstring left;  // what rmtree_left() names then
    } rows[] = {
        {"a program in the staging folder", staged + L"\\tolvar-game.exe", 0, staged + L"\\tolvar-game.exe"},
        {"the empty staging folder itself", t.staging_dir, 1, L""},
        {"a file of the version folder", t.run_path, 0, t.run_path},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        make_dirs(staged.c_str());
        put(staged + L"\\tolvar-game.exe", "MZ");
        make_dirs((std::wstring(t.version_dir) + L"\\Tolvar").c_str());
        put(t.run_path, "MZ");
        HANDLE held = CreateFileW(r.held.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE /* not delete */, 0,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, 0);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        EXPECT_EQ(prepare_build(&t), r.prepared);
        if (!r.prepared)
            EXPECT_EQ(std::wstring(rmtree_left()), r.left);
        CloseHandle(held);
        rmtree(t.staging_dir);
        rmtree(t.version_dir);
    }
    // As the fixture left it, for its TearDown.
    mkdir(t.version_dir);
    mkdir(std::wstring(t.version_dir) + L"\\Tolvar");
    put(installed(), "2.0.0");
    put(t.run_path, "MZ");
}

TEST(tree, prepare_build_creates_the_versions_folder_on_a_first_install)
{
    std::wstring base = scratch(L"first");
    setup_list list = list_of("1.0.0", "a.exe");
    install_tree t;
    ASSERT_EQ(name_tree(base, list, &t), 1);
    prepare_build(&t);
    EXPECT_TRUE(exists(t.staging_dir));
    RemoveDirectoryW(t.staging_dir);
    RemoveDirectoryW(t.versions_dir);
    RemoveDirectoryW(base.c_str());
}

TEST(parse, an_unusable_list_gets_the_message_that_fits)
{
    const wchar_t* unreadable = L"The release's setup list could not be read. Try again later.";
    const char* good = "tag 1.4.2\nrun Tolvar/Tolvar.exe\npart " /* sha */ "ab 10 . - - https://h/r/a.zip\n";
    struct row {
        const char* name;
        std::string text;
        const wchar_t* cmdline;
        const wchar_t* message; // null: accepted
    } rows[] = {
        {"complete, nothing pinned", good, L"", nullptr},
        {"complete, its tag pinned", good, L"--tag 1.4.2", nullptr},
        {"no part line", "tag 1.4.2\nrun a.exe\n", L"", unreadable},
        {"an HTML page", "<html><body>Not Found</body></html>", L"", unreadable},
        {"incomplete with a tag pinned", "tag 1.4.1\nrun a.exe\n", L"--tag 1.4.2", unreadable},
        {"another tag", good, L"--tag 1.4.3",
         L"GitHub answered with the setup list of 1.4.2, not 1.4.3 (its download links can lag right after a "
         L"release). Try the update again in a few minutes."},
        {"another tag, not ASCII", "tag 1.4-\xC3\xA4\nrun a.exe\npart ab 10 . - - u\n", L"--launch --tag 1.4",
         L"GitHub answered with the setup list of 1.4-\u00E4, not 1.4 (its download links can lag right after a "
         L"release). Try the update again in a few minutes."},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        std::string text = r.text;
        setup_list list;
        wchar_t message[1024] = L"";
        int ok = check_setup_list(&text[0], r.cmdline, &list, message);
        if (r.message) {
            EXPECT_EQ(ok, 0);
            EXPECT_STREQ(message, r.message);
        } else {
            EXPECT_EQ(ok, 1);
            EXPECT_STREQ(list.tag, "1.4.2");
        }
    }
}
