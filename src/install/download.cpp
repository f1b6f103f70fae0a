#include "install/download.h"

#include <string.h>
#include <windows.h>

#include "base/text.h"
#include "install/files.h"
#include "install/held_path.h"
#include "install/pause.h"
#include "install/sha256.h"
#include "net/api_link.h"
#include "net/file_sink.h"
#include "net/http.h"
#include "net/retry.h"
#include "ui/status.h"

// The temporary file is named by the expected digest, so the bytes in it can
// only belong to that file: a download cut short is continued from where it
// stopped, by the next attempt and by the next run, with a range request.
// The final digest still guards the whole file.

namespace {

// One attempt's temporary file and the hash that runs over it.
struct attempt_file {
    file_ctx ctx;  // the file and its hash, for file_sink
    sha256_hash h;
    uint64_t held; // bytes that came from before this attempt
};

enum open_result { opened, cannot_write, cannot_hash };

uint64_t size_of(const wchar_t* path)
{
    WIN32_FILE_ATTRIBUTE_DATA data;
    if (!GetFileAttributesExW(path, GetFileExInfoStandard, &data) || (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY))
        return 0;
    return ((uint64_t)data.nFileSizeHigh << 32) | data.nFileSizeLow;
}

// Opens the bytes held from before for appending, with the hash fed once
// with all of them. 0 when they cannot be read back; nothing is then open.
int open_held(const wchar_t* temp, attempt_file* a)
{
    a->ctx.file = CreateFileW(temp, GENERIC_READ | GENERIC_WRITE, 0, 0, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, 0);
    if (a->ctx.file == INVALID_HANDLE_VALUE)
        return 0;
    if (sha256_begin(&a->h)) {
        if (sha256_add_file(&a->h, a->ctx.file, a->held)) {
            a->ctx.hash = a->h.hash;
            return 1; // the file position is at its end
        }
        char scratch[65];
        sha256_end(&a->h, scratch);
    }
    CloseHandle(a->ctx.file);
    return 0;
}

// The temporary file of an attempt: continued when it holds the start of the
// part (0 < held < size) and continuing is allowed, else created afresh.
open_result open_attempt(const wchar_t* temp, uint64_t size, bool may_continue, attempt_file* a)
{
    memset(a, 0, sizeof *a);
    a->held = may_continue ? size_of(temp) : 0;
    if (a->held >= size)
        a->held = 0; // nothing to continue, or more than the part: another file's
    if (a->held && open_held(temp, a))
        return opened;
    a->held = 0;
    a->ctx.file = CreateFileW(temp, GENERIC_READ | GENERIC_WRITE, 0, 0, CREATE_ALWAYS, FILE_FLAG_SEQUENTIAL_SCAN, 0);
    if (a->ctx.file == INVALID_HANDLE_VALUE)
        return cannot_write;
    if (!sha256_begin(&a->h)) {
        CloseHandle(a->ctx.file);
        return cannot_hash;
    }
    a->ctx.hash = a->h.hash;
    return opened;
}

// Drops the held bytes: the file empty again and a fresh hash. 0 when the
// file cannot be emptied or no hash can be had.
int start_over(void* ctx)
{
    attempt_file* a = (attempt_file*)ctx;
    LARGE_INTEGER zero = {};
    char scratch[65];
    sha256_end(&a->h, scratch);
    a->ctx.hash = 0;
    a->held = 0;
    if (!SetFilePointerEx(a->ctx.file, zero, 0, FILE_BEGIN) || !SetEndOfFile(a->ctx.file) || !sha256_begin(&a->h))
        return 0;
    a->ctx.hash = a->h.hash;
    return 1;
}

// http_get or, with range, http_get_range into the attempt's file, the
// chunks written and hashed by the file sink's writer thread beside the
// receive loop. The thread belongs to this one request: it has stored
// every chunk and ended before this returns, so that nothing else ever
// sees it and the file and the hash hold the same bytes. 1 when the
// request succeeded and every chunk was stored.
int piped_get(const char* url, const wchar_t* accept, uint64_t size, range_get* range, attempt_file* a)
{
    file_sink_start(&a->ctx);
    int ok = range ? http_get_range(url, file_sink, &a->ctx, range, accept)
                   : http_get(url, file_sink, &a->ctx, size, accept);
    int stored = file_sink_finish(&a->ctx);
    return ok && stored;
}

// One request for the part into the attempt's file: the rest from the held
// bytes on when there are any, else the whole part. A server that cannot
// serve that rest (416, or a range that does not continue the file) gets a
// plain request for the whole part at once. 1 when the file holds the part.
int fetch(const char* url, const wchar_t* accept, uint64_t size, attempt_file* a)
{
    if (a->held) {
        // start_over, should the server send the whole file, runs before
        // its first chunk: the writer has nothing queued then.
        range_get range = {a->held, size, start_over, a, range_other};
        int ok = piped_get(url, accept, size, &range, a);
        if (range.outcome != range_refused)
            return ok;
        if (!start_over(a))
            return 0;
    }
    return piped_get(url, accept, size, 0, a);
}

[[noreturn]] void cannot_write_to(const install_tree* tree)
{
    fail(L"Could not write to %ls.", tree->downloads_dir);
}

#define CHECK_CONNECTION L"Downloading part %d of %d failed. Check your connection and free space, then try again."

// Up to 8 attempts to get the part's bytes into temp; hex gets their digest.
// Returns 1 when the bytes that were verified came partly from before (held
// by an earlier attempt or run). Ends in fail() when the download gives up.
int attempts(const install_tree* tree, const part_entry* part, int i, int n, const wchar_t* temp, bool may_continue,
             char* hex)
{
    for (int j = 0;; j++) {
        if (j > 0) {
            status(L"Part %d of %d: GitHub didn't answer (%lu). Trying again in %d s...", i + 1, n,
                   (unsigned long)g_http_status, waits[j - 1]);
            pause_seconds(waits[j - 1]);
        }
        status(L"Downloading part %d of %d (%llu MB)...", i + 1, n, (unsigned long long)(part->size >> 20));

        attempt_file a;
        open_result opening = open_attempt(temp, part->size, may_continue, &a);
        if (opening == cannot_write)
            cannot_write_to(tree);
        if (opening == cannot_hash) {
            // Without a hash nothing could be verified; no attempt can help.
            DeleteFileW(temp);
            fail(CHECK_CONNECTION, i + 1, n);
        }

        g_http_status = 0;
        char api[1024];
        int ok;
        if ((j & 1) && api_link_for(part->url, api))
            ok = fetch(api, L"application/octet-stream", part->size, &a);
        else
            ok = fetch(part->url, 0, part->size, &a);

        LARGE_INTEGER kept = {};
        GetFileSizeEx(a.ctx.file, &kept);
        CloseHandle(a.ctx.file);
        sha256_end(&a.h, hex);
        g_percent.exchange(-1);
        if (ok)
            return a.held != 0;
        if (a.ctx.write_failed) {
            // A full disk stays full: trying again would only blame GitHub.
            DeleteFileW(temp);
            cannot_write_to(tree);
        }
        if (is_retryable(g_http_status) && j < 7)
            continue;
        if (is_retryable(g_http_status)) {
            // The bytes that did arrive are the next run's start.
            if (kept.QuadPart == 0)
                DeleteFileW(temp);
            fail(L"Downloading part %d of %d failed: GitHub's download servers are failing right now (tried 8 "
                 L"times over 3 minutes). This is on GitHub's side. The parts already downloaded are kept: run "
                 L"Tolvar-Setup.exe again in a few minutes and it carries on from here.",
                 i + 1, n);
        }
        DeleteFileW(temp);
        fail(CHECK_CONNECTION, i + 1, n);
    }
}

} // namespace

