// Getting one part into the staging folder: reuse from the installed version,
// the verified download cache, and the download loop, with the network, the
// waits and the unpacking replaced (loop_fakes) and real files under Wine.
#include <ctype.h>
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>

#include <string>
#include <vector>

#include "install/acquire.h"
#include "install/files.h"
#include "install/link_tree.h"
#include "install/moved_parts.h"
#include "install/rmtree.h"
#include "install/tree.h"
#include "loop_fakes.h"
#include "net/file_sink.h"
#include "ui/status.h"

namespace {

const char* url0 = "https://github.com/brannix/ProjectTolvar/releases/download/1.5.0/Tolvar-data.zip";
const char* url1 = "https://github.com/brannix/ProjectTolvar/releases/download/1.5.0/Tolvar-python-3.12.zip";

const wchar_t* check_connection =
    L"Downloading part 1 of 2 failed. Check your connection and free space, then try again.";
const wchar_t* servers_failing =
    L"Downloading part 1 of 2 failed: GitHub's download servers are failing right now (tried 8 times over 3 "
    L"minutes). This is on GitHub's side. The parts already downloaded are kept: run Tolvar-Setup.exe again in "
    L"a few minutes and it carries on from here.";
const wchar_t* checksum_differs = L"Part 1 of 2 did not download correctly (its checksum differs). Try again.";

// Deterministic zip stand-ins; their digests were worked out independently.
std::string pattern(size_t n, int seed)
{
    std::string s(n, 0);
    for (size_t k = 0; k < n; k++)
        s[k] = (char)('a' + (k * 7 + seed) % 26);
    return s;
}

const std::string body0 = pattern(1000, 0);
const char* sha0 = "4256460c8769ec1a1d2a8e3edeeda0d3cc4fbc30b3c0f6a2b53da3ef9f60ea5e";
const std::string body1 = pattern(500, 5);
const char* sha1 = "aedeb91d5f47ac1a7699e38a0876f4cd477e2d3851c3cb4f25ce7682885996d1";
const std::string same_length_other = pattern(1000, 1); // body0's length, other bytes
const std::string longer = pattern(1500, 2);
const std::string stale = "an older zip of this name";

// Where each part of the fixture list lives inside a version folder.
const wchar_t* folder_of[2] = {L"Tolvar\\Data", L"Tolvar\\tools\\python"};

std::wstring widen(const char* s)
{
    return std::wstring(s, s + strlen(s));
}

bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring full(const std::wstring& path)
{
    wchar_t out[MAX_PATH];
    GetFullPathNameW(path.c_str(), MAX_PATH, out, 0);
    return out;
}

void put(const std::wstring& path, const std::string& text)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    ASSERT_NE(f, INVALID_HANDLE_VALUE) << "cannot create the fixture file";
    DWORD w = 0;
    WriteFile(f, text.data(), (DWORD)text.size(), &w, 0);
    CloseHandle(f);
}

std::string get(const std::wstring& path)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (f == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string text;
    char buf[65536];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof buf, &got, 0) && got)
        text.append(buf, got);
    CloseHandle(f);
    return text;
}

part_entry part(const char* sha, uint64_t size, const char* to, const char* url)
{
    part_entry e;
    memset(&e, 0, sizeof e);
    strcpy(e.sha256, sha);
    e.size = size;
    strcpy(e.dir, "Tolvar");
    strcpy(e.from, "-");
    strcpy(e.to, to);
    strcpy(e.url, url);
    return e;
}

std::wstring downloading(int number, int mb)
{
    return L"Downloading part " + std::to_wstring(number) + L" of 2 (" + std::to_wstring(mb) + L" MB)...";
}

// A fresh install tree per test (and per table row): a release 1.5.0 of two
// parts, a plain folder and a tool archive, with the staging folder prepared
// and an empty download cache.
class acquisition : public testing::Test {
protected:
    std::wstring base;
    install_tree tree;
    setup_list list;

    void SetUp() override { fresh(); }
    void TearDown() override { rmtree(base.c_str()); }

