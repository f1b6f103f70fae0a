// tolvar-release: makes and checks the setup list of a release of the game,
// with the very rules Tolvar-Setup.exe reads it by.
//
//   tolvar-release make DIR [--sign KEY]
//   tolvar-release check DIR [--from OLD_LIST] [--key PUB]
//   tolvar-release check --published [TAG] [--from OLD_LIST] [--key PUB]
//   tolvar-release keygen DIR
//
// Exit codes: 0 fine (warnings may have been printed), 1 findings, 2 bad usage.

#include <locale.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

#include "file_text.h"
#include "install/setup_list.h"
#include "make_list.h"
#include "published.h"
#include "release_check.h"
#include "report.h"
#include "signing.h"

static const char usage_text[] =
    "usage: tolvar-release make DIR [--sign KEY]\n"
    "       tolvar-release check DIR [--from OLD_LIST] [--key PUB]\n"
    "       tolvar-release check --published [TAG] [--from OLD_LIST] [--key PUB]\n"
    "       tolvar-release keygen DIR\n"
    "\n"
    "make   writes DIR/tolvar-setup.txt from DIR/tolvar-setup.in and the zips in DIR,\n"
    "       then checks it as check does; no list is left when check finds anything\n"
    "--sign also signs the list with the private key KEY into DIR/tolvar-setup.txt.sig\n"
    "check  judges DIR/tolvar-setup.txt against the zips in DIR, or with --published\n"
    "       the release TAG (the latest when none is given) as players download it\n"
    "--from also shows what an update from the release of OLD_LIST (a setup list)\n"
    "       carries over and downloads\n"
    "--key  also checks the list's signature tolvar-setup.txt.sig with the public key\n"
    "       PUB, as a setup built with that key does\n"
    "keygen writes a new publisher key pair: DIR/publisher.pem (private, owner-only,\n"
    "       never overwritten) and DIR/publisher.pub.pem (to build the setup with)\n"
    "\n"
    "exit codes: 0 fine, 1 findings, 2 bad usage\n";

static int usage(const char* problem)
{
    if (problem)
        fprintf(stderr, "tolvar-release: %s\n", problem);
    fputs(usage_text, stderr);
    return 2;
}

// Reads OLD_LIST as the setup reads a list; 0 when it reads none.
static int read_old_list(const char* path, setup_list* old)
{
    std::string text;
    if (!read_file_text(path, &text)) {
        fprintf(stderr, "tolvar-release: cannot read %s\n", path);
        return 0;
    }
    std::vector<char> buf(text.begin(), text.end());
    buf.push_back(0);
    if (read_setup_list(buf.data(), 0, old) != list_ok) {
        fprintf(stderr, "tolvar-release: %s is no setup list that the setup can read\n", path);
        return 0;
    }
    return 1;
}

static int check_command(int argc, char** argv)
{
    const char* dir = 0;
    const char* from = 0;
    const char* key = 0;
    const char* tag = 0;
    bool published = false;
    for (int i = 2; i < argc; i++) {
        if (strcmp(argv[i], "--from") == 0) {
            if (i + 1 >= argc || from)
                return usage("--from takes one OLD_LIST");
            from = argv[++i];
        } else if (strcmp(argv[i], "--key") == 0) {
            if (i + 1 >= argc || key)
                return usage("--key takes one PUB");
            key = argv[++i];
        } else if (strcmp(argv[i], "--published") == 0) {
            if (published)
                return usage("--published is given twice");
            published = true;
            if (i + 1 < argc && strncmp(argv[i + 1], "--", 2) != 0)
                tag = argv[++i];
        } else if (strncmp(argv[i], "--", 2) == 0 || dir) {
            return usage((std::string("unexpected argument ") + argv[i]).c_str());
        } else {
            dir = argv[i];
        }
    }
    if (published == (dir != 0))
        return usage("check takes either DIR or --published");

    static setup_list old;
    if (from && !read_old_list(from, &old))
        return 2;
    std::string pem;
    if (key && !read_publisher_key(key, &pem))
        return 2;
    if (published)
        return check_published(tag, from ? &old : 0, key ? &pem : 0);

    std::string list_path = std::string(dir) + "/tolvar-setup.txt";
    check_request req;
    if (!read_file_text(list_path, &req.text)) {
        fprintf(stderr, "tolvar-release: cannot read %s\n", list_path.c_str());
        return 2;
    }
    req.pinned_tag = 0;
    req.find = zip_in_folder;
    req.ctx = (void*)dir;
    req.old = from ? &old : 0;
    check_release(&req);
    if (key) {
        std::string sig_path = list_path + ".sig";
        std::string sig;
        if (!read_file_text(sig_path, &sig))
            report_unsigned(sig_path.c_str(), "is missing");
        else
            judge_signature(pem, req.text, sig, sig_path.c_str());
    }
    print_summary(list_path.c_str());
    return finding_count() > 0 ? 1 : 0;
}

int main(int argc, char** argv)
{
    // Zip names are compared and shown as UTF-8 whatever the caller's locale.
    if (!setlocale(LC_CTYPE, "C.UTF-8") && !setlocale(LC_CTYPE, "en_US.UTF-8")) {
        fprintf(stderr, "tolvar-release: needs the C.UTF-8 locale\n");
        return 2;
    }
    if (argc < 2)
        return usage(0);
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0) {
        fputs(usage_text, stdout);
        return 0;
    }
    if (strcmp(argv[1], "make") == 0) {
        int signs = argc == 5 && strcmp(argv[3], "--sign") == 0;
        if ((argc != 3 && !signs) || strncmp(argv[2], "--", 2) == 0)
            return usage("make takes one DIR, and --sign KEY");
        return make_release(argv[2], signs ? argv[4] : 0);
    }
    if (strcmp(argv[1], "keygen") == 0) {
        if (argc != 3 || strncmp(argv[2], "--", 2) == 0)
            return usage("keygen takes one DIR");
        return keygen(argv[2]);
    }
    if (strcmp(argv[1], "check") == 0)
        return check_command(argc, argv);
    return usage((std::string("unknown command ") + argv[1]).c_str());
}
