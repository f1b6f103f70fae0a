#pragma once
// The pure halves of the detour through the release API: taking a release
// download link apart, forming the release query, and picking an asset's API
// URL out of the query's JSON answer.

#include <stdint.h>

// The release download host (the web host) and the REST API host, each
// written once, in release_link.cpp.
extern const char web_host[];
extern const char api_host[];
// "https://" + web_host + "/": every download link that can be turned into an
// API asset URL begins with this.
extern const char pre[];
// "https://" + api_host + "/": every API URL begins with this.
extern const char api_prefix[];

// The game's repository on the web host, "owner/repo".
extern const char game_repo[];

// The download link of the setup list "tolvar-setup.txt" of the release
// with the tag (null or empty: the latest release) into out (1024 bytes).
// Returns 1, or 0 when it did not fit (out then holds the cut text).
int setup_list_link(const char* tag, char out[1024]);

// Splits a zero-terminated release download link of the form
// pre + "owner/repo/releases/latest/download/<file>" or
// pre + "owner/repo/releases/download/<tag>/<file>" into repo ("owner/repo",
// 256 bytes), tag (256 bytes, empty for the latest form) and file (260 bytes,
// not empty, no '/', '?' or '#'), and sets *latest (when latest is not null)
// to 1 for the latest form, 0 for the tag form, whose tag may be empty.
// Returns 1, or 0 for any other shape or an over-long piece (the buffers may
// then hold partial copies, *latest is untouched).
int split_release_link(const char* link, char repo[256], char tag[256], char file[260], int* latest);

// Writes the release query URL for repo ("owner/repo") and tag (null or empty
// = the latest release) into out (1024 bytes, zero-terminated). Returns 1,
// or 0 when it did not fit (out then holds the cut text).
int release_query_url(const char* repo, const char* tag, char out[1024]);

// Scans the release answer (len bytes at answer) for the asset named wanted
// (zero-terminated, at most 259 bytes) and writes the url value that stands
// last before its name key into out (1024 bytes, zero-terminated, at most
// 1023 bytes). Returns 1 when that value begins with api_prefix; 0 otherwise,
// and out may then hold part of a value, perhaps without terminator.
int find_asset_url(const char* answer, uint64_t len, const char* wanted, char out[1024]);