    void fresh()
    {
        static int serial;
        reset_fakes();
        g_percent.exchange(-1);
        if (!base.empty())
            rmtree(base.c_str());
        wchar_t tmp[MAX_PATH];
        GetTempPathW(MAX_PATH, tmp);
        base = std::wstring(tmp) + L"tolvar-unit-acquire-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
               std::to_wstring(serial++);
        memset(&list, 0, sizeof list);
        strcpy(list.tag, "1.5.0");
        strcpy(list.run, "Tolvar\\Tolvar.exe");
        list.count = 2;
        list.parts[0] = part(sha0, body0.size(), "Data", url0);
        list.parts[1] = part(sha1, body1.size(), "-", url1);
        ASSERT_TRUE(init_tree(base.c_str(), &tree));
        ASSERT_TRUE(name_version(&list, &tree));
        prepare_build(&tree);
        make_dirs(tree.downloads_dir);
        ASSERT_TRUE(exists(tree.staging_dir));
        ASSERT_TRUE(exists(tree.downloads_dir));
    }

    std::wstring zip(int i) { return std::wstring(tree.downloads_dir) + L"\\" + widen(list.parts[i].sha256) + L".zip"; }
    std::wstring temp(int i) { return zip(i) + L".part"; }

    // Runs the part; the fail() message, or empty when the part was had.
    std::wstring acquire(int i)
    {
        if (setjmp(g_fail_jump) == 0) {
            acquire_part(&tree, &list, i);
            return L"";
        }
        return g_failed;
    }
};

} // namespace

TEST_F(acquisition, a_first_attempt_download_goes_into_the_cache_and_on_to_unpacking)
{
    struct row {
        int i;
        std::string body;
        const char* sha;
        std::wstring line; // the size is in whole MiB, rounded down
    } rows[] = {
        {0, pattern(1048575, 3), "9239da35a031dd3f3f528e831cae0c172e50dee5e9868af664de63939a7decc0",
         downloading(1, 0)},
        {1, pattern(2000000, 4), "7933dbdbb51caa7d93d8d54c820a0fc1bc463f51be639086ca251d2d3b4d7ac3",
         downloading(2, 1)},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.i);
        fresh();
        strcpy(list.parts[r.i].sha256, r.sha);
        list.parts[r.i].size = r.body.size();
        g_fake_http = {{200, r.body.c_str(), 1}};

        EXPECT_EQ(acquire(r.i), L"");
        ASSERT_EQ(g_http_calls.size(), 1u);
        EXPECT_EQ(g_http_calls[0].url, list.parts[r.i].url);
        EXPECT_EQ(g_http_calls[0].accept, L"");
        EXPECT_TRUE(g_api_calls.empty());
        EXPECT_TRUE(g_pauses.empty());
        EXPECT_EQ(g_statuses, std::vector<std::wstring>{r.line});
        EXPECT_EQ(g_percent.load(), -1) << "the bar goes back to indeterminate after the transfer";

        EXPECT_TRUE(get(zip(r.i)) == r.body) << "the cache holds the bytes under the digest's name";
        EXPECT_FALSE(exists(temp(r.i)));
        ASSERT_EQ(g_unpacks.size(), 1u);
        EXPECT_EQ(g_unpacks[0].i, r.i);
        EXPECT_EQ(g_unpacks[0].n, 2);
        EXPECT_EQ(g_unpacks[0].sha256, r.sha);
        EXPECT_EQ(g_unpacks[0].staging_dir, tree.staging_dir);
        EXPECT_EQ(g_unpacks[0].zip, zip(r.i));
    }
}

