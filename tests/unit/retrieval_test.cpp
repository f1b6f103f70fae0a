// The setup-list retrieval loop, with the network and the waits replaced.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "base/cmdline.h"
#include "install/fetch_list.h"
#include "loop_fakes.h"

namespace {

const wchar_t* no_release =
    L"Tolvar has no release to install from yet. Its releases page says when one is out: "
    L"https://github.com/brannix/ProjectTolvar/releases";
const char* latest = "https://github.com/brannix/ProjectTolvar/releases/latest/download/tolvar-setup.txt";

struct outcome {
    std::string text;     // the list that came back, when it did
    std::wstring failed;  // the message, when the loop gave up
};

outcome retrieve()
{
    static mem_buf list;
    list = mem_buf{};
    outcome out;
    if (setjmp(g_fail_jump) == 0) {
        fetch_setup_list(&list);
        out.text = list.data ? list.data : "";
    } else {
        out.failed = g_failed;
    }
    free(list.data);
    list = mem_buf{};
    return out;
}

class retrieval : public testing::Test {
protected:
    void SetUp() override
    {
        reset_fakes();
        g_cmdline[0] = 0;
        _putenv("TOLVAR_SETUP_LIST=");
    }
};

} // namespace

TEST_F(retrieval, no_answer_runs_the_whole_schedule_with_a_detour_each_time)
{
    for (int k = 0; k < 8; k++) {
        g_fake_http.push_back({0, nullptr, 0});
        g_fake_api.push_back({0, 0});
    }
    outcome out = retrieve();
    EXPECT_EQ(out.failed, unreachable);
    EXPECT_EQ(g_http_calls.size(), 8u);
    EXPECT_EQ(g_api_calls.size(), 8u) << "every attempt that got no answer asks the API";
    EXPECT_EQ(g_pauses, (std::vector<int>{3, 6, 12, 20, 30, 45, 60})) << "no wait after the last attempt";
    ASSERT_EQ(g_statuses.size(), 14u);
    EXPECT_EQ(g_statuses[0], L"GitHub didn't answer (0). Trying again in 3 s...");
    EXPECT_EQ(g_statuses[1], L"Looking for the latest Tolvar...");
    EXPECT_EQ(g_statuses[12], L"GitHub didn't answer (0). Trying again in 60 s...");
}

TEST_F(retrieval, status_decides_between_retrying_and_giving_up)
{
    struct row {
        const char* name;
        std::vector<fake_http> http;
        std::vector<fake_api> api;
        std::wstring failed;     // empty: the list arrives
        size_t attempts;         // direct fetches made
        std::vector<int> pauses;
    } rows[] = {
        {"404 gives up at once", {{404, nullptr, 0}}, {}, no_release, 1, {}},
        {"401 gives up at once with the servers message", {{401, nullptr, 0}}, {}, servers, 1, {}},
        {"410 likewise", {{410, nullptr, 0}}, {}, servers, 1, {}},
        {"503, then the API serves the list: no retry",
         {{503, nullptr, 0}, {200, "tag 1\n", 1}}, {{1, 200}}, L"", 1, {}},
        {"503, release query 404: gives up with the no-release message",
         {{503, nullptr, 0}}, {{0, 404}}, no_release, 1, {}},
        {"503, release query 403: retried, then a good answer",
         {{503, nullptr, 0}, {200, "tag 1\n", 1}}, {{0, 403}}, L"", 2, {3}},
        {"503, API URL but its fetch fails: retried as 503",
         {{503, nullptr, 0}, {0, nullptr, 0}, {200, "tag 1\n", 1}}, {{1, 200}}, L"", 2, {3}},
        {"200 with an empty body every time: no detour, 8 attempts",
         std::vector<fake_http>(8, fake_http{200, nullptr, 1}), {}, servers, 8, {3, 6, 12, 20, 30, 45, 60}},
        {"a cut body (200 and failure) is retried",
         {{200, "tag", 0}, {200, "tag 1\n", 1}}, {}, L"", 2, {3}},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        reset_fakes();
        g_fake_http = r.http;
        g_fake_api = r.api;
        outcome out = retrieve();
        EXPECT_EQ(out.failed, r.failed);
        if (r.failed.empty())
            EXPECT_EQ(out.text, "tag 1\n");
        size_t direct = 0;
        for (const fake_call& c : g_http_calls)
            direct += c.url == latest;
        EXPECT_EQ(direct, r.attempts);
        EXPECT_EQ(g_pauses, r.pauses);
    }
}

TEST_F(retrieval, the_retry_line_shows_the_status_that_classed_the_attempt)
{
    g_fake_http = {{503, nullptr, 0}, {200, "tag 1\n", 1}};
    g_fake_api = {{0, 403}};
    retrieve();
    ASSERT_FALSE(g_statuses.empty());
    EXPECT_EQ(g_statuses[0], L"GitHub didn't answer (403). Trying again in 3 s...");
}

TEST_F(retrieval, the_detour_asks_for_the_asset_as_a_file)
{
    g_fake_http = {{502, nullptr, 0}, {200, "tag 1\n", 1}};
    g_fake_api = {{1, 200}};
    retrieve();
    ASSERT_EQ(g_http_calls.size(), 2u);
    EXPECT_EQ(g_http_calls[0].accept, L"");
    EXPECT_EQ(g_http_calls[1].url, api_url);
    EXPECT_EQ(g_http_calls[1].accept, L"application/octet-stream");
}

TEST_F(retrieval, url_comes_from_the_environment_the_pinned_tag_or_latest)
{
    EXPECT_STREQ(manifest_url(), latest);
    wcscpy(g_cmdline, L"--repair --tag 1.4.2 --launch");
    EXPECT_STREQ(manifest_url(),
                 "https://github.com/brannix/ProjectTolvar/releases/download/1.4.2/tolvar-setup.txt");
    wcscpy(g_cmdline, L"--tag 1/4");
    EXPECT_STREQ(manifest_url(), latest) << "a tag with a disallowed character pins nothing";
    _putenv("TOLVAR_SETUP_LIST=http://127.0.0.1/list.txt?x=1");
    wcscpy(g_cmdline, L"--tag 1.4.2");
    EXPECT_STREQ(manifest_url(), "http://127.0.0.1/list.txt?x=1") << "the variable wins over --tag";
    _putenv("TOLVAR_SETUP_LIST=");
}

TEST_F(retrieval, a_list_host_other_than_github_is_never_detoured)
{
    _putenv("TOLVAR_SETUP_LIST=https://example.test/list.txt");
    for (int k = 0; k < 8; k++)
        g_fake_http.push_back({502, nullptr, 0});
    outcome out = retrieve();
    EXPECT_EQ(out.failed, servers);
    ASSERT_EQ(g_http_calls.size(), 8u);
    for (const fake_call& c : g_http_calls)
        EXPECT_EQ(c.url, "https://example.test/list.txt");
    EXPECT_EQ(g_api_calls, std::vector<std::string>{}) << "no release query: the list is not GitHub's";
    _putenv("TOLVAR_SETUP_LIST=");
}
