#include "signing.h"

#include <errno.h>
#include <fcntl.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/pem.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "file_text.h"
#include "install/signature_format.h"
#include "messages.h"
#include "names.h"
#include "report.h"

// 1 when key is on P-256, the one curve the setup verifies with.
static int is_p256(EVP_PKEY* key)
{
    char group[64];
    size_t len = 0;
    return EVP_PKEY_is_a(key, "EC") && EVP_PKEY_get_group_name(key, group, sizeof group, &len) &&
           strcmp(group, "prime256v1") == 0;
}

std::string public_pem(EVP_PKEY* key)
{
    BIO* mem = BIO_new(BIO_s_mem());
    std::string out;
    char* data = 0;
    if (mem && PEM_write_bio_PUBKEY(mem, key)) {
        long len = BIO_get_mem_data(mem, &data);
        if (len > 0)
            out.assign(data, (size_t)len);
    }
    BIO_free(mem);
    return out;
}

// Writes text into a file made afresh at path with mode; 0 when the file
// exists already (errno EEXIST) or cannot be written (nothing left then).
static int create_file(const std::string& path, const std::string& text, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW, mode);
    if (fd < 0)
        return 0;
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0)
            break;
        done += (size_t)n;
    }
    int ok = done == text.size() && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok)
        unlink(path.c_str());
    return ok;
}

static std::string private_pem(EVP_PKEY* key)
{
    BIO* mem = BIO_new(BIO_s_mem());
    std::string out;
    char* data = 0;
    if (mem && PEM_write_bio_PrivateKey(mem, key, 0, 0, 0, 0, 0)) {
        long len = BIO_get_mem_data(mem, &data);
        if (len > 0)
            out.assign(data, (size_t)len);
    }
    BIO_free(mem);
    return out;
}

int keygen(const char* dir)
{
    std::string priv = std::string(dir) + "/publisher.pem";
    std::string pub = std::string(dir) + "/publisher.pub.pem";
    if (mkdir(dir, 0700) != 0 && errno != EEXIST) {
        fprintf(stderr, "tolvar-release: cannot make %s: %s\n", dir, strerror(errno));
        return 2;
    }
    struct stat st;
    if (lstat(pub.c_str(), &st) == 0 || lstat(priv.c_str(), &st) == 0) {
        fprintf(stderr, "tolvar-release: %s holds a publisher key already; keygen never overwrites one\n", dir);
        return 2;
    }
    EVP_PKEY* key = EVP_PKEY_Q_keygen(0, 0, "EC", "P-256");
    std::string priv_text = key ? private_pem(key) : "";
    std::string pub_text = key ? public_pem(key) : "";
    EVP_PKEY_free(key);
    uint8_t xy[64];
    if (priv_text.empty() || !read_public_key(pub_text.data(), pub_text.size(), xy)) {
        fprintf(stderr, "tolvar-release: OpenSSL could not make a P-256 key\n");
        return 2;
    }
    // Owner-only from the first byte: the private key is never readable by
    // others, not even for a moment, and an existing file is never replaced.
    if (!create_file(priv, priv_text, 0600)) {
        fprintf(stderr, "tolvar-release: cannot create %s: %s\n", priv.c_str(), strerror(errno));
        return 2;
    }
    if (!create_file(pub, pub_text, 0644)) {
        fprintf(stderr, "tolvar-release: cannot create %s: %s\n", pub.c_str(), strerror(errno));
        unlink(priv.c_str());
        return 2;
    }
    printf("wrote %s: the private key. It signs releases: keep it off the release host and out of every "
           "repository, and back it up\n",
           priv.c_str());
    printf("wrote %s: the public key. Build the setup with -DTOLVAR_PUBLISHER_KEY=<its absolute path>\n",
           pub.c_str());
    return 0;
}

EVP_PKEY* load_signing_key(const char* path)
{
    FILE* f = fopen(path, "rb");
    if (!f) {
        fprintf(stderr, "tolvar-release: cannot read %s\n", path);
        return 0;
    }
    EVP_PKEY* key = PEM_read_PrivateKey(f, 0, 0, 0);
    fclose(f);
    if (!key || !is_p256(key)) {
        fprintf(stderr, "tolvar-release: %s is no ECDSA P-256 private key in PEM (tolvar-release keygen makes one)\n",
                path);
        EVP_PKEY_free(key);
        return 0;
    }
    return key;
}

int sign_text(EVP_PKEY* key, const std::string& text, std::string* sig)
{
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    unsigned char der[128];
    size_t len = sizeof der;
    int ok = ctx && EVP_DigestSignInit(ctx, 0, EVP_sha256(), 0, key) == 1 &&
             EVP_DigestSign(ctx, der, &len, (const unsigned char*)text.data(), text.size()) == 1;
    EVP_MD_CTX_free(ctx);
    if (ok)
        sig->assign((const char*)der, len);
    return ok;
}

int read_publisher_key(const char* path, std::string* pem)
{
    uint8_t xy[64];
    if (!read_file_text(path, pem)) {
        fprintf(stderr, "tolvar-release: cannot read %s\n", path);
        return 0;
    }
    if (!read_public_key(pem->data(), pem->size(), xy)) {
        fprintf(stderr,
                "tolvar-release: %s is no key the setup can be built with (an ECDSA P-256 public key in PEM, as "
                "keygen writes it)\n",
                path);
        return 0;
    }
    return 1;
}

// OpenSSL's verdict on a signature the setup's reader has taken.
static int openssl_verifies(const std::string& pem, const std::string& text, const std::string& sig)
{
    BIO* mem = BIO_new_mem_buf(pem.data(), (int)pem.size());
    EVP_PKEY* key = mem ? PEM_read_bio_PUBKEY(mem, 0, 0, 0) : 0;
    BIO_free(mem);
    EVP_MD_CTX* ctx = EVP_MD_CTX_new();
    int ok = key && ctx && EVP_DigestVerifyInit(ctx, 0, EVP_sha256(), 0, key) == 1 &&
             EVP_DigestVerify(ctx, (const unsigned char*)sig.data(), sig.size(), (const unsigned char*)text.data(),
                              text.size()) == 1;
    EVP_MD_CTX_free(ctx);
    EVP_PKEY_free(key);
    return ok;
}

int judge_signature(const std::string& pem, const std::string& text, const std::string& sig, const char* what)
{
    uint8_t rs[64];
    const char* why = 0;
    if (sig.empty())
        why = "it is empty";
    else if (!read_der_signature((const uint8_t*)sig.data(), sig.size(), rs))
        why = "its bytes are no ECDSA signature in the one DER form the setup reads";
    else if (!openssl_verifies(pem, text, sig))
        why = "it is no signature of this list by this key";
    if (!why)
        return 1;
    finding("%s: %s: players get \"%s\"", what, why, msg_sig_mismatch);
    return 0;
}

void report_unsigned(const char* what, const char* why)
{
    finding("%s %s: players get \"%s\"", what, why, msg_not_signed);
}
