#include "install/zip_reader.h"

#include <string.h>
#include <zlib.h>

static uint32_t le16(const unsigned char* p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8;
}

static uint32_t le32(const unsigned char* p)
{
    return le16(p) | le16(p + 2) << 16;
}

static uint64_t le64(const unsigned char* p)
{
    return (uint64_t)le32(p) | (uint64_t)le32(p + 4) << 32;
}

static int read_at(const zip_input* in, uint64_t offset, void* buf, size_t len)
{
    if (offset > in->size || len > in->size - offset)
        return 0;
    return len == 0 || in->read(in->ctx, offset, buf, len);
}

// The end record sits in the last 22 bytes plus at most 65535 of comment.
// The last signature whose record and comment fit in the file wins.
static int find_end_record(const zip_input* in, unsigned char* buf, uint64_t* at)
{
    const uint64_t tail_max = 22 + 65535;
    uint64_t tail = in->size < tail_max ? in->size : tail_max;
    if (tail < 22 || !read_at(in, in->size - tail, buf, (size_t)tail))
        return 0;
    for (uint64_t i = tail - 22 + 1; i-- > 0;) {
        const unsigned char* p = buf + i;
        if (le32(p) == 0x06054b50 && i + 22 + le16(p + 20) <= tail) {
            *at = in->size - tail + i;
            return 1;
        }
    }
    return 0;
}

int zip_open(zip_dir* dir, const zip_input* in)
{
    dir->in = *in;
    dir->win_len = 0;
    dir->left = 0;
    uint64_t end_at;
    // The end record and its comment fit in the local-header buffer.
    if (!find_end_record(in, dir->local, &end_at))
        return ZIP_DAMAGED;
    unsigned char end[22];
    if (!read_at(in, end_at, end, 22))
        return ZIP_DAMAGED;
    uint64_t count = le16(end + 10);
    uint64_t dir_size = le32(end + 12);
    uint64_t dir_start = le32(end + 16);
    uint64_t limit = end_at; // the directory ends before the records that point at it
    if (le16(end + 4) != 0 || le16(end + 6) != 0 || le16(end + 8) != le16(end + 10))
        return ZIP_UNSUPPORTED;

    unsigned char loc[20];
    if (end_at >= 20 && read_at(in, end_at - 20, loc, 20) && le32(loc) == 0x07064b50) {
        // zip64: the locator points at the zip64 end record, whose counts
        // and offsets replace the 16- and 32-bit ones.
        if (le32(loc + 4) != 0 || le32(loc + 16) > 1)
            return ZIP_UNSUPPORTED;
        uint64_t rec_at = le64(loc + 8);
        unsigned char rec[56];
        if (rec_at > end_at - 20 || end_at - 20 - rec_at < 56 || !read_at(in, rec_at, rec, 56) ||
            le32(rec) != 0x06064b50)
            return ZIP_DAMAGED;
        if (le32(rec + 16) != 0 || le32(rec + 20) != 0 || le64(rec + 24) != le64(rec + 32))
            return ZIP_UNSUPPORTED;
        count = le64(rec + 32);
        dir_size = le64(rec + 40);
        dir_start = le64(rec + 48);
        limit = rec_at;
    }
    if (dir_start > limit || dir_size > limit - dir_start || count > dir_size / 46)
        return ZIP_DAMAGED;
    dir->dir_start = dir_start;
    dir->dir_end = dir_start + dir_size;
    dir->next = dir_start;
    dir->left = count;
    return ZIP_OK;
}

// len bytes of the directory at offset, through the read-ahead window;
// 0 when they lie outside the directory or cannot be read. len <= 65536.
static const unsigned char* dir_bytes(zip_dir* dir, uint64_t offset, uint32_t len)
{
    if (offset < dir->dir_start || offset > dir->dir_end || len > dir->dir_end - offset)
        return 0;
    if (offset >= dir->win_start && offset - dir->win_start + len <= dir->win_len)
        return dir->win + (offset - dir->win_start);
    uint64_t rest = dir->dir_end - offset;
    uint32_t want = rest < sizeof dir->win ? (uint32_t)rest : (uint32_t)sizeof dir->win;
    dir->win_len = 0;
    if (!read_at(&dir->in, offset, dir->win, want))
        return 0;
    dir->win_start = offset;
    dir->win_len = want;
    return dir->win;
}

