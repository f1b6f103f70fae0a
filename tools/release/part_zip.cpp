#include "part_zip.h"

#include <string.h>

#include "digest.h"
#include "entry_rules.h"
#include "messages.h"
#include "names.h"
#include "report.h"

bool is_lower_hex_digest(const char* sha256)
{
    if (strlen(sha256) != 64)
        return false;
    for (const char* p = sha256; *p; p++)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f')))
            return false;
    return true;
}

static bool is_hex_digest(const char* sha256)
{
    if (strlen(sha256) != 64)
        return false;
    for (const char* p = sha256; *p; p++)
        if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') || (*p >= 'A' && *p <= 'F')))
            return false;
    return true;
}

static void check_digest(const part_entry* part, int i, int n, const std::string& path, part_zip* out)
{
    std::string who = part_label(i, n, part->url);
    std::string said = format_text(msg_checksum, i + 1, n);
    bool lower = is_lower_hex_digest(part->sha256);
    if (!lower && is_hex_digest(part->sha256))
        finding("%s: its sha256 is written with upper-case hex digits, which never match: players get \"%s\"",
                who.c_str(), said.c_str());
    else if (!lower)
        finding("%s: its sha256 %s is not 64 lower-case hex digits: players get \"%s\"", who.c_str(),
                shown(part->sha256).c_str(), said.c_str());
    if (path.empty())
        return;

    char hex[65];
    uint64_t size = 0;
    if (!file_digest(path.c_str(), hex, &size)) {
        finding("%s: its zip %s cannot be read", who.c_str(), shown(path).c_str());
        return;
    }
    out->found = true;
    out->size = size;
    if (lower && strcmp(hex, part->sha256) != 0)
        finding("%s: its sha256 is not the zip's (the list has %s, the zip %s): players get \"%s\"", who.c_str(),
                part->sha256, hex, said.c_str());
    if (part->size == 0)
        finding("%s: its size is 0 (not checked), the zip has %llu bytes: the setup shows no progress and takes a "
                "cut download for a damaged one",
                who.c_str(), (unsigned long long)size);
    else if (part->size != size)
        finding("%s: its size %llu is not the zip's %llu bytes: every download of it fails and players get \"%s\"",
                who.c_str(), (unsigned long long)part->size, (unsigned long long)size,
                format_text(msg_servers, i + 1, n).c_str());
}

// Entries of one kind of trouble: how many, and the first one.
struct entry_group {
    int count;
    std::string first;    // its name as stored
    std::string becomes;  // what Windows makes of it, where that says something
};

static void add(entry_group* g, const std::string& name, const std::string& becomes)
{
    if (g->count++ == 0) {
        g->first = name;
        g->becomes = becomes;
    }
}

static std::string entries_text(const entry_group& g)
{
    return g.count == 1 ? "1 entry" : std::to_string(g.count) + " entries";
}

static std::string links_text(const entry_group& g)
{
    return g.count == 1 ? "1 symbolic link" : std::to_string(g.count) + " symbolic links";
}

