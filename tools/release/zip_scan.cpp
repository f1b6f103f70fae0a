#include "zip_scan.h"

#include <archive.h>
#include <archive_entry.h>
#include <string.h>

static std::string error_text(archive* a)
{
    const char* text = archive_error_string(a);
    return text ? text : "unreadable";
}

// Null with *error set when the file cannot be opened as a zip.
static archive* open_zip(const char* path, const char* charset, std::string* error)
{
    archive* a = archive_read_new();
    if (!a) {
        *error = "out of memory";
        return 0;
    }
    // Zip alone: a part is unpacked as a zip, whatever else tar.exe reads.
    archive_read_support_format_zip(a);
    // The charset applies only to names stored without the UTF-8 flag.
    if (archive_read_set_format_option(a, "zip", "hdrcharset", charset) < ARCHIVE_WARN ||
        archive_read_open_filename(a, path, 1 << 16) != ARCHIVE_OK) {
        *error = error_text(a);
        archive_read_free(a);
        return 0;
    }
    return a;
}

// The entry's name in UTF-8; empty when it does not convert.
static std::string entry_name(archive_entry* e)
{
    const char* utf8 = archive_entry_pathname_utf8(e);
    return utf8 ? utf8 : "";
}

// Reads and drops the entry's data, so that damage and unsupported
// compression show now, as they would while unpacking.
static int read_data(archive* a)
{
    static char buf[1 << 16];
    for (;;) {
        la_ssize_t got = archive_read_data(a, buf, sizeof buf);
        if (got == 0)
            return 1;
        if (got < 0)
            return 0;
    }
}

int scan_zip(const char* path, zip_listing* out)
{
    out->entries.clear();
    out->error.clear();
    out->error_entry.clear();

    archive* a = open_zip(path, "UTF-8", &out->error);
    if (!a)
        return 0;
    archive_entry* e;
    for (;;) {
        int r = archive_read_next_header(a, &e);
        if (r == ARCHIVE_EOF)
            break;
        if (r < ARCHIVE_WARN) {
            out->error = error_text(a);
            break;
        }
        zip_entry z;
        z.name = entry_name(e);
        // A name that does not convert from UTF-8 has none here.
        z.valid_utf8 = archive_entry_pathname_utf8(e) != 0;
        z.flagged = true;
        z.is_dir = archive_entry_filetype(e) == AE_IFDIR;
        z.is_symlink = archive_entry_filetype(e) == AE_IFLNK;
        out->entries.push_back(z);
        if (archive_entry_is_encrypted(e)) {
            out->error = "the entry is encrypted";
            out->error_entry = z.name;
            break;
        }
        if (!z.is_dir && !read_data(a)) {
            out->error = error_text(a);
            out->error_entry = z.name;
            break;
        }
    }
    archive_read_free(a);

    // The second reading: names without the flag come out in code page 437.
    std::string ignored;
    a = open_zip(path, "CP437", &ignored);
    if (!a)
        return 1;
    for (size_t i = 0; i < out->entries.size() && archive_read_next_header(a, &e) >= ARCHIVE_WARN; i++) {
        zip_entry& z = out->entries[i];
        z.oem_name = entry_name(e);
        z.flagged = z.oem_name == z.name;
        archive_read_data_skip(a);
    }
    archive_read_free(a);
    return 1;
}
