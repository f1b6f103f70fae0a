#include "net/retry.h"

// Grows to a minute and sums to 176 s, so a host that stays away is given
// just under three minutes.
const int waits[7] = {3, 6, 12, 20, 30, 45, 60};

bool is_server_failure(uint32_t status)
{
    return status == 0 || status >= 500;
}

bool is_retryable(uint32_t status)
{
    // 403 and 429 are what the hosts send when they throttle anonymous use;
    // 200 here means that the body broke off or had the wrong length, and so
    // does 206, the answer that continues a download cut short.
    return is_server_failure(status) || status == 200 || status == 206 || status == 403 || status == 408 ||
           status == 429;
}
