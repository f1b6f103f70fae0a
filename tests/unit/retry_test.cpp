#include <gtest/gtest.h>

#include "net/retry.h"

TEST(retry, waits_grow_to_a_minute_and_sum_to_176_seconds)
{
    const int expected[7] = {3, 6, 12, 20, 30, 45, 60};
    int sum = 0;
    for (int i = 0; i < 7; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i], waits[i]);
        sum += waits[i];
    }
    EXPECT_EQ(176, sum);
}

TEST(retry, status_classes)
{
    struct row {
        uint32_t status;
        bool server_failure;
        bool retryable;
    };
    const row rows[] = {
        {0, true, true},            // no answer at all
        {1, false, false},
        {199, false, false},
        {200, false, true},         // answered, but the body failed
        {201, false, false},
        {206, false, true},         // the rest of a file, and the body failed
        {207, false, false},
        {301, false, false},
        {302, false, false},
        {401, false, false},
        {402, false, false},
        {403, false, true},
        {404, false, false},
        {407, false, false},
        {408, false, true},
        {409, false, false},
        {410, false, false},
        {428, false, false},
        {429, false, true},
        {430, false, false},
        {499, false, false},
        {500, true, true},
        {503, true, true},
        {599, true, true},
        {700, true, true},
        {0xFFFFFFFFu, true, true},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.status);
        EXPECT_EQ(r.server_failure, is_server_failure(r.status));
        EXPECT_EQ(r.retryable, is_retryable(r.status));
    }
}