static void check_entries(const part_entry* part, int i, int n, const zip_listing& listing)
{
    entry_group dot_dot = {}, absolute = {}, drive = {}, backslash = {}, bad_char = {}, unusable = {};
    entry_group unflagged = {}, not_utf8 = {}, symlink = {};
    for (size_t k = 0; k < listing.entries.size(); k++) {
        const zip_entry& z = listing.entries[k];
        // A name that is no UTF-8 and carries the flag reads as nothing at all.
        std::string name = !z.name.empty() ? z.name : !z.oem_name.empty() ? z.oem_name
                                                                           : format_text("(entry %zu)", k + 1);
        if (!z.valid_utf8) {
            add(z.flagged ? &not_utf8 : &unflagged, name, z.oem_name);
        } else if (!z.flagged) {
            add(&unflagged, name, z.oem_name);
        }
        if (z.is_symlink)
            add(&symlink, name, "");
        if (z.name.empty())
            continue;
        entry_fate fate;
        windows_fate(name, &fate);
        if (fate.changes & entry_dot_dot)
            add(&dot_dot, name, "");
        // "C:/x" is one absolute name, told as a drive letter.
        if ((fate.changes & entry_absolute) && !(fate.changes & entry_drive))
            add(&absolute, name, fate.written);
        if (fate.changes & entry_drive)
            add(&drive, name, fate.written);
        if (fate.changes & entry_backslash)
            add(&backslash, name, fate.written);
        if (fate.changes & entry_bad_char)
            add(&bad_char, name, fate.written);
        if (fate.changes & entry_unusable)
            add(&unusable, name, fate.segment);
    }

    std::string who = part_label(i, n, part->url);
    std::string unpack = format_text(msg_unpack, i + 1, n);
    if (dot_dot.count)
        finding("%s: %s with a '..' segment, first %s: Windows' tar.exe refuses such entries and players get \"%s\"",
                who.c_str(), entries_text(dot_dot).c_str(), shown(dot_dot.first).c_str(), unpack.c_str());
    if (absolute.count)
        finding("%s: %s with an absolute name, first %s: Windows' tar.exe strips the front and writes %s",
                who.c_str(), entries_text(absolute).c_str(), shown(absolute.first).c_str(),
                shown(absolute.becomes).c_str());
    if (drive.count)
        finding("%s: %s beginning with a drive letter, first %s: Windows' tar.exe strips it and writes %s",
                who.c_str(), entries_text(drive).c_str(), shown(drive.first).c_str(), shown(drive.becomes).c_str());
    if (backslash.count)
        finding("%s: %s with '\\' in the name, first %s: zip names separate folders with '/', Windows' tar.exe "
                "takes '\\' as a separator too and writes %s",
                who.c_str(), entries_text(backslash).c_str(), shown(backslash.first).c_str(),
                shown(backslash.becomes).c_str());
    if (bad_char.count)
        finding("%s: %s with a character Windows does not allow in names (: * ? \" < > |), first %s: Windows' "
                "tar.exe writes %s",
                who.c_str(), entries_text(bad_char).c_str(), shown(bad_char.first).c_str(),
                shown(bad_char.becomes).c_str());
    if (unusable.count)
        finding("%s: %s with a name Windows cannot keep (a trailing dot or space, a device name such as CON or "
                "NUL, a control character), first %s (in %s)",
                who.c_str(), entries_text(unusable).c_str(), shown(unusable.first).c_str(),
                shown(unusable.becomes).c_str());
    if (unflagged.count)
        finding("%s: %s with a non-ASCII name but without the zip's UTF-8 flag, first %s: Windows' tar.exe "
                "decodes such names in the OEM code page and writes, on an English Windows, %s",
                who.c_str(), entries_text(unflagged).c_str(), shown(unflagged.first).c_str(),
                shown(unflagged.becomes).c_str());
    if (not_utf8.count)
        finding("%s: %s carrying the UTF-8 flag with a name that is not UTF-8, first %s: Windows' tar.exe cannot "
                "write such names as they are",
                who.c_str(), entries_text(not_utf8).c_str(), shown(not_utf8.first).c_str());
    if (symlink.count)
        finding("%s: it holds %s, first %s: Windows' tar.exe cannot make one without a privilege that players "
                "lack, and players get \"%s\"",
                who.c_str(), links_text(symlink).c_str(), shown(symlink.first).c_str(), unpack.c_str());
}

void check_part_zip(const part_entry* part, int i, int n, const std::string& path, part_zip* out)
{
    out->found = false;
    out->size = 0;
    out->listed = false;
    check_digest(part, i, n, path, out);
    if (!out->found)
        return;
    std::string who = part_label(i, n, part->url);
    std::string unpack = format_text(msg_unpack, i + 1, n);
    if (!scan_zip(path.c_str(), &out->listing)) {
        finding("%s: its file is not a zip archive (%s): players get \"%s\"", who.c_str(), out->listing.error.c_str(),
                unpack.c_str());
        return;
    }
    out->listed = true;
    check_entries(part, i, n, out->listing);
    if (!out->listing.error.empty()) {
        std::string at = out->listing.error_entry.empty() ? "" : ", at " + shown(out->listing.error_entry);
        finding("%s: its zip cannot be unpacked whole (%s%s): players get \"%s\"", who.c_str(),
                out->listing.error.c_str(), at.c_str(), unpack.c_str());
    }
}
