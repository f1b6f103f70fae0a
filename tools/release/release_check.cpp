#include "release_check.h"

#include <sys/stat.h>

#include <vector>

#include "list_lines.h"
#include "names.h"
#include "net/release_link.h"
#include "part_zip.h"
#include "placement.h"
#include "report.h"
#include "update_cost.h"
#include "values.h"

std::string zip_in_folder(void* ctx, int i, int n, const part_entry* part)
{
    const char* folder = (const char*)ctx;
    std::string file = last_segment(part->url);
    std::string who = part_label(i, n, part->url);
    if (file.empty() || file == "." || file == "..") {
        finding("%s: its url %s names no file", who.c_str(), shown(part->url).c_str());
        return "";
    }
    std::string path = std::string(folder) + "/" + file;
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
        finding("%s: its zip %s (the last segment of its url) is not in %s", who.c_str(), shown(file).c_str(),
                shown(folder).c_str());
        return "";
    }
    return path;
}

static void check_links(const setup_list* list)
{
    for (int i = 0; i < list->count; i++) {
        char repo[256], tag[256], file[260];
        if (!split_release_link(list->parts[i].url, repo, tag, file, 0))
            warning("%s: its url %s is no release download link (%sOWNER/REPO/releases/download/TAG/FILE): when "
                    "the download host fails, the setup cannot fetch the part through the release API instead",
                    part_label(i, list->count, list->parts[i].url).c_str(), shown(list->parts[i].url).c_str(), pre);
    }
}

void check_release(const check_request* req)
{
    check_lines(req->text.data(), req->text.size());

    std::vector<char> buf(req->text.begin(), req->text.end());
    buf.push_back(0);
    setup_list list;
    int result = read_setup_list(buf.data(), req->pinned_tag, &list);
    check_values(&list, result, req->pinned_tag);
    if (!list.tag[0] || !list.run[0] || list.count == 0)
        return;

    std::vector<part_zip> zips(list.count);
    for (int i = 0; i < list.count; i++) {
        std::string path = req->find(req->ctx, i, list.count, &list.parts[i]);
        check_part_zip(&list.parts[i], i, list.count, path, &zips[i]);
    }
    check_placement(&list, zips);
    check_links(&list);
    if (req->old)
        report_update(&list, req->old);
}