TEST_F(acquisition, no_answer_runs_8_attempts_alternating_the_direct_link_and_the_api)
{
    for (int k = 0; k < 8; k++)
        g_fake_http.push_back({0, nullptr, 0});
    // The API lookups of attempts 1, 3, 5 and 7: a URL, none, none, a URL.
    g_fake_api = {{1, 0}, {0, 0}, {0, 0}, {1, 0}};

    EXPECT_EQ(acquire(0), servers_failing);
    std::vector<std::string> urls;
    for (const fake_call& c : g_http_calls) {
        urls.push_back(c.url);
        EXPECT_EQ(c.accept, c.url == api_url ? L"application/octet-stream" : L"") << c.url;
    }
    EXPECT_EQ(urls, (std::vector<std::string>{url0, api_url, url0, url0, url0, url0, url0, api_url}));
    EXPECT_EQ(g_api_calls, std::vector<std::string>(4, url0));
    EXPECT_EQ(g_pauses, (std::vector<int>{3, 6, 12, 20, 30, 45, 60})) << "no wait after the last attempt";

    std::vector<std::wstring> lines{downloading(1, 0)};
    for (int wait : {3, 6, 12, 20, 30, 45, 60}) {
        lines.push_back(L"Part 1 of 2: GitHub didn't answer (0). Trying again in " + std::to_wstring(wait) + L" s...");
        lines.push_back(downloading(1, 0));
    }
    EXPECT_EQ(g_statuses, lines);
    EXPECT_FALSE(exists(temp(0)));
    EXPECT_FALSE(exists(zip(0)));
    EXPECT_TRUE(g_unpacks.empty());
}

TEST_F(acquisition, the_answer_decides_between_another_attempt_giving_up_and_the_cache)
{
    const char* D = url0;
    const char* A = api_url;
    struct row {
        const char* name;
        const std::string* cached;    // a zip of the part's name already in the cache
        bool upper;                   // the list gives the digest in upper-case hex
        std::vector<fake_http> http;
        std::vector<fake_api> api;
        std::wstring failed;          // empty: the part goes on to unpacking
        std::vector<const char*> urls;
        std::vector<int> pauses;
        std::wstring retry_line;      // the first retry line, where there is one
    } rows[] = {
        {"404 gives up at once", nullptr, false, {{404, nullptr, 0}}, {}, check_connection, {D}, {}, L""},
        {"503, then the API serves the asset", nullptr, false,
         {{503, nullptr, 0}, {200, body0.c_str(), 1}}, {{1, 200}}, L"", {D, A}, {3},
         L"Part 1 of 2: GitHub didn't answer (503). Trying again in 3 s..."},
        {"200 with a longer body, then the right one: the file is written afresh", nullptr, false,
         {{200, longer.c_str(), 1}, {200, body0.c_str(), 1}}, {{0, 0}}, L"", {D, D}, {3},
         L"Part 1 of 2: GitHub didn't answer (200). Trying again in 3 s..."},
        {"403 throughout: all 8 attempts, then the servers message", nullptr, false,
         std::vector<fake_http>(8, fake_http{403, nullptr, 0}), std::vector<fake_api>(4, fake_api{0, 0}), servers_failing,
         std::vector<const char*>(8, D), {3, 6, 12, 20, 30, 45, 60},
         L"Part 1 of 2: GitHub didn't answer (403). Trying again in 3 s..."},
        {"the release query's 404 classes an attempt that got no other answer", nullptr, false,
         {{503, nullptr, 0}, {0, nullptr, 0}}, {{0, 404}}, check_connection, {D, D}, {3},
         L"Part 1 of 2: GitHub didn't answer (503). Trying again in 3 s..."},
        {"right length, wrong digest: never repeated, the older zip stays", &stale, false,
         {{200, same_length_other.c_str(), 1}}, {}, checksum_differs, {D}, {}, L""},
        {"upper-case hex matches neither the cached zip nor the download", &body0, true,
         {{200, body0.c_str(), 1}}, {}, checksum_differs, {D}, {}, L""},
        {"a cached zip with the listed digest: no request", &body0, false, {}, {}, L"", {}, {}, L""},
        {"a cached zip of other content is replaced once the download is verified", &stale, false,
         {{200, body0.c_str(), 1}}, {}, L"", {D}, {}, L""},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        fresh();
        if (r.upper)
            for (char& c : list.parts[0].sha256)
                c = (char)toupper((unsigned char)c);
        if (r.cached)
            put(zip(0), *r.cached);
        g_fake_http = r.http;
        g_fake_api = r.api;

        EXPECT_EQ(acquire(0), r.failed);
        std::vector<std::string> urls;
        for (const fake_call& c : g_http_calls) {
            urls.push_back(c.url);
            EXPECT_EQ(c.accept, c.url == api_url ? L"application/octet-stream" : L"") << c.url;
        }
        EXPECT_EQ(urls, std::vector<std::string>(r.urls.begin(), r.urls.end()));
        EXPECT_EQ(g_pauses, r.pauses);
        if (!r.retry_line.empty()) {
            EXPECT_GE(g_statuses.size(), 2u);
            if (g_statuses.size() >= 2)
                EXPECT_EQ(g_statuses[1], r.retry_line);
        }
        EXPECT_FALSE(exists(temp(0)));
        if (r.failed.empty()) {
            EXPECT_TRUE(get(zip(0)) == body0);
            EXPECT_EQ(g_unpacks.size(), 1u);
            if (!g_unpacks.empty())
                EXPECT_EQ(g_unpacks[0].zip, zip(0));
        } else {
            EXPECT_EQ(get(zip(0)), r.cached ? *r.cached : "<missing>");
            EXPECT_TRUE(g_unpacks.empty());
        }
    }
}