// Takes the zip64 field's values for the fields that hold all ones.
static int take_zip64(const unsigned char* p, uint32_t len, zip_item* item, int disk_ones)
{
    uint64_t* fields[3] = {&item->size, &item->packed_size, &item->header_offset};
    for (int i = 0; i < 3; i++) {
        if (*fields[i] != 0xffffffffu)
            continue;
        if (len < 8)
            return 0;
        *fields[i] = le64(p);
        p += 8;
        len -= 8;
    }
    // The disk number, when it is there, must name the only disk.
    if (disk_ones && (len < 4 || le32(p) != 0))
        return 0;
    return 1;
}

// The Info-ZIP Unicode path field: version 1, the CRC-32 of the name it
// stands for, then that name in UTF-8. It counts only while the CRC matches,
// so a tool that renamed the entry without updating the field is not fooled.
static void take_unicode_path(const unsigned char* p, uint32_t len, zip_item* item)
{
    if (len < 5 || p[0] != 1 || len - 5 >= (uint32_t)zip_name_size)
        return;
    if (le32(p + 1) != (uint32_t)crc32(0, (const Bytef*)item->raw_name, (uInt)item->raw_len))
        return;
    memcpy(item->name, p + 5, len - 5);
    item->name[len - 5] = 0;
    item->utf8 = 1;
}

// Walks the extra fields; 0 when the zip64 field is needed and wrong.
static int take_central_extras(const unsigned char* p, uint32_t len, zip_item* item, int disk_ones)
{
    int zip64_done = 0;
    while (len >= 4) {
        uint32_t id = le16(p);
        uint32_t size = le16(p + 2);
        if (size > len - 4)
            break; // a cut field at the end is ignored, as unpackers do
        if (id == 0x0001 && !zip64_done) {
            if (!take_zip64(p + 4, size, item, disk_ones))
                return 0;
            zip64_done = 1;
        } else if (id == 0x7075) {
            take_unicode_path(p + 4, size, item);
        }
        p += 4 + size;
        len -= 4 + size;
    }
    // Sizes that stay all ones without a zip64 field are taken as written;
    // a disk number of all ones needs the field.
    return zip64_done || !disk_ones;
}

static void classify(zip_item* item, uint32_t made_by, uint32_t attributes)
{
    uint32_t system = made_by >> 8;
    uint32_t mode = system == 3 ? attributes >> 16 : 0;
    uint32_t type = mode & 0170000;
    item->kind = ZIP_FILE;
    if (type == 0040000)
        item->kind = ZIP_FOLDER;
    else if (type == 0120000)
        item->kind = ZIP_LINK;
    else if (type != 0 && type != 0100000 && type != 0010000) // a pipe is Info-ZIP's stdin
        item->kind = ZIP_OTHER;
    if (system == 0 && (attributes & 0x10))
        item->kind = ZIP_FOLDER;
    char last = item->raw_len > 0 ? item->raw_name[item->raw_len - 1] : 0;
    if (item->kind == ZIP_FILE && (last == '/' || (system == 0 && last == '\\')))
        item->kind = ZIP_FOLDER;
    item->read_only = (system == 3 && mode != 0 && !(mode & 0200)) || (system == 0 && (attributes & 1));
}

