#include "install/fetch_list.h"

#include <stdlib.h>
#include <string.h>

#include "base/cmdline.h"
#include "base/text.h"
#include "install/pause.h"
#include "install/tag_arg.h"
#include "net/api_link.h"
#include "net/http.h"
#include "net/release_link.h"
#include "net/retry.h"
#include "ui/status.h"

const wchar_t searching[] = L"Looking for the latest Tolvar...";

const char* manifest_url()
{
    static char u[1024]; // the setup-list URL
    const char* from_env = getenv("TOLVAR_SETUP_LIST");
    char tag[128];
    tag_arg(g_cmdline, tag);
    if (from_env && from_env[0])
        format(u, sizeof u, "%s", from_env);
    else
        setup_list_link(tag, u); // fits: a pinned tag has at most 127 characters
    return u;
}

enum attempt_result {
    attempt_done,  // the file is in the buffer
    attempt_retry, // failed; may be tried again
    attempt_stop,  // failed; trying again would not help
};

static void restart(mem_buf* buf)
{
    free(buf->data);
    memset(buf, 0, sizeof *buf);
}

// A 200 with an empty body leaves no data: a failure unless empty_ok.
static int fetch_into(mem_buf* buf, const char* url, const wchar_t* accept, int empty_ok)
{
    restart(buf);
    return http_get(url, mem_sink, buf, 0, accept) && (buf->data || empty_ok);
}

static attempt_result attempt(const char* url, mem_buf* buf, int empty_ok)
{
    g_http_status = 0;
    if (fetch_into(buf, url, 0, empty_ok))
        return attempt_done;
    uint32_t direct = g_http_status;
    if (is_server_failure(direct)) {
        char detour[1024];
        if (api_link_for(url, detour)) {
            if (fetch_into(buf, detour, L"application/octet-stream", empty_ok))
                return attempt_done;
            // The direct answer is the one to report and to class by.
            g_http_status = direct;
            return attempt_retry;
        }
    }
    return is_retryable(g_http_status) ? attempt_retry : attempt_stop;
}

int fetch_release_file(const char* url, mem_buf* buf, int empty_ok)
{
    for (int k = 0;; k++) {
        attempt_result result = attempt(url, buf, empty_ok);
        if (result == attempt_done)
            return 1;
        if (result == attempt_stop || k == 7)
            break;
        status(L"GitHub didn't answer (%lu). Trying again in %d s...", (unsigned long)g_http_status, waits[k]);
        pause_seconds(waits[k]);
        status(searching);
    }
    if (g_http_status == 404)
        return 0;
    if (g_http_status == 0)
        fail(L"Could not reach GitHub to get Tolvar. Check your internet connection and try again.");
    fail(L"GitHub's download servers are failing right now (an error 500 or above, tried 8 times over "
         L"3 minutes). This is on GitHub's side: try again in a few minutes, or later today.");
}

void fetch_setup_list(mem_buf* list)
{
    if (!fetch_release_file(manifest_url(), list, 0))
        fail(L"Tolvar has no release to install from yet. Its releases page says when one is out: %hs%hs/releases",
             pre, game_repo);
}
