#include "values.h"

#include <string.h>

#include "install/tag_arg.h"
#include "messages.h"
#include "names.h"
#include "report.h"

static void copy_into(char* out, size_t size, const char* text)
{
    strncpy(out, text, size - 1);
    out[size - 1] = 0;
}

int value_is_refused(const list_value* value)
{
    setup_list probe;
    memset(&probe, 0, sizeof probe);
    strcpy(probe.tag, "t");
    strcpy(probe.run, "r");
    probe.count = 1;
    part_entry* e = &probe.parts[0];
    memset(e->sha256, '0', 64);
    strcpy(e->dir, "d");
    strcpy(e->from, "-");
    strcpy(e->to, "-");
    strcpy(e->url, "u");

    const char* f = value->field;
    if (strcmp(f, "tag") == 0)
        copy_into(probe.tag, sizeof probe.tag, value->text);
    else if (strcmp(f, "run") == 0)
        copy_into(probe.run, sizeof probe.run, value->text);
    else if (strcmp(f, "sha256") == 0)
        copy_into(e->sha256, sizeof e->sha256, value->text);
    else if (strcmp(f, "dir") == 0)
        copy_into(e->dir, sizeof e->dir, value->text);
    else if (strcmp(f, "from") == 0)
        copy_into(e->from, sizeof e->from, value->text);
    else if (strcmp(f, "to") == 0)
        copy_into(e->to, sizeof e->to, value->text);
    else if (strcmp(f, "url") == 0)
        copy_into(e->url, sizeof e->url, value->text);
    return !list_is_safe(&probe);
}

static void report_if_refused(const list_value* value, const setup_list* list)
{
    if (!value_is_refused(value))
        return;
    std::string what = value->part < 0 ? format_text("the %s", value->field)
                                       : part_label(value->part, list->count, list->parts[value->part].url) +
                                             ": its " + value->field;
    finding("the setup refuses %s %s (a name that could lead outside its folder, or no valid UTF-8): players get "
            "\"%s\"",
            what.c_str(), shown(value->text).c_str(), msg_unreadable);
}

void check_values(const setup_list* list, int result, const char* pinned_tag)
{
    int refused = 0;
    int before = finding_count();
    if (list->tag[0]) {
        list_value v = {-1, "tag", list->tag};
        report_if_refused(&v, list);
    }
    if (list->run[0]) {
        list_value v = {-1, "run", list->run};
        report_if_refused(&v, list);
    }
    for (int i = 0; i < list->count; i++) {
        const part_entry* e = &list->parts[i];
        const list_value fields[] = {
            {i, "sha256", e->sha256}, {i, "dir", e->dir}, {i, "from", e->from}, {i, "to", e->to}, {i, "url", e->url},
        };
        for (const list_value& v : fields)
            report_if_refused(&v, list);
    }
    refused = finding_count() - before;

    // Whatever the setup refuses must show, even when no single value explains it.
    if (result == list_unreadable && refused == 0 && list->tag[0] && list->run[0] && list->count > 0)
        finding("the setup refuses this list: players get \"%s\"", msg_unreadable);
    if (result == list_other_tag)
        finding("the list's tag %s is not the release's tag %s: players get \"%s\"", shown(list->tag).c_str(),
                shown(pinned_tag).c_str(), format_text(msg_other_tag, list->tag, pinned_tag).c_str());
    if (list->tag[0] && !tag_can_be_pinned(list->tag))
        finding("the tag %s holds characters that \"--tag\" cannot carry (it takes ASCII letters, digits, '-', '.' "
                "and '_'): \"Tolvar-Setup.exe --tag %s\" pins nothing and installs the latest release instead",
                shown(list->tag).c_str(), list->tag);
}
