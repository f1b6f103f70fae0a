#include <gtest/gtest.h>

#include "net/content_range.h"

TEST(content_range, only_the_rest_of_the_same_file_continues_it)
{
    const uint64_t mib6 = 6u << 20, mib4 = 4u << 20;
    struct row {
        const char* header;
        uint64_t held, size;
        int continues;
    } rows[] = {
        {"bytes 4194304-6291455/6291456", mib4, mib6, 1},
        {"BYTES 4194304-6291455/6291456", mib4, mib6, 1},
        {"bytes 1-1/2", 1, 2, 1},
        {"bytes 18446744073709551614-18446744073709551614/18446744073709551615", UINT64_MAX - 1, UINT64_MAX, 1},
        // Another start, end or total than the file's.
        {"bytes 4194303-6291455/6291456", mib4, mib6, 0},
        {"bytes 0-6291455/6291456", mib4, mib6, 0},
        {"bytes 4194304-6291454/6291456", mib4, mib6, 0},   // stops short of the end
        {"bytes 4194304-6291456/6291457", mib4, mib6, 0},   // another, longer file
        {"bytes 4194304-6291455/*", mib4, mib6, 0},         // total unknown
        {"bytes */6291456", mib4, mib6, 0},                 // the unsatisfied form
        // Not the grammar.
        {"bytes 4194304-6291455", mib4, mib6, 0},
        {"bytes=4194304-6291455/6291456", mib4, mib6, 0},
        {"bytes  4194304-6291455/6291456", mib4, mib6, 0},
        {"bytes 4194304 -6291455/6291456", mib4, mib6, 0},
        {"bytes 4194304-6291455/6291456 ", mib4, mib6, 0},
        {"bytes +4194304-6291455/6291456", mib4, mib6, 0},
        {"items 4194304-6291455/6291456", mib4, mib6, 0},
        {"bytes 99999999999999999999-6291455/6291456", mib4, mib6, 0}, // overflows
        {"", mib4, mib6, 0},
        {nullptr, mib4, mib6, 0},
        // Nothing held, or everything: nothing to continue.
        {"bytes 0-9/10", 0, 10, 0},
        {"bytes 10-9/10", 10, 10, 0},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.header ? r.header : "(none)");
        EXPECT_EQ(r.continues, continues_at(r.header, r.held, r.size));
    }
}
