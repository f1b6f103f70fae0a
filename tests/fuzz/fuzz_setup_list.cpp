// read_setup_list on any text. Input: one byte n, then the pinned tag
// (n & 0x7F bytes; n == 0xFF passes no pinned tag at all), then the list.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "fuzz_check.h"
#include "install/path_rules.h"
#include "install/setup_list.h"

static bool is_scan_space(char c)
{
    return c == ' ' || c == '\t' || c == '\v' || c == '\f' || c == '\r' || c == '\n';
}

// A field of a list line is one word: not empty, no white space, terminated
// inside its array.
static void must_be_word(const char* s, size_t size)
{
    must(terminated(s, size));
    must(s[0] != 0);
    for (const char* p = s; *p; p++)
        must(!is_scan_space(*p));
}

static void must_hold_accepted_list(const setup_list* l)
{
    must(l->count >= 1 && l->count <= 16);
    must_be_word(l->tag, sizeof l->tag);
    must_be_word(l->run, sizeof l->run);
    must(tag_is_safe(l->tag));
    must(rel_path_is_safe(l->run));
    for (int i = 0; i < l->count; i++) {
        const part_entry* e = &l->parts[i];
        must_be_word(e->sha256, sizeof e->sha256);
        must_be_word(e->dir, sizeof e->dir);
        must_be_word(e->from, sizeof e->from);
        must_be_word(e->to, sizeof e->to);
        must_be_word(e->url, sizeof e->url);
        must(rel_path_is_safe(e->sha256));
        must(rel_path_is_safe(e->dir));
        must(rel_path_is_safe(e->from));
        must(rel_path_is_safe(e->to));
    }
}

// Writes an accepted list back as text the way a release would publish it.
static size_t write_list(const setup_list* l, char* out, size_t size)
{
    size_t used = (size_t)snprintf(out, size, "tag %s\r\nrun %s\r\n", l->tag, l->run);
    for (int i = 0; i < l->count; i++) {
        const part_entry* e = &l->parts[i];
        used += (size_t)snprintf(out + used, size - used, "part %s %llu %s %s %s %s\r\n", e->sha256,
                                 (unsigned long long)e->size, e->dir, e->from, e->to, e->url);
    }
    return used;
}

static void must_be_same_list(const setup_list* a, const setup_list* b)
{
    must(strcmp(a->tag, b->tag) == 0);
    must(strcmp(a->run, b->run) == 0);
    must(a->count == b->count);
    for (int i = 0; i < a->count; i++) {
        const part_entry* x = &a->parts[i];
        const part_entry* y = &b->parts[i];
        must(strcmp(x->sha256, y->sha256) == 0);
        must(x->size == y->size);
        must(strcmp(x->dir, y->dir) == 0);
        must(strcmp(x->from, y->from) == 0);
        must(strcmp(x->to, y->to) == 0);
        must(strcmp(x->url, y->url) == 0);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    // Exactly sized heap blocks, so that ASan sees any read past their end.
    char* pinned = 0;
    size_t pinned_len = 0;
    if (data[0] != 0xFF) {
        pinned_len = data[0] & 0x7F;
        if (pinned_len > size - 1)
            pinned_len = size - 1;
        pinned = (char*)malloc(pinned_len + 1);
        memcpy(pinned, data + 1, pinned_len);
        pinned[pinned_len] = 0;
    }
    const uint8_t* list = data + 1 + pinned_len;
    size_t list_len = size - 1 - pinned_len;
    char* text = (char*)malloc(list_len + 1);
    memcpy(text, list, list_len);
    text[list_len] = 0;
    setup_list* out = (setup_list*)malloc(sizeof *out);
    memset(out, 0xAA, sizeof *out);

    int result = read_setup_list(text, pinned, out);
    must(result == list_ok || result == list_unreadable || result == list_other_tag);
    must(out->count >= 0 && out->count <= 16);
    must(terminated(out->tag, sizeof out->tag));
    must(terminated(out->run, sizeof out->run));

    // Cutting the lines apart in place only turns line ends into terminators.
    for (size_t i = 0; i < list_len; i++)
        must(text[i] == (char)list[i] || (text[i] == 0 && (list[i] == '\r' || list[i] == '\n')));

    bool has_pin = pinned && pinned[0];
    if (result == list_other_tag)
        must(has_pin && strcmp(pinned, out->tag) != 0);
    if (result == list_ok && has_pin)
        must(strcmp(pinned, out->tag) == 0);

    if (result != list_unreadable) {
        must_hold_accepted_list(out);
        // What was accepted, written out again, reads back the same.
        size_t cap = 64 * 1024;
        char* again = (char*)malloc(cap);
        size_t again_len = write_list(out, again, cap);
        must(again_len < cap);
        setup_list* second = (setup_list*)malloc(sizeof *second);
        must(read_setup_list(again, pinned, second) == result);
        must_be_same_list(out, second);
        free(second);
        free(again);
    }

    free(out);
    free(text);
    free(pinned);
    return 0;
}
