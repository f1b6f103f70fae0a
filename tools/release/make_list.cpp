#include "make_list.h"

#include <stdio.h>
#include <unistd.h>

#include <string>

#include "digest.h"
#include "file_text.h"
#include "in_file.h"
#include "names.h"
#include "release_check.h"
#include "report.h"
#include "signing.h"

// Signs the list into sig_path and reads the signature back as the setup
// would, with the key's public half. 0 exit code, 1 a finding, 2 no signature.
static int sign_list(EVP_PKEY* key, const std::string& list, const std::string& sig_path)
{
    std::string sig;
    if (!sign_text(key, list, &sig) || !write_file_text(sig_path, sig)) {
        fprintf(stderr, "tolvar-release: cannot sign the list into %s\n", sig_path.c_str());
        return 2;
    }
    return judge_signature(public_pem(key), list, sig, sig_path.c_str()) ? 0 : 1;
}

static int make_list(const char* dir, EVP_PKEY* key)
{
    std::string in_path = std::string(dir) + "/tolvar-setup.in";
    std::string list_path = std::string(dir) + "/tolvar-setup.txt";
    std::string sig_path = list_path + ".sig";
    std::string text;
    if (!read_file_text(in_path, &text)) {
        fprintf(stderr, "tolvar-release: cannot read %s\n", in_path.c_str());
        return 2;
    }
    // A signature of the list this make replaces signs nothing any more; a
    // release uploaded with it would be refused by every signed setup.
    if (unlink(sig_path.c_str()) == 0)
        note("removed %s: it signed the list that this make replaces", sig_path.c_str());
    release_in in;
    if (!read_in_file(text, "tolvar-setup.in", &in)) {
        print_summary(in_path.c_str());
        return 1;
    }

    std::string list = "tag " + in.tag + "\nrun " + in.run + "\n";
    for (const in_part& p : in.parts) {
        char hex[65];
        uint64_t size = 0;
        if (!file_digest((std::string(dir) + "/" + p.zip).c_str(), hex, &size)) {
            finding("tolvar-setup.in line %d: the zip %s is not in %s", p.line, shown(p.zip).c_str(), shown(dir).c_str());
            continue;
        }
        list += format_text("part %s %llu %s %s %s %s%s\n", hex, (unsigned long long)size, p.dir.c_str(),
                            p.from.c_str(), p.to.c_str(), in.url.c_str(), p.zip.c_str());
    }
    if (finding_count() > 0) {
        print_summary(in_path.c_str());
        return 1;
    }
    if (!write_file_text(list_path, list)) {
        fprintf(stderr, "tolvar-release: cannot write %s\n", list_path.c_str());
        return 2;
    }

    check_request req = {list, 0, zip_in_folder, (void*)dir, 0};
    check_release(&req);
    if (finding_count() > 0) {
        // A list that players would fail on must not be published by mistake.
        unlink(list_path.c_str());
        print_summary((list_path + " (not kept)").c_str());
        return 1;
    }
    if (key) {
        int signed_code = sign_list(key, list, sig_path);
        if (signed_code != 0) {
            // An unsigned list would be refused by every signed setup.
            unlink(list_path.c_str());
            unlink(sig_path.c_str());
            print_summary((list_path + " (not kept)").c_str());
            return signed_code;
        }
        note("signed: %s", sig_path.c_str());
    }
    print_summary(list_path.c_str());
    return 0;
}

int make_release(const char* dir, const char* sign_key)
{
    EVP_PKEY* key = 0;
    if (sign_key && !(key = load_signing_key(sign_key)))
        return 2;
    int code = make_list(dir, key);
    EVP_PKEY_free(key);
    return code;
}
