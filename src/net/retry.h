#pragma once
// The schedule on which both network loops try a failed request again, and
// the classes of the HTTP status that decide whether another try is worth it.

#include <stdint.h>

// Seconds to wait before the second to the eighth attempt; 8 attempts in all.
extern const int waits[7];

// True for "no answer" (0) and for server errors (500 and above): the cases
// in which the download host is worth bypassing through the release API.
bool is_server_failure(uint32_t status);

// True when another attempt may succeed: a server failure, or 200 or 206
// (answered but the body failed), 403, 408 or 429.
bool is_retryable(uint32_t status);
