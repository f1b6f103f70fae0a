#pragma once
// Link-time stand-ins for the network, the window channel, the waits and the
// unpacking, so that the retry loops of the installer run in a unit test in
// microseconds.
#include <setjmp.h>
#include <stdint.h>

#include <string>
#include <vector>

// One scripted answer. Like the real http_get, the stand-in returns 1 only
// for a 200 whose body the sink took whole (in chunks of at most 64 KiB) and
// whose length meets the expected one, when the caller gave one.
struct fake_http {
    uint32_t status;   // 0: no answer at all (g_http_status untouched)
    const char* body;  // handed to the sink when status is 200; null for none
    int result;        // 0: the transfer fails even so (a cut connection)
    bool bad_range;    // a 206 whose Content-Range does not continue the file
    size_t length;     // bytes of body; 0: up to its first zero byte
};

struct fake_api {
    int yields;        // 1: an API asset URL comes back
    uint32_t status;   // what the release query leaves in g_http_status; 0 = no answer
};

struct fake_unpack {
    int i, n;
    std::string sha256;
    std::wstring staging_dir, zip;
};

struct fake_call {
    std::string url;
    std::wstring accept;
    uint64_t from;     // the Range asked for: bytes from here on; 0 = the whole file
};

// A call that finds its queue empty fails the test.
extern std::vector<fake_http> g_fake_http;     // answers, consumed in order
extern std::vector<fake_api> g_fake_api;       // api_link_for results, in order
extern std::vector<fake_call> g_http_calls;    // every http_get and http_get_range
extern std::vector<std::string> g_api_calls;   // every api_link_for link that would query the API
extern std::vector<fake_unpack> g_unpacks;     // every unpack_part
extern std::vector<std::wstring> g_statuses;   // every status line
extern std::vector<int> g_pauses;              // every wait, in seconds
extern std::wstring g_failed;                  // the fail() message
extern jmp_buf g_fail_jump;                    // fail() jumps back here

void reset_fakes();

// Texts and links the retrieval of the list and of its signature share.
inline const wchar_t* const unreachable =
    L"Could not reach GitHub to get Tolvar. Check your internet connection and try again.";
inline const wchar_t* const servers =
    L"GitHub's download servers are failing right now (an error 500 or above, tried 8 times over 3 minutes). "
    L"This is on GitHub's side: try again in a few minutes, or later today.";
inline const char* const api_url = "https://api.github.com/repos/brannix/ProjectTolvar/releases/assets/7";
