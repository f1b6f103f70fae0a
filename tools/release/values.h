#pragma once
// The values of a read setup list that the setup refuses, and a tag that
// "--tag" cannot pin.

#include "install/setup_list.h"

// One value of a list, named for messages.
struct list_value {
    int part;           // index of its part, -1 for tag and run
    const char* field;  // "tag", "run", "sha256", "dir", "from", "to" or "url"
    const char* text;
};

// 1 when the setup refuses a list because of this value alone: the value
// is put into a list whose other values are plain, and the setup's own
// test judges it.
int value_is_refused(const list_value* value);

// Reports every refused value of list (as read_setup_list left it, result
// being what it returned), a pinned tag (null for none) that the list's
// tag does not match, and a tag that "--tag" cannot pin.
void check_values(const setup_list* list, int result, const char* pinned_tag);