TEST_F(acquisition, a_temporary_file_that_cannot_be_created_names_the_downloads_folder)
{
    ASSERT_TRUE(CreateDirectoryW(temp(0).c_str(), 0));
    g_fake_http = {{200, body0.c_str(), 1}};
    EXPECT_EQ(acquire(0), L"Could not write to " + std::wstring(tree.downloads_dir) + L".");
    EXPECT_TRUE(g_http_calls.empty());
    EXPECT_TRUE(g_unpacks.empty());
}

// CreateHardLinkW as a volume without hard links, or with a full directory,
// answers it.
DWORD g_link_error;
BOOL WINAPI failing_link(LPCWSTR, LPCWSTR, LPSECURITY_ATTRIBUTES)
{
    SetLastError(g_link_error);
    return FALSE;
}

// How many names the file at path has; 0 when it cannot be opened.
DWORD names_of(const std::wstring& path)
{
    HANDLE f = CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                           0, OPEN_EXISTING, 0, 0);
    if (f == INVALID_HANDLE_VALUE)
        return 0;
    BY_HANDLE_FILE_INFORMATION info;
    DWORD links = GetFileInformationByHandle(f, &info) ? info.nNumberOfLinks : 0;
    CloseHandle(f);
    return links;
}

TEST_F(acquisition, an_unchanged_part_is_carried_over_and_the_installed_version_stays_whole)
{
    const std::string s0 = sha0, s1 = sha1;
    enum how { not_reused, linked, moved };
    struct row {
        const char* name;
        int i;
        const char* installed;   // current.txt's tag; null: no current.txt
        std::string parts_txt;   // the installed version's parts.txt; empty: none
        bool folder;             // the installed version holds the part's folder
        const char* url;         // replaces the part's url, when given
        DWORD link_error;        // CreateHardLinkW fails with this; 0: real links
        how result;
        bool no_record;          // the record of a move cannot be written
    } rows[] = {
        {"listed as the last line, without a line feed", 0, "1.4.0", s1 + "\n" + s0, true, nullptr, 0, linked},
        {"a tool part, into the tools folder", 1, "1.4.0", s0 + "\n" + s1 + "\n", true, nullptr, 0, linked},
        {"a volume without hard links: moved", 0, "1.4.0", s0 + "\n", true, nullptr, ERROR_INVALID_FUNCTION, moved},
        {"a share without hard links: moved", 0, "1.4.0", s0 + "\n", true, nullptr, ERROR_NOT_SUPPORTED, moved},
        {"a move that cannot be written down first: downloaded", 0, "1.4.0", s0 + "\n", true, nullptr,
         ERROR_NOT_SUPPORTED, not_reused, true},
        {"a file that cannot be linked: downloaded", 0, "1.4.0", s0 + "\n", true, nullptr, ERROR_TOO_MANY_LINKS,
         not_reused},
        {"first install: no current.txt", 0, nullptr, s0 + "\n", true, nullptr, 0, not_reused},
        {"a rebuild of the installed version itself", 0, "1.5.0", s0 + "\n", true, nullptr, 0, not_reused},
        {"the installed version in other letter case", 0, "1.5.0-RC", s0 + "\n", true, nullptr, 0, not_reused},
        {"parts.txt lacks the digest", 0, "1.4.0", s1 + "\n", true, nullptr, 0, not_reused},
        {"no parts.txt", 0, "1.4.0", "", true, nullptr, 0, not_reused},
        {"the digest only at the end of a longer line", 0, "1.4.0", "0" + s0 + "\n", true, nullptr, 0, not_reused},
        {"the digest only at the start of a longer line", 0, "1.4.0", s0 + "0\n", true, nullptr, 0, not_reused},
        {"the installed folder is missing", 0, "1.4.0", s0 + "\n", false, nullptr, 0, not_reused},
        {"current.txt leads outside the versions folder", 0, "..", s0 + "\n", true, nullptr, 0, not_reused},
        {"a part without a folder of its own", 1, "1.4.0", s0 + "\n" + s1 + "\n", false,
         "https://github.com/brannix/ProjectTolvar/releases/download/1.5.0/Tolvar-extras.zip", 0, not_reused},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        fresh();
        if (strcmp(r.installed ? r.installed : "", "1.5.0-RC") == 0) {
            // The list's tag differs from the installed one in letter case only.
            strcpy(list.tag, "1.5.0-rc");
            wcscpy(tree.tag, L"1.5.0-rc");
        }
        if (r.url)
            strcpy(list.parts[r.i].url, r.url);
        g_link_error = r.link_error;
        g_create_hard_link = r.link_error ? failing_link : CreateHardLinkW;
        std::wstring versions = tree.versions_dir;
        std::wstring installed = full(versions + L"\\" + widen(r.installed ? r.installed : "1.4.0"));
        if (r.installed)
            put(versions + L"\\current.txt", std::string(r.installed) + "\n");
        make_dirs(installed.c_str());
        if (!r.parts_txt.empty())
            put(installed + L"\\parts.txt", r.parts_txt);
        std::wstring old_folder = installed + L"\\" + folder_of[r.i];
        std::wstring new_folder = std::wstring(tree.staging_dir) + L"\\" + folder_of[r.i];
        if (r.folder) {
            make_dirs((old_folder + L"\\deep\\er").c_str());
            put(old_folder + L"\\keep.txt", "old");
            put(old_folder + L"\\deep\\er\\inner.txt", "inner");
        }
        if (r.no_record)
            make_dirs((versions + L"\\1.5.0.moved.txt").c_str()); // a folder in the file's place
        g_fake_http = {{200, (r.i == 0 ? body0 : body1).c_str(), 1}};

        EXPECT_EQ(acquire(r.i), L"");
        g_create_hard_link = CreateHardLinkW;
        if (r.result != not_reused) {
            EXPECT_TRUE(g_http_calls.empty());
            EXPECT_TRUE(g_unpacks.empty());
            EXPECT_EQ(g_statuses, std::vector<std::wstring>{L"Part " + std::to_wstring(r.i + 1) +
                                                            L" of 2 unchanged: kept from the installed version"});
            EXPECT_EQ(get(new_folder + L"\\keep.txt"), "old");
            EXPECT_EQ(get(new_folder + L"\\deep\\er\\inner.txt"), "inner");
        }
        if (r.result == linked) {
            // The same files under a second name: nothing copied, nothing taken away.
            EXPECT_EQ(get(old_folder + L"\\keep.txt"), "old");
            EXPECT_EQ(get(old_folder + L"\\deep\\er\\inner.txt"), "inner");
            EXPECT_EQ(names_of(new_folder + L"\\deep\\er\\inner.txt"), 2u);
        } else if (r.result == moved) {
            EXPECT_FALSE(exists(old_folder)) << "where no link can be had, the folder is moved as before";
        } else {
            EXPECT_EQ(g_http_calls.size(), 1u);
            EXPECT_EQ(g_unpacks.size(), 1u);
            EXPECT_EQ(g_statuses, std::vector<std::wstring>{downloading(r.i + 1, 0)});
            EXPECT_FALSE(exists(new_folder)) << "nothing half carried over is left";
            if (r.folder) {
                EXPECT_EQ(get(old_folder + L"\\keep.txt"), "old");
                EXPECT_EQ(names_of(old_folder + L"\\keep.txt"), 1u);
            }
            if (!r.parts_txt.empty())
                EXPECT_TRUE(exists(installed + L"\\parts.txt")) << "the installed version stays whole";
        }
    }
}

