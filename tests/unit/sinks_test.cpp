// The two sinks of http_get: the growing memory block and the hashed file.
#include <gtest/gtest.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

#include <string>

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
