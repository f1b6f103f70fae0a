#pragma once
// Small helpers for tests that build fixture files and folders on the real
// file system under Wine.
#include <gtest/gtest.h>
#include <string.h>
#include <windows.h>

#include <string>

inline bool exists(const std::wstring& path)
{
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Creates or replaces path with the n bytes at data.
inline void put(const std::wstring& path, const char* data, size_t n)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_WRITE, 0, 0, CREATE_ALWAYS, 0, 0);
    ASSERT_NE(f, INVALID_HANDLE_VALUE) << "cannot create the fixture file";
    DWORD w = 0;
    WriteFile(f, data, (DWORD)n, &w, 0);
    CloseHandle(f);
}

inline void put(const std::wstring& path, const char* text)
{
    put(path, text, strlen(text));
}

// The first 4 KiB of path, or "<missing>".
inline std::string get(const std::wstring& path)
{
    HANDLE f = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, 0, OPEN_EXISTING, 0, 0);
    if (f == INVALID_HANDLE_VALUE)
        return "<missing>";
    char buf[4096];
    DWORD got = 0;
    ReadFile(f, buf, sizeof buf, &got, 0);
    CloseHandle(f);
    return std::string(buf, got);
}
