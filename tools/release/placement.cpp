#include "placement.h"

#include <string.h>

#include <algorithm>
#include <map>
#include <string>

#include "entry_rules.h"
#include "install/part_rules.h"
#include "messages.h"
#include "names.h"
#include "report.h"
#include "values.h"

namespace {

struct node {
    std::string path;  // as the setup would write it, '/' between folders
    bool dir;
    int part;          // the part that placed it; -1 for a folder that the setup made
};

// The version folder being built: key (path_key) -> what lies there.
typedef std::map<std::string, node> version_tree;

} // namespace

static std::string joined(const std::string& folder, const std::string& name)
{
    return folder.empty() ? name : folder + "/" + name;
}

// Places path and every folder along it.
static void place(version_tree* tree, const std::string& path, bool dir, int part)
{
    size_t at = 0;
    while ((at = path.find('/', at)) != std::string::npos) {
        std::string parent = path.substr(0, at++);
        std::string key = path_key(parent);
        if (!key.empty() && !tree->count(key))
            (*tree)[key] = node{parent, true, part};
    }
    std::string key = path_key(path);
    if (key.empty())
        return;
    node& n = (*tree)[key];
    // A file and a folder of one name: the folder wins, as tar.exe makes it.
    bool was_dir = n.dir && !n.path.empty();
    n.path = path;
    n.dir = dir || was_dir;
    n.part = part;
}

// The path with '/' between its folders, without empty or "." segments;
// "" for the folder itself.
static std::string clean_path(const std::string& path)
{
    std::string out;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = path.size();
        std::string seg = path.substr(start, end - start);
        if (!seg.empty() && seg != ".")
            out = joined(out, seg);
        start = end + 1;
    }
    return out;
}

// The path after its first count segments ("" when it has no more).
static std::string after_segments(const std::string& path, size_t count)
{
    size_t at = 0;
    for (size_t k = 0; k < count; k++) {
        at = path.find('/', at);
        if (at == std::string::npos)
            return "";
        at++;
    }
    return "/" + path.substr(at);
}

static std::string with_backslashes(std::string path)
{
    for (char& c : path)
        if (c == '/')
            c = '\\';
    return path;
}

// Moves every key at or below from to the same place below to; keys is
// every part's list of placed keys, remapped along.
static void move_tree(version_tree* tree, const std::string& from_key, const std::string& to_path,
                      std::vector<std::vector<std::string>>* keys)
{
    std::string to_key = path_key(to_path);
    version_tree moved;
    for (auto it = tree->begin(); it != tree->end();) {
        if (key_inside(it->first, from_key)) {
            node n = it->second;
            std::string rest = it->first.substr(from_key.size());
            size_t depth = 1 + std::count(from_key.begin(), from_key.end(), '/');
            n.path = rest.empty() ? to_path : to_path + after_segments(n.path, depth);
            moved[to_key + rest] = n;
            it = tree->erase(it);
        } else {
            ++it;
        }
    }
    for (auto& m : moved)
        (*tree)[m.first] = m.second;
    for (auto& list : *keys)
        for (std::string& k : list)
            if (key_inside(k, from_key))
                k = to_key + k.substr(from_key.size());
}

// The rename step of part i. Returns 1 when it leaves the part as the list
// means it: renamed, or nothing to rename.
static int play_rename(version_tree* tree, const setup_list* list, int i, const std::string& dest,
                       std::vector<std::vector<std::string>>* keys)
{
    const part_entry* part = &list->parts[i];
    if (strcmp(part->from, "-") == 0 || strcmp(part->to, "-") == 0)
        return 1;
    int n = list->count;
    std::string who = part_label(i, n, part->url);
    std::string source = clean_path(joined(dest, part->from));
    std::string target = clean_path(joined(dest, part->to));
    std::string source_key = path_key(source);
    std::string target_key = path_key(target);

    auto existing = tree->find(target_key);
    // A folder renamed to its own name is already in place.
    if (existing != tree->end() && source_key == target_key)
        return 1;
    if (existing != tree->end()) {
        int owner = existing->second.part;
        std::string by = owner == i ? std::string("its own zip holds it")
                                    : owner < 0 ? std::string("the setup made it for another part")
                                                : format_text("part %d of %d put it there", owner + 1, n);
        finding("%s: its rename target %s exists already (%s): the setup skips the rename, so %s stays as "
                "unpacked and %s is not this part's",
                who.c_str(), shown(target).c_str(), by.c_str(), shown(source).c_str(), shown(target).c_str());
        return 0;
    }
    std::string rename_failed = format_text(msg_rename, i + 1, n, part->from);
    if (!tree->count(source_key)) {
        finding("%s: its zip has no %s at its top, so there is no %s to rename: players get \"%s\"", who.c_str(),
                shown(part->from).c_str(), shown(source).c_str(), rename_failed.c_str());
        return 0;
    }
    size_t slash = target.rfind('/');
    std::string parent = slash == std::string::npos ? "" : target.substr(0, slash);
    if (!parent.empty() && parent != dest && !tree->count(path_key(parent))) {
        finding("%s: the folder %s of its rename target does not exist: players get \"%s\"", who.c_str(),
                shown(parent).c_str(), rename_failed.c_str());
        return 0;
    }
    move_tree(tree, source_key, target, keys);
    return 1;
}

