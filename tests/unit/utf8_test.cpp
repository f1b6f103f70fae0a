#include <gtest/gtest.h>

#include "base/utf8.h"

TEST(utf8, only_well_formed_text_is_valid)
{
    struct row {
        const char* text;
        int valid;
    } rows[] = {
        {"", 1},
        {"1.0", 1},
        {"\xc5\x81ukasz", 1},           // Ł
        {"\xe7\x8e\x8b\xe4\xbc\x9f", 1}, // 王伟
        {"\xf0\x9f\x8e\xae", 1},         // U+1F3AE, four bytes
        {"\xef\xbf\xbf", 1},             // U+FFFF
        {"\xf4\x8f\xbf\xbf", 1},         // U+10FFFF, the last one
        {"\x80", 0},                     // a continuation byte alone
        {"a\xbf", 0},
        {"\xc5", 0},                     // cut after the lead byte
        {"\xe7\x8e", 0},
        {"\xc5x", 0},
        {"\xc0\xaf", 0},                 // overlong '/'
        {"\xc1\xbf", 0},
        {"\xe0\x80\xaf", 0},             // overlong in three bytes
        {"\xf0\x80\x80\xaf", 0},         // and in four
        {"\xed\xa0\x80", 0},             // U+D800, a surrogate
        {"\xed\xbf\xbf", 0},
        {"\xf4\x90\x80\x80", 0},         // above U+10FFFF
        {"\xf5\x80\x80\x80", 0},
        {"\xff", 0},
        {"\xfe", 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(testing::PrintToString(r.text));
        EXPECT_EQ(r.valid, utf8_is_valid(r.text));
    }
}