// Where carrying over had to move a folder (a volume without hard links) and
// the build then stopped, the next build gives back what that build moved,
// from wherever the stop left it, and nothing else: a folder of the staging
// folder that was unpacked there never goes into the installed version, even
// where the installed version lacks a folder of that name.
TEST_F(acquisition, a_stopped_build_gives_back_what_it_moved_and_nothing_else)
{
    const bool stopped_after_taking_its_place[] = {false, true};
    for (bool taken_place : stopped_after_taking_its_place) {
        SCOPED_TRACE(taken_place ? "stopped after the staging folder became the version"
                                 : "stopped while building");
        fresh();
        std::wstring versions = tree.versions_dir;
        std::wstring installed = versions + L"\\1.4.0";
        put(versions + L"\\current.txt", "1.4.0");
        make_dirs((installed + L"\\" + folder_of[0]).c_str());
        put(installed + L"\\" + folder_of[0] + L"\\keep.txt", "installed");
        // 1.4.0 held part 2 under another folder: 1.5.0's folder for it is
        // missing there, and this build unpacked it.
        put(installed + L"\\parts.txt", std::string(sha0) + "\n" + sha1 + "\n");
        g_link_error = ERROR_INVALID_FUNCTION;
        g_create_hard_link = failing_link;
        EXPECT_EQ(acquire(0), L"");
        g_create_hard_link = CreateHardLinkW;
        std::wstring moved = std::wstring(tree.staging_dir) + L"\\" + folder_of[0];
        ASSERT_EQ(get(moved + L"\\keep.txt"), "installed") << "carried over by a move";
        ASSERT_FALSE(exists(installed + L"\\" + folder_of[0]));
        std::wstring unpacked = std::wstring(tree.staging_dir) + L"\\" + folder_of[1];
        make_dirs(unpacked.c_str());
        put(unpacked + L"\\tool.txt", "unpacked by 1.5.0");
        std::wstring build = tree.staging_dir;
        if (taken_place) {
            ASSERT_TRUE(MoveFileW(tree.staging_dir, tree.version_dir));
            build = tree.version_dir;
        }

        take_back_moved_parts(&tree);
        EXPECT_EQ(get(installed + L"\\" + folder_of[0] + L"\\keep.txt"), "installed");
        EXPECT_FALSE(exists(build + L"\\" + folder_of[0]));
        EXPECT_FALSE(exists(installed + L"\\" + folder_of[1])) << "never had it: nothing is given";
        EXPECT_EQ(get(build + L"\\" + folder_of[1] + L"\\tool.txt"), "unpacked by 1.5.0");
        EXPECT_FALSE(exists(versions + L"\\1.5.0.moved.txt")) << "the record is spent";
        take_back_moved_parts(&tree); // a second time: nothing left to do
        EXPECT_EQ(get(installed + L"\\" + folder_of[0] + L"\\keep.txt"), "installed");
    }
}

