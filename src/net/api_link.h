#pragma once
// The detour through the release API: turns a release download link into
// the API URL of the same asset, which the callers then fetch with the
// accept type "application/octet-stream" when the download host fails.

// For a link of the form pre + "owner/repo/releases/latest/download/<file>"
// or pre + "owner/repo/releases/download/<tag>/<file>", asks the API for that
// release and writes the asset's API URL into out (1024 bytes). Returns 1
// with out zero-terminated, or 0; after 0, out may hold part of a value
// without terminator. Any other shape of link makes no request. The release
// query leaves its status in g_http_status like any other request.
int api_link_for(const char* link, char out[1024]);

// Asks the API for the release of repo ("owner/repo") with the tag (null
// for the newest release) and writes the API URL of its asset named file
// into out (1024 bytes). Same result and contract as api_link_for.
int api_asset_url(const char* repo, const char* tag, const char* file, char out[1024]);
