#pragma once
#include "net/mem_sink.h"

// The status line while the setup list is being fetched.
extern const wchar_t searching[];

// The setup-list URL: TOLVAR_SETUP_LIST when set and not empty (byte for
// byte, cut to 1023 bytes), else the release pinned with "--tag ", else the
// latest release. Returns its static 1024-byte buffer, written anew by every
// call.
const char* manifest_url();

// Fetches the setup list into list (all zero at the start), trying again on
// the fixed schedule and detouring through the release API when the
// download host gives no answer or a server error. On return list->data
// holds the zero-terminated text; when the retrieval gives up, the run ends
// in fail() with a message that says what to do.
void fetch_setup_list(mem_buf* list);