// A folder to be given back that someone holds open is waited for; when the
// holder does not let go, the run stops with the message that names it and
// keeps the record, rather than let the staging folder be emptied with it.
TEST_F(acquisition, a_moved_folder_held_open_is_waited_for_or_named)
{
    struct row {
        const char* name;
        DWORD held_ms; // how long the holder keeps the folder; INFINITE: past the wait
    } rows[] = {
        {"a scanner that lets go", 700},
        {"a holder that does not", INFINITE},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        fresh();
        std::wstring versions = tree.versions_dir;
        std::wstring installed = versions + L"\\1.4.0";
        put(versions + L"\\current.txt", "1.4.0");
        make_dirs((installed + L"\\" + folder_of[0]).c_str());
        put(installed + L"\\" + folder_of[0] + L"\\keep.txt", "installed");
        put(installed + L"\\parts.txt", std::string(sha0) + "\n");
        g_link_error = ERROR_NOT_SUPPORTED;
        g_create_hard_link = failing_link;
        EXPECT_EQ(acquire(0), L"");
        g_create_hard_link = CreateHardLinkW;
        std::wstring moved = std::wstring(tree.staging_dir) + L"\\" + folder_of[0];
        HANDLE held = CreateFileW(moved.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE /* not delete */, 0,
                                  OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, 0);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        HANDLE letting_go = 0;
        if (r.held_ms != INFINITE) {
            static DWORD ms;
            ms = r.held_ms;
            letting_go = CreateThread(0, 0,
                                      [](void* h) -> DWORD {
                                          Sleep(ms);
                                          CloseHandle((HANDLE)h);
                                          return 0;
                                      },
                                      held, 0, 0);
        }

        std::wstring failed;
        if (setjmp(g_fail_jump) == 0)
            take_back_moved_parts(&tree);
        else
            failed = g_failed;
        if (letting_go) {
            WaitForSingleObject(letting_go, INFINITE);
            CloseHandle(letting_go);
            EXPECT_EQ(failed, L"");
            EXPECT_EQ(get(installed + L"\\" + folder_of[0] + L"\\keep.txt"), "installed");
        } else {
            CloseHandle(held);
            EXPECT_EQ(failed, full(moved) + L" is in use by another program, most likely a virus scanner. Wait a "
                                            L"minute, then run the setup again; if this happens every time, allow "
                                            L"the folder in your antivirus.");
            EXPECT_EQ(get(moved + L"\\keep.txt"), "installed");
            EXPECT_TRUE(exists(versions + L"\\1.5.0.moved.txt")) << "kept for the next run";
        }
    }
}