static void check_folders(const version_tree& tree, const setup_list* list, const std::vector<part_zip>& zips,
                          const std::vector<std::vector<std::string>>& keys, const std::vector<int>& as_meant)
{
    int n = list->count;
    std::vector<std::string> folders(n);
    for (int i = 0; i < n; i++) {
        const part_entry* part = &list->parts[i];
        std::string who = part_label(i, n, part->url);
        char folder[520];
        if (!part_folder_utf8(part, folder)) {
            std::string cost = zips[i].found ? bytes_text(zips[i].size) : bytes_text(part->size);
            warning("%s: it has no part folder (to \"-\" or dir \".\" makes it a tool archive, and its file name "
                    "begins with no known Tolvar-<tool>- prefix): every update downloads its %s again",
                    who.c_str(), cost.c_str());
            continue;
        }
        folders[i] = path_key(folder);
        for (int j = 0; j < i; j++) {
            if (folders[j].empty())
                continue;
            if (folders[j] == folders[i])
                finding("%s: its part folder %s is also the part folder of part %d of %d: an update carries one "
                        "over in place of the other",
                        who.c_str(), shown(folder).c_str(), j + 1, n);
            else if (key_inside(folders[i], folders[j]) || key_inside(folders[j], folders[i]))
                finding("%s: its part folder %s and the part folder of part %d of %d lie one inside the other: an "
                        "update that carries the outer one over takes the inner one's files along",
                        who.c_str(), shown(folder).c_str(), j + 1, n);
        }

        if (!zips[i].listed || !as_meant[i])
            continue;
        int outside = 0;
        std::string first;
        for (const std::string& k : keys[i]) {
            if (key_inside(k, folders[i]) || key_inside(folders[i], k))
                continue;
            if (outside++ == 0)
                first = k;
        }
        if (!outside)
            continue;
        std::string why;
        if (part_is_tool_archive(part)) {
            const char* tool = tool_for_url(part->url);
            why = format_text(" (it counts as the %s tools archive because its file name begins with Tolvar-%s-)",
                              tool, tool);
        }
        finding("%s: it places %d entr%s outside its part folder %s%s, first %s: an update that carries the "
                "part over keeps only that folder, and players lose the rest",
                who.c_str(), outside, outside == 1 ? "y" : "ies", shown(folder).c_str(), why.c_str(),
                shown(with_backslashes(tree.count(first) ? tree.at(first).path : first)).c_str());
    }
}

void check_placement(const setup_list* list, const std::vector<part_zip>& zips)
{
    int n = list->count;
    version_tree tree;
    std::vector<std::vector<std::string>> keys(n);
    std::vector<int> as_meant(n, 1);
    bool all_known = true;
    for (int i = 0; i < n; i++) {
        const part_entry* part = &list->parts[i];
        std::string dest = strcmp(part->dir, ".") == 0 ? "" : clean_path(part->dir);
        if (!dest.empty())
            place(&tree, dest, true, -1);
        if (!zips[i].listed) {
            all_known = false;
            continue;
        }
        for (const zip_entry& z : zips[i].listing.entries) {
            if (z.name.empty())
                continue;
            entry_fate fate;
            windows_fate(z.name, &fate);
            if (fate.written.empty())
                continue;
            std::string path = joined(dest, fate.written);
            place(&tree, path, z.is_dir, i);
            keys[i].push_back(path_key(path));
        }
        as_meant[i] = play_rename(&tree, list, i, dest, &keys);
    }

    list_value run = {-1, "run", list->run};
    if (all_known && list->run[0] && !value_is_refused(&run)) {
        auto it = tree.find(path_key(list->run));
        std::string staged = with_backslashes(list->run);
        if (it == tree.end())
            finding("the run file %s is brought by no part: players get \"%s\"", shown(list->run).c_str(),
                    format_text(msg_missing, ("...\\versions\\<tag>.part\\" + staged).c_str()).c_str());
        else if (it->second.dir)
            finding("the run file %s is a folder, not a program: players get \"Could not start ...\"",
                    shown(list->run).c_str());
    }
    check_folders(tree, list, zips, keys, as_meant);
}
