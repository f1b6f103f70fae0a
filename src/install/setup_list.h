#pragma once
// The setup list "tolvar-setup.txt" that every release publishes, read into
// fixed records. Nothing here touches Windows: the layers above it, in
// parse.h, turn a result into the user's message and end the run with it.
//
// Three layers, from the text to the run:
//   read_setup_list   text -> records and a list_result (pure, no messages)
//   check_setup_list  the same against the command line's pinned tag, with
//                     the user's message for a refusal (parse.h)
//   parse_setup_list  check_setup_list on g_cmdline that ends the run in
//                     fail() on a refusal (parse.h, worker thread)

#include <stdint.h>

// One zip archive of a version, as one "part " line describes it.
struct part_entry {
    char sha256[65];   // expected digest, 64 lowercase hex digits
    uint64_t size;     // exact zip length in bytes; 0 = not checked
    char dir[260];     // unpack folder inside the version folder; "." = the version folder
    char from[260];    // folder the archive creates inside dir; "-" = no rename
    char to[260];      // name that folder gets; "-" = the part has no folder of its own
    char url[1024];    // download address of the zip
};

struct setup_list {
    char tag[128];          // release tag, names the version folder
    char run[260];          // program to start, relative to the version folder
    part_entry parts[16];   // parts in list order; the first count are valid
    int32_t count;          // 0 to 16
};

enum list_result { list_ok, list_unreadable, list_other_tag };

// The pure layer. Reads the zero-terminated list text into *out, cutting its
// lines apart in place. pinned_tag is the tag from the command line (null or
// empty = none, at most 127 bytes). Returns list_ok; list_unreadable when
// tag, run or every complete part line is missing, or when a value would
// lead outside its folder or is not valid UTF-8; list_other_tag when a
// pinned tag differs from out->tag (which then holds the list's tag for the
// message).
int read_setup_list(char* text, const char* pinned_tag, setup_list* out);

// 1 when none of the list's names can reach outside the folder it is joined
// to (the tag below the versions folder, run, and every part's dir, from, to
// and sha256, the cached zip's name, below theirs) and tag, run, dir, from
// and to are valid UTF-8. read_setup_list refuses a list for which this
// gives 0.
int list_is_safe(const setup_list* list);
