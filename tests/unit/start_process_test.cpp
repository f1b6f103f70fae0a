// Starting a program: which failures are tried again, and how often.
#include <gtest/gtest.h>
#include <windows.h>

#include <string>
#include <vector>

#include "base/start_process.h"

namespace {

// A scripted CreateProcessW: each attempt takes the next error (0 = start).
std::vector<DWORD> g_script;
size_t g_attempts;
std::wstring g_seen_cmd, g_seen_folder;
DWORD g_seen_flags;
BOOL g_seen_inherit;

BOOL WINAPI scripted_create(LPCWSTR app, LPWSTR cmd, LPSECURITY_ATTRIBUTES, LPSECURITY_ATTRIBUTES,
                            BOOL inherit, DWORD flags, LPVOID env, LPCWSTR folder, LPSTARTUPINFOW,
                            LPPROCESS_INFORMATION pi)
{
    EXPECT_EQ(app, nullptr);
    EXPECT_EQ(env, nullptr);
    g_seen_cmd = cmd;
    g_seen_folder = folder ? folder : L"";
    g_seen_flags = flags;
    g_seen_inherit = inherit;
    DWORD error = g_attempts < g_script.size() ? g_script[g_attempts] : 0;
    ++g_attempts;
    if (error) {
        SetLastError(error);
        return FALSE;
    }
    pi->hProcess = pi->hThread = (HANDLE)0x1234;
    return TRUE;
}

struct start_process_scripted : ::testing::Test {
    void SetUp() override
    {
        g_create_process = scripted_create;
        g_attempts = 0;
    }
    void TearDown() override { g_create_process = CreateProcessW; }
};

} // namespace

TEST_F(start_process_scripted, only_an_internal_error_is_tried_again_and_at_most_three_times)
{
    struct row {
        const char* name;
        std::vector<DWORD> script;
        bool started;
        size_t attempts;
    } rows[] = {
        {"started at once", {}, true, 1},
        {"two internal errors, then started", {ERROR_INTERNAL_ERROR, ERROR_INTERNAL_ERROR}, true, 3},
        {"internal errors only",
         {ERROR_INTERNAL_ERROR, ERROR_INTERNAL_ERROR, ERROR_INTERNAL_ERROR, 0},
         false, 3},
        {"program missing", {ERROR_FILE_NOT_FOUND}, false, 1},
        {"not a program", {ERROR_BAD_EXE_FORMAT}, false, 1},
        {"internal error, then access denied", {ERROR_INTERNAL_ERROR, ERROR_ACCESS_DENIED}, false, 2},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.name);
        g_script = r.script;
        g_attempts = 0;
        wchar_t cmd[] = L"\"C:\\x\\game.exe\" --a";
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        PROCESS_INFORMATION pi = {};
        EXPECT_EQ(start_process(cmd, CREATE_NO_WINDOW, L"C:\\x", &si, &pi), r.started);
        EXPECT_EQ(g_attempts, r.attempts);
        if (!r.started) // the caller's message may look at why
            EXPECT_EQ(GetLastError(), r.script[r.attempts - 1]);
        EXPECT_EQ(g_seen_cmd, L"\"C:\\x\\game.exe\" --a");
        EXPECT_EQ(g_seen_folder, L"C:\\x");
        EXPECT_EQ(g_seen_flags, (DWORD)CREATE_NO_WINDOW);
        EXPECT_FALSE(g_seen_inherit);
    }
}

TEST(start_process, starts_a_real_program_in_the_given_folder)
{
    wchar_t system[MAX_PATH];
    GetSystemDirectoryW(system, MAX_PATH);
    std::wstring line = L"\"" + std::wstring(system) + L"\\cmd.exe\" /c if exist win.ini (exit 7) else (exit 3)";
    std::vector<wchar_t> cmd(line.begin(), line.end());
    cmd.push_back(0);
    wchar_t windows[MAX_PATH];
    GetWindowsDirectoryW(windows, MAX_PATH); // holds win.ini
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(start_process(cmd.data(), CREATE_NO_WINDOW, windows, &si, &pi));
    WaitForSingleObject(pi.hProcess, 30000);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    EXPECT_EQ(code, 7u);

    wchar_t missing[] = L"\"C:\\no such folder\\game.exe\"";
    EXPECT_FALSE(start_process(missing, 0, windows, &si, &pi));
    EXPECT_NE(GetLastError(), (DWORD)ERROR_INTERNAL_ERROR);
}
