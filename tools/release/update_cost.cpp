#include "update_cost.h"

#include <string.h>

#include <string>

#include "install/part_rules.h"
#include "names.h"
#include "report.h"

// Tags that name one version folder, as Windows compares folder names: the
// setup rebuilds that version and carries nothing over from it.
static bool same_version(const setup_list* now, const setup_list* old)
{
    return path_key(now->tag) == path_key(old->tag);
}

// 1 when the setup, updating from old, carries part i's folder over instead
// of downloading it: the part has a part folder, old is another version whose
// parts.txt lists the part's digest (a part of old with that digest and a
// part folder), and old has that folder (some part of old has it as its own).
static int carried_over(const setup_list* now, int i, const setup_list* old)
{
    char folder[520];
    if (!part_folder_utf8(&now->parts[i], folder) || same_version(now, old))
        return 0;
    std::string key = path_key(folder);
    int listed = 0;
    int present = 0;
    for (int j = 0; j < old->count; j++) {
        char old_folder[520];
        if (!part_folder_utf8(&old->parts[j], old_folder))
            continue;
        if (strcmp(old->parts[j].sha256, now->parts[i].sha256) == 0)
            listed = 1;
        if (path_key(old_folder) == key)
            present = 1;
    }
    return listed && present;
}

void report_update(const setup_list* now, const setup_list* old)
{
    int n = now->count;
    if (same_version(now, old))
        note("update from %s: the same version folder, so the setup rebuilds it and carries nothing over", old->tag);
    int downloaded = 0;
    uint64_t bytes = 0;
    for (int i = 0; i < n; i++) {
        std::string who = part_label(i, n, now->parts[i].url);
        if (carried_over(now, i, old)) {
            char folder[520];
            part_folder_utf8(&now->parts[i], folder);
            note("update from %s: %s is carried over (%s)", old->tag, who.c_str(), folder);
        } else {
            downloaded++;
            bytes += now->parts[i].size;
            note("update from %s: %s is downloaded, %s", old->tag, who.c_str(), bytes_text(now->parts[i].size).c_str());
        }
    }
    warning("an update from %s downloads %d of %d parts, %s in all", old->tag, downloaded, n, bytes_text(bytes).c_str());
}
