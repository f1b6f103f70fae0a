// The two sinks of http_get: the growing memory block and the hashed file,
// the latter also with its writer thread.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>

#include "net/file_sink.h"
#include "net/http.h"

#include "disk_fixture.h"

namespace {

// SHA-256 of "abc" (FIPS 180-2, appendix B.1).
const char abc_sha256[] = "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad";

struct sha256 {
    BCRYPT_ALG_HANDLE alg = 0;
    BCRYPT_HASH_HANDLE hash = 0;
    sha256()
    {
        BCryptOpenAlgorithmProvider(&alg, BCRYPT_SHA256_ALGORITHM, 0, 0);
        BCryptCreateHash(alg, &hash, 0, 0, 0, 0, 0);
    }
    ~sha256()
    {
        BCryptDestroyHash(hash);
        BCryptCloseAlgorithmProvider(alg, 0);
    }
    std::string hex()
    {
        unsigned char d[32];
        if (BCryptFinishHash(hash, d, 32, 0) != 0)
            return "<finish failed>";
        char out[65];
        for (int i = 0; i < 32; i++)
            snprintf(out + 2 * i, 3, "%02x", d[i]);
        return out;
    }
};

std::wstring temp_file(const wchar_t* name)
{
    wchar_t dir[MAX_PATH];
    GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + L"tolvar-unit-sinks-" + name;
}

} // namespace

TEST(mem_sink, grows_to_twice_the_need_and_keeps_the_content_terminated)
{
    mem_buf m;
    memset(&m, 0, sizeof m);
    const char* text = "0123456789abcdeABCDEFGHIJ";
    struct step {
        uint32_t n;
        uint64_t len, cap;
    } steps[] = {{10, 10, 22}, {5, 15, 22}, {10, 25, 52}};
    uint64_t at = 0;
    for (const step& s : steps) {
        char* before = m.data;
        ASSERT_EQ(mem_sink(&m, text + at, s.n), 1);
        at += s.n;
        EXPECT_EQ(m.len, s.len);
        EXPECT_EQ(m.cap, s.cap);
        if (s.n == 5)
            EXPECT_EQ(m.data, before) << "no growth while the block has room";
        ASSERT_NE(m.data, nullptr);
        EXPECT_EQ(m.data[m.len], 0);
    }
    EXPECT_EQ(std::string(m.data), text);
    free(m.data);
}

TEST(mem_sink, a_growth_that_cannot_be_had_leaves_the_record_as_it_was)
{
    mem_buf m;
    memset(&m, 0, sizeof m);
    ASSERT_EQ(mem_sink(&m, "abc", 3), 1);
    char* block = m.data;
    uint64_t cap = m.cap;
    // A record that claims 2^62 bytes makes the growth ask realloc for more
    // than the address space holds.
    m.len = (uint64_t)1 << 62;
    EXPECT_EQ(mem_sink(&m, "def", 3), 0);
    EXPECT_EQ(m.data, block);
    EXPECT_EQ(m.len, (uint64_t)1 << 62);
    EXPECT_EQ(m.cap, cap);
    EXPECT_STREQ(m.data, "abc");
    free(m.data);
}

TEST(file_sink, writes_the_chunks_in_order_and_hashes_exactly_them)
{
    std::wstring path = temp_file(L"ok.bin");
    sha256 h;
    file_ctx f = {CreateFileW(path.c_str(), GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0), h.hash};
    ASSERT_NE(f.file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(file_sink(&f, "ab", 2), 1);
    EXPECT_EQ(file_sink(&f, "c", 1), 1);
    CloseHandle(f.file);
    EXPECT_EQ(get(path), "abc");
    EXPECT_EQ(h.hex(), abc_sha256);
    DeleteFileW(path.c_str());
}

// A chunk that did not reach the file whole must not reach the hash either:
// the hash then still describes the file. The first chunk goes to a good
// file; the second, with the same hash, to a handle that refuses it.
TEST(file_sink, a_failed_write_returns_0_and_leaves_the_hash_alone)
{
    std::wstring path = temp_file(L"readonly.bin");
    sha256 h;
    file_ctx good = {CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, 0, CREATE_ALWAYS, 0, 0),
                     h.hash};
    ASSERT_NE(good.file, INVALID_HANDLE_VALUE);
    ASSERT_EQ(file_sink(&good, "abc", 3), 1);
    // Opened for reading only: WriteFile fails with access denied.
    file_ctx bad = {CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0,
                                OPEN_EXISTING, 0, 0),
                    h.hash};
    ASSERT_NE(bad.file, INVALID_HANDLE_VALUE);
    EXPECT_EQ(file_sink(&bad, "XYZ", 3), 0);
    CloseHandle(bad.file);
    CloseHandle(good.file);
    EXPECT_EQ(h.hex(), abc_sha256);
    DeleteFileW(path.c_str());
}