// A stale zip of the part's name that cannot be replaced (a scanner holds it
// open) must not be unpacked in place of the verified download.
TEST_F(acquisition, a_stale_zip_that_cannot_be_replaced_is_never_unpacked)
{
    put(zip(0), stale);
    HANDLE held = CreateFileW(zip(0).c_str(), GENERIC_READ, 0 /* no sharing */, 0, OPEN_EXISTING, 0, 0);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    g_fake_http = {{200, body0.c_str(), 1}};

    EXPECT_EQ(acquire(0), L"Could not write to " + std::wstring(tree.downloads_dir) + L".");
    CloseHandle(held);
    EXPECT_TRUE(g_unpacks.empty());
    EXPECT_EQ(get(zip(0)), stale);
    EXPECT_EQ(g_http_calls.size(), 1u) << "a verified body is not fetched again";
}

// A temporary file that holds the start of the part is continued with a
// range request; whatever does not continue it exactly starts over, and a
// continued file that fails its checksum is fetched once more, whole.
TEST_F(acquisition, a_download_cut_short_is_continued_where_it_stopped)
{
    const std::string head = body0.substr(0, 600), rest = body0.substr(600);
    const std::string middle = body0.substr(600, 300), tail = body0.substr(900);
    const std::string other_head = same_length_other.substr(0, 600); // another file's start
    struct row {
        const char* name;
        const std::string* held;      // the .part file before the run; null: none
        std::vector<fake_http> http;
        std::vector<uint64_t> froms;  // the Range of each request, 0 for the whole file
        std::wstring failed;
        int downloading_lines;
        std::vector<fake_api> api;    // the release queries of the attempts after the first
    } rows[] = {
        {"206 with the rest is appended", &head, {{206, rest.c_str(), 1}}, {600}, L"", 1},
        {"a server that ignores ranges sends the whole file", &head, {{200, body0.c_str(), 1}}, {600}, L"", 1},
        {"an inconsistent 206 is not appended: a plain request follows", &head,
         {{206, rest.c_str(), 1, true}, {200, body0.c_str(), 1}}, {600, 0}, L"", 1},
        {"416: a plain request follows", &head, {{416, nullptr, 0}, {200, body0.c_str(), 1}}, {600, 0}, L"", 1},
        {"another file's start: one full download more", &other_head,
         {{206, rest.c_str(), 1}, {200, body0.c_str(), 1}}, {600, 0}, L"", 2},
        {"another file's start, and the whole file is wrong too", &other_head,
         {{206, rest.c_str(), 1}, {200, same_length_other.c_str(), 1}}, {600, 0}, checksum_differs, 2},
        {"a whole wrong body is never fetched twice", nullptr, {{200, same_length_other.c_str(), 1}}, {0},
         checksum_differs, 1},
        {"a cut answer: the next attempt asks for the rest", nullptr,
         {{200, head.c_str(), 0}, {206, rest.c_str(), 1}}, {0, 600}, L"", 2, {{0, 0}}},
        {"a cut rest: the next attempt asks for what is still missing", &head,
         {{206, middle.c_str(), 0}, {206, tail.c_str(), 1}}, {600, 900}, L"", 2, {{0, 0}}},
        {"a file that holds the whole part is the part: nothing is fetched", &body0, {}, {}, L"", 0},
        {"a file as long as the part with other bytes is fetched whole", &same_length_other,
         {{200, body0.c_str(), 1}}, {0}, L"", 1},
        {"a file longer than the part is no start either", &longer, {{200, body0.c_str(), 1}}, {0}, L"", 1},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        fresh();
        if (r.held)
            put(temp(0), *r.held);
        g_fake_http = r.http;
        g_fake_api = r.api;

        EXPECT_EQ(acquire(0), r.failed);
        std::vector<uint64_t> froms;
        for (const fake_call& c : g_http_calls)
            froms.push_back(c.from);
        EXPECT_EQ(froms, r.froms);
        int lines = 0;
        for (const std::wstring& s : g_statuses)
            lines += s == downloading(1, 0);
        EXPECT_EQ(lines, r.downloading_lines);
        EXPECT_FALSE(exists(temp(0))) << "moved into the cache, or deleted with the checksum message";
        if (r.failed.empty()) {
            EXPECT_TRUE(get(zip(0)) == body0);
            EXPECT_EQ(g_unpacks.size(), 1u);
        } else {
            EXPECT_FALSE(exists(zip(0)));
            EXPECT_TRUE(g_unpacks.empty());
        }
    }
}

