#pragma once
// One HTTPS GET with libcurl, the way the setup fetches: redirects
// followed, but never from https down to plain http, and a body that falls
// short of its announced length counts as a failure.

#include <string>

struct fetch_result {
    long status;       // the last HTTP status received; 0 when no answer came
    std::string why;   // on failure, what went wrong
};

// Fetches url into the file at path (created afresh), with the accept type
// (null: no Accept header of our own). Returns 1 on a 200 with the whole
// body; 0 otherwise (the file may hold part of a body).
int fetch_to_file(const std::string& url, const std::string& path, const char* accept, fetch_result* out);

// Once per process, around every fetch.
void fetch_begin();
void fetch_end();
