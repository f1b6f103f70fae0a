#pragma once
#include "net/mem_sink.h"

// The status line while the setup list is being fetched.
extern const wchar_t searching[];

// The setup-list URL: TOLVAR_SETUP_LIST when set and not empty (byte for
// byte, cut to 1023 bytes), else the release pinned with "--tag ", else the
// latest release. Returns its static 1024-byte buffer, written anew by every
// call.
const char* manifest_url();

// Fetches url (a release download link, or any other URL) into buf, all
// zero at the start, trying again on the fixed schedule and detouring
// through the release API when the download host gives no answer or a
// server error. A 200 with an empty body counts as a failed attempt unless
// empty_ok (buf->data then stays null). Returns 1 when the file arrived; 0
// when the retrieval gave up on a 404 (no such file); gives up otherwise
// through fail() with the message about the network. Worker thread only.
int fetch_release_file(const char* url, mem_buf* buf, int empty_ok);

// Fetches the setup list into list (all zero at the start), trying again on
// the fixed schedule and detouring through the release API when the
// download host gives no answer or a server error. On return list->data
// holds the zero-terminated text; when the retrieval gives up, the run ends
// in fail() with a message that says what to do (on a 404: that there is
// no release yet).
void fetch_setup_list(mem_buf* list);