// A non-blocking pipe with a small buffer takes at most part of a larger
// write and still reports success, with the shorter count (Wine takes
// nothing of it and reports 0 bytes written).
TEST(file_sink, a_short_write_returns_0_and_leaves_the_hash_alone)
{
    wchar_t name[64];
    swprintf(name, 64, L"\\\\.\\pipe\\tolvar-unit-sinks-%lu", GetCurrentProcessId());
    HANDLE server = CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_NOWAIT, 1,
                                     0, 16, 0, 0);
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    HANDLE client = CreateFileW(name, GENERIC_WRITE | FILE_READ_ATTRIBUTES, 0, 0, OPEN_EXISTING, 0, 0);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    DWORD mode = PIPE_READMODE_BYTE | PIPE_NOWAIT;
    ASSERT_TRUE(SetNamedPipeHandleState(client, &mode, 0, 0));

    static char big[65536];
    memset(big, 'x', sizeof big);
    // The handle really gives short writes, not failed ones.
    DWORD written = sizeof big;
    ASSERT_TRUE(WriteFile(client, big, sizeof big, &written, 0));
    ASSERT_LT(written, sizeof big);

    sha256 h;
    file_ctx f = {client, h.hash};
    EXPECT_EQ(file_sink(&f, big, sizeof big), 0);
    // Nothing was hashed: the hash is still that of the empty input.
    EXPECT_EQ(h.hex(), "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    CloseHandle(client);
    CloseHandle(server);
}

// The file sink with its writer thread, as the part download runs it, and
// without one: the same bytes must reach the file and the hash either way.
namespace {

// WriteFile for the file sink: the call numbered g_fail_at (from 0) hands
// half of its chunk to the file and then reports a short write, or fails.
int g_write_calls;
int g_fail_at = -1;
bool g_fail_short;
HANDLE g_stuck_entered; // set by the first call, which then waits for
HANDLE g_stuck_release; // this one, when both are there

BOOL WINAPI scripted_write(HANDLE file, LPCVOID data, DWORD len, LPDWORD written, LPOVERLAPPED overlapped)
{
    int call = g_write_calls++;
    if (call == 0 && g_stuck_release) {
        SetEvent(g_stuck_entered);
        WaitForSingleObject(g_stuck_release, INFINITE);
    }
    if (call != g_fail_at)
        return WriteFile(file, data, len, written, overlapped);
    DWORD half = 0;
    WriteFile(file, data, len / 2, &half, overlapped);
    *written = half;
    if (g_fail_short)
        return TRUE;
    SetLastError(ERROR_DISK_FULL);
    return FALSE;
}

std::string get_all(const std::wstring& path)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0, OPEN_EXISTING, 0, 0);
    if (f == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string text;
    static char buf[65536];
    DWORD got = 0;
    while (ReadFile(f, buf, sizeof buf, &got, 0) && got)
        text.append(buf, got);
    CloseHandle(f);
    return text;
}

std::string sha256_hex(const std::string& bytes)
{
    sha256 h;
    BCryptHashData(h.hash, (PUCHAR)bytes.data(), (ULONG)bytes.size(), 0);
    return h.hex();
}

// Chunk k of a stream: sizes that fill a buffer of the ring, barely touch
// it, or miss it by one, with bytes that tell every chunk apart.
std::string chunk(int k)
{
    static const size_t sizes[] = {65536, 1, 40000, 65535, 7, 65536, 300};
    std::string s(sizes[k % 7], 0);
    for (size_t i = 0; i < s.size(); i++)
        s[i] = (char)(k * 31 + i * 7 + i / 251);
    return s;
}

std::string chunks(int n)
{
    std::string s;
    for (int k = 0; k < n; k++)
        s += chunk(k);
    return s;
}

struct file_sink_stream : ::testing::Test {
    std::wstring path = temp_file(L"stream.bin");
    sha256 h;
    file_ctx f = {};

    void SetUp() override
    {
        g_write_file = scripted_write;
        g_write_calls = 0;
        g_fail_at = -1;
        g_fail_short = false;
        g_stuck_entered = g_stuck_release = 0;
        f = file_ctx{};
        f.file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, 0, CREATE_ALWAYS, 0, 0);
        f.hash = h.hash;
        ASSERT_NE(f.file, INVALID_HANDLE_VALUE);
    }
    void TearDown() override
    {
        g_write_file = WriteFile;
        if (f.file != INVALID_HANDLE_VALUE)
            CloseHandle(f.file);
        DeleteFileW(path.c_str());
    }
};

} // namespace

TEST_F(file_sink_stream, every_chunk_reaches_file_and_hash_in_order_through_many_turns_of_the_ring)
{
    file_sink_start(&f);
    ASSERT_NE(f.writer, nullptr);
    const int n = 5 * file_sink_ring + 3;
    for (int k = 0; k < n; k++) {
        std::string c = chunk(k);
        ASSERT_EQ(file_sink(&f, c.data(), (uint32_t)c.size()), 1) << k;
    }
    EXPECT_EQ(file_sink_finish(&f), 1);
    EXPECT_EQ(f.writer, nullptr);
    EXPECT_EQ(f.write_failed, 0);
    CloseHandle(f.file);
    f.file = INVALID_HANDLE_VALUE;
    std::string want = chunks(n);
    EXPECT_TRUE(get_all(path) == want) << "the file holds the stream in order";
    EXPECT_EQ(h.hex(), sha256_hex(want));
}