int zip_next(zip_dir* dir, zip_item* item)
{
    if (dir->left == 0)
        return ZIP_END;
    const unsigned char* p = dir_bytes(dir, dir->next, 46);
    if (!p || le32(p) != 0x02014b50)
        return ZIP_DAMAGED;
    uint32_t made_by = le16(p + 4);
    uint32_t flags = le16(p + 8);
    uint32_t name_len = le16(p + 28);
    uint32_t extra_len = le16(p + 30);
    uint32_t comment_len = le16(p + 32);
    uint32_t disk = le16(p + 34);
    uint32_t attributes = le32(p + 38);
    item->method = (int)le16(p + 10);
    item->encrypted = (flags & 0x41) != 0; // traditional or strong encryption
    item->crc = le32(p + 16);
    item->packed_size = le32(p + 20);
    item->size = le32(p + 24);
    item->header_offset = le32(p + 42);
    item->flags = flags;
    item->utf8 = (flags & 0x800) != 0;
    item->has_unix_time = 0;
    item->unix_time = 0;
    item->dos_time = le16(p + 14) << 16 | le16(p + 12);
    if (disk != 0 && disk != 0xffff)
        return ZIP_UNSUPPORTED;

    uint64_t at = dir->next + 46;
    if (name_len >= (uint32_t)zip_name_size)
        return ZIP_UNSUPPORTED;
    const unsigned char* name = dir_bytes(dir, at, name_len);
    if (!name)
        return ZIP_DAMAGED;
    memcpy(item->raw_name, name, name_len);
    item->raw_name[name_len] = 0;
    item->raw_len = (int)name_len;
    // A zero byte inside a name would cut it short of what was checked.
    if (memchr(item->raw_name, 0, name_len))
        return ZIP_DAMAGED;
    memcpy(item->name, item->raw_name, name_len + 1);
    at += name_len;
    const unsigned char* extra = dir_bytes(dir, at, extra_len);
    if (!extra || !take_central_extras(extra, extra_len, item, disk == 0xffff))
        return ZIP_DAMAGED;
    at += extra_len;
    if (!dir_bytes(dir, at, comment_len))
        return ZIP_DAMAGED;
    dir->next = at + comment_len;
    dir->left--;
    classify(item, made_by, attributes);
    return ZIP_OK;
}

// The extended time field of a local header: flags, then the modification
// time when bit 0 is set.
static void take_local_extras(const unsigned char* p, uint32_t len, zip_item* item)
{
    while (len >= 4) {
        uint32_t id = le16(p);
        uint32_t size = le16(p + 2);
        if (size > len - 4)
            break;
        if (id == 0x5455 && size >= 5 && (p[4] & 1)) {
            item->unix_time = (int32_t)le32(p + 5);
            item->has_unix_time = 1;
        }
        p += 4 + size;
        len -= 4 + size;
    }
}

int zip_data_start(zip_dir* dir, zip_item* item, uint64_t* start)
{
    unsigned char* p = dir->local;
    if (item->header_offset > dir->dir_start || !read_at(&dir->in, item->header_offset, p, 30) ||
        le32(p) != 0x04034b50)
        return ZIP_DAMAGED;
    uint32_t name_len = le16(p + 26);
    uint32_t extra_len = le16(p + 28);
    // The same name in the same encoding, packed the same way: a local
    // header that says otherwise belongs to another entry.
    if ((int)name_len != item->raw_len || (int)le16(p + 8) != item->method ||
        ((le16(p + 6) ^ item->flags) & 0x841) != 0)
        return ZIP_DAMAGED;
    unsigned char* fields = p + 30;
    if (!read_at(&dir->in, item->header_offset + 30, fields, name_len + extra_len))
        return ZIP_DAMAGED;
    if (memcmp(fields, item->raw_name, name_len) != 0)
        return ZIP_DAMAGED;
    item->dos_time = le16(p + 12) << 16 | le16(p + 10);
    take_local_extras(fields + name_len, extra_len, item);
    uint64_t data = item->header_offset + 30 + name_len + extra_len;
    if (data > dir->dir_start || item->packed_size > dir->dir_start - data)
        return ZIP_DAMAGED;
    *start = data;
    return ZIP_OK;
}
