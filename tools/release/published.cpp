#include "published.h"

#include <ftw.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "fetch.h"
#include "file_text.h"
#include "install/signature_format.h"
#include "install/tag_arg.h"
#include "messages.h"
#include "names.h"
#include "net/release_link.h"
#include "net/retry.h"
#include "release_check.h"
#include "report.h"
#include "signing.h"

// The game's repository, as the setup names it in its list links.

struct download_folder {
    std::string dir;                          // the temporary folder
    std::map<std::string, std::string> got;   // url -> file it was fetched into
};

// The setup's own way to a file: its link, and when the download host gives
// no answer or a server error, the same asset through the release API.
// *detoured tells whether the API served it.
static int fetch_like_setup(const std::string& url, const std::string& path, fetch_result* r, bool* detoured)
{
    *detoured = false;
    if (fetch_to_file(url, path, 0, r))
        return 1;
    if (!is_server_failure((uint32_t)r->status))
        return 0;
    char link_repo[256], link_tag[256], link_file[260], query[1024], asset[1024];
    int latest = 0;
    if (!split_release_link(url.c_str(), link_repo, link_tag, link_file, &latest))
        return 0;
    // The tag form with an empty tag names no release the API could find.
    if ((!latest && !link_tag[0]) || !release_query_url(link_repo, latest ? 0 : link_tag, query))
        return 0;
    fetch_result direct = *r;
    fetch_result q;
    std::string answer;
    if (fetch_to_file(query, path, "application/vnd.github+json", &q) && read_file_text(path, &answer) &&
        find_asset_url(answer.data(), answer.size(), link_file, asset) &&
        fetch_to_file(asset, path, "application/octet-stream", r)) {
        *detoured = true;
        r->why = "the download host answered " + (direct.status ? "HTTP " + std::to_string(direct.status) : direct.why);
        return 1;
    }
    // The first answer is the one that says what went wrong, as in the setup.
    *r = direct;
    return 0;
}

static std::string fetch_part(void* ctx, int i, int n, const part_entry* part)
{
    download_folder* d = (download_folder*)ctx;
    auto done = d->got.find(part->url);
    if (done != d->got.end())
        return done->second;
    std::string path = d->dir + "/" + std::to_string(i + 1) + ".zip";
    fetch_result r;
    bool detoured;
    int fetched = fetch_like_setup(part->url, path, &r, &detoured);
    if (detoured)
        warning("%s: %s, and the part came through the release API", part_label(i, n, part->url).c_str(),
                r.why.c_str());
    if (!fetched) {
        const char* said = is_retryable((uint32_t)r.status) ? msg_servers : msg_download_failed;
        finding("%s: its url %s cannot be fetched (%s): players get \"%s\"", part_label(i, n, part->url).c_str(),
                shown(part->url).c_str(), r.why.c_str(), format_text(said, i + 1, n).c_str());
        path.clear();
    }
    d->got[part->url] = path;
    return path;
}

// The list's signature, from the release of the list's own tag as the
// setup fetches it, judged with the publisher's key.
static void check_published_signature(const std::string& text, const std::string& dir, const std::string& key)
{
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back(0);
    static setup_list list;
    read_setup_list(buf.data(), 0, &list);
    char link[1024];
    if (!list.tag[0] || !signature_link(0, list.tag, link))
        return; // no tag: the list's findings say so, and the setup stops there
    std::string path = dir + "/" + signature_file;
    fetch_result r;
    bool detoured;
    int fetched = fetch_like_setup(link, path, &r, &detoured);
    if (detoured)
        warning("the signature: %s, and it came through the release API", r.why.c_str());
    if (!fetched && r.status == 404) {
        report_unsigned(link, format_text("cannot be fetched (%s)", r.why.c_str()).c_str());
        return;
    }
    if (!fetched) {
        finding("the signature %s cannot be fetched (%s)", link, r.why.c_str());
        return;
    }
    std::string sig;
    read_file_text(path, &sig);
    judge_signature(key, text, sig, link);
}

static int remove_entry(const char* path, const struct stat*, int, struct FTW*)
{
    return remove(path);
}

int check_published(const char* tag, const setup_list* old, const std::string* key)
{
    if (tag && !tag_can_be_pinned(tag)) {
        fprintf(stderr, "tolvar-release: the setup cannot pin the tag %s with --tag\n", shown(tag).c_str());
        return 2;
    }
    // The links that the setup forms for the list (pre is the web host's).
    char link[1024];
    setup_list_link(tag, link); // fits: a pinnable tag has at most 127 characters
    std::string url = link;
    char link_repo[256], link_tag[256], link_file[260];
    if (!split_release_link(url.c_str(), link_repo, link_tag, link_file, 0)) {
        fprintf(stderr, "tolvar-release: %s is no release download link\n", url.c_str());
        return 2;
    }

    char dir_template[] = "/tmp/tolvar-release-XXXXXX";
    if (!mkdtemp(dir_template)) {
        fprintf(stderr, "tolvar-release: cannot make a temporary folder\n");
        return 2;
    }
    download_folder folder;
    folder.dir = dir_template;

    fetch_begin();
    note("fetching %s", url.c_str());
    std::string list_path = folder.dir + "/tolvar-setup.txt";
    fetch_result r;
    bool detoured;
    int fetched = fetch_like_setup(url, list_path, &r, &detoured);
    if (detoured)
        warning("the setup list: %s, and it came through the release API", r.why.c_str());
    if (!fetched) {
        std::string said = r.status == 404 ? format_text(": players get \"%s\"", msg_no_release) : "";
        finding("the setup list %s cannot be fetched (%s)%s", url.c_str(), r.why.c_str(), said.c_str());
    } else {
        check_request req;
        read_file_text(list_path, &req.text);
        req.pinned_tag = tag;
        req.find = fetch_part;
        req.ctx = &folder;
        req.old = old;
        check_release(&req);
        if (key)
            check_published_signature(req.text, folder.dir, *key);
    }
    fetch_end();
    nftw(folder.dir.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
    print_summary(url.c_str());
    return finding_count() > 0 ? 1 : 0;
}