// A run that gives up on a failing server keeps what arrived; the next run
// asks for the rest only.
TEST_F(acquisition, the_bytes_of_a_run_that_gave_up_start_the_next_one)
{
    const std::string head = body0.substr(0, 600), rest = body0.substr(600);
    g_fake_http = {{200, head.c_str(), 0}};
    for (int k = 0; k < 7; k++)
        g_fake_http.push_back({503, nullptr, 0});
    g_fake_api = std::vector<fake_api>(4, fake_api{0, 0}); // attempts 2, 4, 6, 8 ask the API in vain
    EXPECT_EQ(acquire(0), servers_failing);
    EXPECT_EQ(get(temp(0)), head);
    ASSERT_EQ(g_http_calls.size(), 8u);
    EXPECT_EQ(g_http_calls[7].from, 600u);

    reset_fakes();
    g_fake_http = {{206, rest.c_str(), 1}};
    EXPECT_EQ(acquire(0), L"");
    ASSERT_EQ(g_http_calls.size(), 1u);
    EXPECT_EQ(g_http_calls[0].from, 600u);
    EXPECT_TRUE(get(zip(0)) == body0);
}

// A disk that fills up in the middle of a part, with the file sink's writer
// thread between the fetch and the disk: the run ends at once with the
// message about the downloads folder, and no temporary file is left.
static int g_writes_until_full;
static BOOL WINAPI filling_write(HANDLE file, LPCVOID data, DWORD len, LPDWORD written, LPOVERLAPPED overlapped)
{
    if (g_writes_until_full-- > 0)
        return WriteFile(file, data, len, written, overlapped);
    *written = 0;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

TEST_F(acquisition, a_disk_that_fills_up_mid_part_ends_the_run_without_a_retry)
{
    const std::string big = pattern(5 * 65536 + 100, 6); // six chunks
    strcpy(list.parts[0].sha256, "0000000000000000000000000000000000000000000000000000000000000000");
    list.parts[0].size = big.size();
    g_fake_http = {{200, big.c_str(), 1}};
    g_writes_until_full = 2;
    g_write_file = filling_write;
    std::wstring failed = acquire(0);
    g_write_file = WriteFile;

    EXPECT_EQ(failed, L"Could not write to " + std::wstring(tree.downloads_dir) + L".");
    EXPECT_EQ(g_http_calls.size(), 1u) << "a full disk is not the server's fault";
    EXPECT_TRUE(g_pauses.empty());
    EXPECT_FALSE(exists(temp(0)));
    EXPECT_FALSE(exists(zip(0)));
    EXPECT_TRUE(g_unpacks.empty());
}