void download_part(const install_tree* tree, const part_entry* part, int i, int n, const wchar_t* zip)
{
    wchar_t temp[MAX_PATH];
    zip_temp_path(zip, temp);
    char hex[65] = "";
    // A run stopped after the last byte and before the move left the whole
    // part here: its digest decides, and nothing is fetched when it matches.
    bool complete = size_of(temp) == part->size && file_sha256(temp, hex) && strcmp(hex, part->sha256) == 0;
    int continued = complete ? 0 : attempts(tree, part, i, n, temp, true, hex);
    if (strcmp(hex, part->sha256) != 0 && continued) {
        // The bytes held from before may be what is wrong (an older file's
        // start, a disk fault): never blame the server for them. The part is
        // fetched once more, whole.
        DeleteFileW(temp);
        attempts(tree, part, i, n, temp, false, hex);
    }
    if (strcmp(hex, part->sha256) != 0) {
        DeleteFileW(temp);
        fail(L"Part %d of %d did not download correctly (its checksum differs). Try again.", i + 1, n);
    }
    // In one step, so that a kill never loses the verified download. A stale
    // zip of that name that cannot be replaced (a scanner holding it) must
    // not be unpacked in its place: it has just failed its checksum.
    if (!move_when_free(temp, zip, MOVEFILE_REPLACE_EXISTING))
        cannot_write_to(tree);
}