// Whatever stops the stored chunks (a failed or short write, a hash that
// cannot be fed), the fetch stops within a ring of chunks, and the file
// keeps exactly the chunks before the failed one: the bytes the hash saw,
// so that a download continued from the file stays right.
TEST_F(file_sink_stream, a_chunk_that_cannot_be_stored_stops_the_fetch_with_file_and_hash_alike)
{
    struct row {
        const char* name;
        int fail_at;     // the write that fails; -1: none
        bool short_write;
        bool no_hash;    // a hash that refuses every update
        int kept;        // chunks the file and the hash keep
        bool write_failed;
    } rows[] = {
        {"the first write fails", 0, false, false, 0, true},
        {"a write fails mid-stream", 11, false, false, 11, true},
        {"a write takes half a chunk mid-stream", 11, true, false, 11, true},
        {"the hash refuses the first chunk", -1, false, true, 0, false},
    };
    for (bool started : {true, false}) {
        for (const row& r : rows) {
            SCOPED_TRACE(std::string(r.name) + (started ? ", started" : ", inline"));
            TearDown();
            sha256 fresh;
            SetUp();
            f.hash = r.no_hash ? 0 : fresh.hash;
            g_fail_at = r.fail_at;
            g_fail_short = r.short_write;
            if (started)
                file_sink_start(&f);

            int taken = 0;
            const int offered = r.kept + 3 * file_sink_ring;
            while (taken < offered) {
                std::string c = chunk(taken);
                if (!file_sink(&f, c.data(), (uint32_t)c.size()))
                    break;
                taken++;
            }
            EXPECT_LT(taken, offered) << "the fetch is told to stop";
            EXPECT_LE(taken, r.kept + file_sink_ring + 1) << "within a ring of chunks";
            if (!started)
                EXPECT_EQ(taken, r.kept) << "at once";
            EXPECT_EQ(file_sink_finish(&f), 0);
            EXPECT_EQ(f.write_failed != 0, r.write_failed);
            EXPECT_EQ(file_sink(&f, "x", 1), 0) << "a failed sink stays failed";
            CloseHandle(f.file);
            f.file = INVALID_HANDLE_VALUE;
            std::string want = chunks(r.kept);
            EXPECT_EQ(get_all(path).size(), want.size());
            EXPECT_TRUE(get_all(path) == want);
            if (!r.no_hash)
                EXPECT_EQ(fresh.hex(), sha256_hex(want));
        }
    }
}

// Memory stays bounded: while the disk does not take the first chunk, the
// fetch gets rid of a ring of chunks and then waits.
TEST_F(file_sink_stream, a_stuck_disk_holds_the_fetch_after_a_ring_of_chunks)
{
    g_stuck_entered = CreateEventW(0, TRUE, FALSE, 0);
    g_stuck_release = CreateEventW(0, TRUE, FALSE, 0);
    file_sink_start(&f);
    static const int n = 4 * file_sink_ring;
    static LONG taken;
    taken = 0;
    struct feeder {
        static DWORD WINAPI run(void* ctx)
        {
            for (int k = 0; k < n; k++) {
                std::string c = chunk(k);
                if (!file_sink(ctx, c.data(), (uint32_t)c.size()))
                    return 1;
                InterlockedIncrement(&taken);
            }
            return 0;
        }
    };
    HANDLE producer = CreateThread(0, 0, feeder::run, &f, 0, 0);
    ASSERT_NE(producer, nullptr);
    ASSERT_EQ(WaitForSingleObject(g_stuck_entered, 10000), WAIT_OBJECT_0);
    for (int i = 0; i < 1000 && InterlockedCompareExchange(&taken, 0, 0) < file_sink_ring; i++)
        Sleep(10);
    // A queue without bound would take all the chunks now.
    EXPECT_EQ(WaitForSingleObject(producer, 300), (DWORD)WAIT_TIMEOUT);
    EXPECT_EQ(InterlockedCompareExchange(&taken, 0, 0), file_sink_ring);

    SetEvent(g_stuck_release);
    EXPECT_EQ(WaitForSingleObject(producer, 10000), WAIT_OBJECT_0);
    DWORD code = 1;
    GetExitCodeThread(producer, &code);
    EXPECT_EQ(code, 0u);
    CloseHandle(producer);
    EXPECT_EQ(file_sink_finish(&f), 1);
    CloseHandle(f.file);
    f.file = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(get_all(path) == chunks(n));
    EXPECT_EQ(h.hex(), sha256_hex(chunks(n)));
    CloseHandle(g_stuck_entered);
    CloseHandle(g_stuck_release);
}
