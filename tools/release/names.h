#pragma once
// Small text helpers of the release tool: how names are shown, compared the
// way Windows compares them, and cut into words.

#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

// The bytes for a message, between single quotes: printable UTF-8 as it
// stands, other bytes as \xNN; longer than 120 bytes it is cut with "...".
std::string shown(const char* text);
std::string shown(const std::string& text);

// The key under which Windows finds a path below a folder: '/' and '\' both
// separate, empty and "." segments drop out, letters compare without case.
// Needs a UTF-8 locale (setlocale) for non-ASCII letters.
std::string path_key(const std::string& path);

// 1 when key (from path_key) is folder itself or lies below it.
bool key_inside(const std::string& key, const std::string& folder);

// The last path segment of a url: the text after its last '/' (the whole
// url when it has none), up to a '?' or '#'.
std::string last_segment(const char* url);

// "1574000 bytes (1.5 MB)"; below 1 KB just "512 bytes".
std::string bytes_text(uint64_t n);

// The words of a line, separated by spaces, tabs, vertical tabs and form
// feeds: the white space of the setup list.
std::vector<std::string> split_words(const char* line);

// 1 when every byte is ASCII.
bool is_ascii(const std::string& text);

// printf into a string.
std::string format_text(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

// "part 2 of 4 (Tolvar-data-1.1.zip)": the part's number and its zip's name.
std::string part_label(int i, int n, const char* url);
