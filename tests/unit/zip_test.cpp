#include <gtest/gtest.h>

#include "install/zip_reader.h"
#include "install/zip_stream.h"
#include "zip_builder.h"

namespace {

int read_string(void* ctx, uint64_t offset, void* buf, size_t len)
{
    const std::string* s = (const std::string*)ctx;
    if (offset > s->size() || len > s->size() - offset)
        return 0;
    memcpy(buf, s->data() + offset, len);
    return 1;
}

struct sink {
    std::string data;
    size_t limit = (size_t)-1; // refuses what would go past it
};

int write_string(void* ctx, const unsigned char* data, size_t len)
{
    sink* s = (sink*)ctx;
    if (s->data.size() + len > s->limit)
        return 0;
    s->data.append((const char*)data, len);
    return 1;
}

struct unpacked {
    std::string name;
    int kind;
    std::string data;
    int utf8;
    int read_only;
    int has_unix_time;
    int64_t unix_time;
    uint32_t dos_time;
};

static zip_dir g_dir; // too large for the stack

// Walks the whole archive as the unpacker does; the first result that is not
// ZIP_OK (ZIP_END when there was none), with what came out before it.
int unpack_all(const std::string& zip, std::vector<unpacked>* out, size_t limit = (size_t)-1)
{
    zip_input in = {read_string, (void*)&zip, zip.size()};
    int r = zip_open(&g_dir, &in);
    if (r != ZIP_OK)
        return r;
    static zip_item item;
    while ((r = zip_next(&g_dir, &item)) == ZIP_OK) {
        uint64_t start;
        r = zip_data_start(&g_dir, &item, &start);
        if (r != ZIP_OK)
            return r;
        sink s;
        s.limit = limit;
        if (item.kind == ZIP_FILE) {
            r = zip_unpack(&in, &item, start, write_string, &s);
            if (r != ZIP_OK)
                return r;
        }
        if (out)
            out->push_back({item.name, item.kind, s.data, item.utf8, item.read_only, item.has_unix_time,
                            item.unix_time, item.dos_time});
    }
    return r;
}

std::string text(int n, char seed)
{
    std::string s;
    for (int i = 0; i < n; i++)
        s += (char)(seed + (i * 7 + i / 13) % 26);
    return s;
}

zb_entry entry(const std::string& name, const std::string& data, int method = 8)
{
    zb_entry e;
    e.name = name;
    e.data = data;
    e.method = method;
    return e;
}

zb_entry folder(const std::string& name)
{
    zb_entry e = entry(name, "", 0);
    e.mode = 040755;
    return e;
}

} // namespace

TEST(zip, reads_every_form_the_writers_use)
{
    std::string big = text(300000, 'a'); // more than one buffer each way
    zb_entry dos_folder = entry("old\\", "", 0);
    dos_folder.made_by = 0;
    dos_folder.mode = 0;
    dos_folder.dos_attributes = 0x10;
    zb_entry read_only = entry("ro.txt", "r");
    read_only.mode = 0100444;
    zb_entry dos_read_only = entry("dosro.txt", "r");
    dos_read_only.made_by = 0;
    dos_read_only.mode = 0;
    dos_read_only.dos_attributes = 0x01;
    zb_entry described = entry("streamed.bin", big);
    described.descriptor = true;
    zb_entry sixty_four = entry("z64.bin", big, 0);
    sixty_four.zip64 = true;
    zb_entry flagged = entry("\xe7\x8e\x8b.txt", "w");
    flagged.flags = 0x800;
    zb_entry oem = entry("\x8e.txt", "o"); // OEM bytes, no flag
    zb_entry unicode = entry("\x8e.txt", "u");
    unicode.central_extra = zb_unicode_path("\x8e.txt", "\xc3\x84.txt");
    zb_entry stale_unicode = entry("\x8e.txt", "s");
    stale_unicode.central_extra = zb_unicode_path("\x8e.txt", "\xc3\x84.txt", 1);
    zb_entry timed = entry("timed.txt", "t");
    timed.local_extra = zb_unix_time(1700000000);
    timed.central_extra = zb_unix_time(5); // the local header's time wins, as in unpackers
    zb_entry no_mode = entry("plain.txt", "p");
    no_mode.mode = 0;
    zb_entry pipe = entry("fromstdin", "-");
    pipe.mode = 010644; // Info-ZIP records a pipe it read as such

    struct row {
        const char* form;
        std::vector<zb_entry> entries;
        bool zip64_end;
    } rows[] = {
        {"deflated, stored, folders, an empty file",
         {folder("game-1.0/"), entry("game-1.0/a.txt", big), entry("game-1.0/b.bin", "stored", 0),
          entry("game-1.0/empty", ""), folder("game-1.0/empty-folder/")},
         false},
        {"zip64 fields and end records", {sixty_four, entry("after.txt", "x")}, true},
        {"data descriptors", {described, entry("next.txt", "n")}, false},
        {"names and their encodings", {flagged, oem, unicode, stale_unicode}, false},
        {"attributes and times", {dos_folder, read_only, dos_read_only, timed, no_mode, pipe}, false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.form);
        std::vector<unpacked> got;
        ASSERT_EQ(unpack_all(zb_build(r.entries, r.zip64_end), &got), ZIP_END);
        ASSERT_EQ(got.size(), r.entries.size());
        for (size_t k = 0; k < got.size(); k++) {
            const zb_entry& e = r.entries[k];
            SCOPED_TRACE(e.name);
            bool is_folder = e.mode == 040755 || e.dos_attributes == 0x10;
            EXPECT_EQ(got[k].kind, is_folder ? ZIP_FOLDER : ZIP_FILE);
            EXPECT_EQ(got[k].data, e.data);
        }
    }

    std::vector<unpacked> got;
    unpack_all(zb_build({flagged, oem, unicode, stale_unicode}), &got);
    EXPECT_EQ(got[0].utf8, 1);
    EXPECT_EQ(got[1].utf8, 0);
    EXPECT_EQ(got[1].name, "\x8e.txt");
    EXPECT_EQ(got[2].utf8, 1);
    EXPECT_EQ(got[2].name, "\xc3\x84.txt");
    EXPECT_EQ(got[3].utf8, 0) << "a Unicode path field for another name is ignored";
    EXPECT_EQ(got[3].name, "\x8e.txt");

    got.clear();
    unpack_all(zb_build({dos_folder, read_only, dos_read_only, timed, no_mode, pipe}), &got);
    EXPECT_EQ(got[1].read_only, 1);
    EXPECT_EQ(got[2].read_only, 1);
    EXPECT_EQ(got[4].read_only, 0);
    EXPECT_EQ(got[3].has_unix_time, 1);
    EXPECT_EQ(got[3].unix_time, 1700000000);
    EXPECT_EQ(got[4].has_unix_time, 0);
    EXPECT_EQ(got[4].dos_time, 0x5a216000u);
}

TEST(zip, refuses_damage_and_forms_it_cannot_read)
{
    zb_entry good = entry("a.txt", text(5000, 'a'));
    auto with = [&](void (*change)(zb_entry&)) {
        zb_entry e = good;
        change(e);
        return zb_build({entry("first.txt", "1"), e});
    };
    std::string garbage = zb_build({good});
    garbage[30 + 5 + 10] ^= 0x55; // inside the deflate stream
    std::string no_end = zb_build({good});
    no_end.resize(no_end.size() - 22);
    std::string count_too_big = zb_build({good});
    count_too_big[count_too_big.size() - 14] = 9; // entries on this disk
    count_too_big[count_too_big.size() - 12] = 9; // and in all
    std::string dir_outside = zb_build({good});
    dir_outside[dir_outside.size() - 5] = 0x7f; // directory offset past the end

    struct row {
        const char* what;
        std::string zip;
        int want;
    } rows[] = {
        {"CRC differs", with([](zb_entry& e) { e.crc_delta = 1; }), ZIP_DAMAGED},
        {"more bytes than recorded", with([](zb_entry& e) { e.size_delta = -1; }), ZIP_DAMAGED},
        {"fewer bytes than recorded", with([](zb_entry& e) { e.size_delta = 1; }), ZIP_DAMAGED},
        {"stored sizes disagree", with([](zb_entry& e) { e.method = 0, e.size_delta = 1; }), ZIP_DAMAGED},
        {"deflate stream cut", with([](zb_entry& e) { e.cut_packed = 3; }), ZIP_DAMAGED},
        {"deflate stream damaged", garbage, ZIP_DAMAGED},
        {"local header names another entry", with([](zb_entry& e) { e.local_name = "b.txt"; }), ZIP_DAMAGED},
        {"local header of another length", with([](zb_entry& e) { e.local_name = "../a.txt"; }), ZIP_DAMAGED},
        {"no end record", no_end, ZIP_DAMAGED},
        {"more entries than the directory holds", count_too_big, ZIP_DAMAGED},
        {"directory outside the file", dir_outside, ZIP_DAMAGED},
        {"encrypted", with([](zb_entry& e) { e.flags = 1; }), ZIP_UNSUPPORTED},
        {"strong encryption", with([](zb_entry& e) { e.flags = 0x41; }), ZIP_UNSUPPORTED},
        {"bzip2", with([](zb_entry& e) { e.method = 12; }), ZIP_UNSUPPORTED},
        {"deflate64", with([](zb_entry& e) { e.method = 9; }), ZIP_UNSUPPORTED},
        {"name longer than the buffer", with([](zb_entry& e) { e.name = std::string(2000, 'n'); }),
         ZIP_UNSUPPORTED},
        {"second disk", zb_build({good}, false, 1), ZIP_UNSUPPORTED},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(unpack_all(r.zip, nullptr), r.want);
    }
}

TEST(zip, an_archive_missing_any_one_byte_is_refused)
{
    zb_entry z64 = entry("b/z64.bin", text(3000, 'k'), 0);
    z64.zip64 = true;
    zb_entry described = entry("c.txt", text(3000, 'q'));
    described.descriptor = true;
    std::string whole = zb_build({folder("b/"), entry("b/a.txt", text(3000, 'c')), z64, described}, true);
    ASSERT_EQ(unpack_all(whole, nullptr), ZIP_END);
    for (size_t at = 0; at < whole.size(); at++) {
        std::string cut = whole.substr(0, at) + whole.substr(at + 1);
        ASSERT_LT(unpack_all(cut, nullptr), 0) << "byte " << at << " left out";
    }
}

TEST(zip, links_and_devices_are_reported_for_the_caller_to_refuse)
{
    zb_entry link = entry("lib/current", "../../../etc", 0);
    link.mode = 0120777;
    zb_entry device = entry("dev/null", "", 0);
    device.mode = 020666;
    std::vector<unpacked> got;
    ASSERT_EQ(unpack_all(zb_build({link, device}), &got), ZIP_END);
    EXPECT_EQ(got[0].kind, ZIP_LINK);
    EXPECT_EQ(got[1].kind, ZIP_OTHER);
}

TEST(zip, writes_no_more_than_recorded_and_stops_when_the_sink_refuses)
{
    // A small recorded size in front of a large stream: the bytes past the
    // record never reach the sink.
    zb_entry bomb = entry("bomb.bin", std::string(4 << 20, '\0'));
    bomb.size_delta = -(int64_t)(4 << 20) + 100;
    std::string zip = zb_build({bomb});
    zip_input in = {read_string, (void*)&zip, zip.size()};
    ASSERT_EQ(zip_open(&g_dir, &in), ZIP_OK);
    static zip_item item;
    ASSERT_EQ(zip_next(&g_dir, &item), ZIP_OK);
    uint64_t start;
    ASSERT_EQ(zip_data_start(&g_dir, &item, &start), ZIP_OK);
    sink s;
    EXPECT_EQ(zip_unpack(&in, &item, start, write_string, &s), ZIP_DAMAGED);
    EXPECT_LE(s.data.size(), 100u);

    EXPECT_EQ(unpack_all(zb_build({entry("a.bin", text(600000, 'a'))}), nullptr, 300000), ZIP_WRITE_FAILED);
}

// An archive of one stored entry of 4.5 GiB of zeros, made up as it is read:
// the zip64 path with sizes and offsets that do not fit 32 bits, in fixed
// memory.
namespace {
const uint64_t huge_size = 4608ull << 20;

struct huge_zip {
    std::string head;  // local header
    std::string tail;  // central directory and end records
    uint64_t size;
};

int read_huge(void* ctx, uint64_t offset, void* buf, size_t len)
{
    const huge_zip* z = (const huge_zip*)ctx;
    unsigned char* out = (unsigned char*)buf;
    uint64_t data_end = z->head.size() + huge_size;
    for (size_t k = 0; k < len; k++) {
        uint64_t at = offset + k;
        if (at < z->head.size())
            out[k] = (unsigned char)z->head[at];
        else if (at < data_end)
            out[k] = 0;
        else if (at - data_end < z->tail.size())
            out[k] = (unsigned char)z->tail[at - data_end];
        else
            return 0;
        if (at >= z->head.size() && at < data_end) {
            // The zeros in one go, up to the end of the data or the request.
            uint64_t run = data_end - at;
            size_t n = run < len - k ? (size_t)run : len - k;
            memset(out + k, 0, n);
            k += n - 1;
        }
    }
    return 1;
}

int count_bytes(void* ctx, const unsigned char* data, size_t len)
{
    uint64_t* n = (uint64_t*)ctx;
    for (size_t k = 0; k < len; k += 4096)
        if (data[k] != 0)
            return 0;
    *n += len;
    return 1;
}
} // namespace

TEST(zip, streams_an_entry_larger_than_4_gib)
{
    // CRC-32 of the zeros, by combining blocks of doubling size up to 1 GiB:
    // crc32_combine takes a long, 32 bits on Windows.
    static const unsigned char zeros[1 << 16] = {};
    const uint64_t gib = 1u << 30;
    uLong block = crc32(0, zeros, sizeof zeros);
    uLong crc = crc32(0, 0, 0);
    uint64_t left = huge_size;
    for (uint64_t len = sizeof zeros; len < gib; len *= 2) {
        if (left & len) {
            crc = crc32_combine(crc, block, (z_off_t)len);
            left -= len;
        }
        block = crc32_combine(block, block, (z_off_t)len);
    }
    for (; left > 0; left -= gib) // block is now the CRC of 1 GiB of zeros
        crc = crc32_combine(crc, block, (z_off_t)gib);

    zb_entry e = entry("huge.bin", "", 0);
    e.zip64 = true;
    std::string one = zb_build({e}, true);
    // The builder wrote sizes of 0: the test's own fields take their place.
    huge_zip z;
    z.head = one.substr(0, 30 + 8);
    std::string lextra;
    zb_put16(lextra, 1);
    zb_put16(lextra, 16);
    zb_put64(lextra, huge_size);
    zb_put64(lextra, huge_size);
    z.head.replace(28, 2, std::string("\x14\x00", 2));
    z.head += lextra;
    uint64_t dir_start = z.head.size() + huge_size;
    std::string c;
    c += "PK\x01\x02";
    zb_put16(c, 3 << 8 | 45);
    zb_put16(c, 45);
    zb_put16(c, 0);
    zb_put16(c, 0);
    zb_put32(c, 0x5a216000);
    zb_put32(c, (uint32_t)crc);
    zb_put32(c, 0xffffffff);
    zb_put32(c, 0xffffffff);
    zb_put16(c, 8);
    zb_put16(c, 28);
    zb_put16(c, 0);
    zb_put16(c, 0);
    zb_put16(c, 0);
    zb_put32(c, 0100644u << 16);
    zb_put32(c, 0);
    c += "huge.bin";
    zb_put16(c, 1);
    zb_put16(c, 24);
    zb_put64(c, huge_size);
    zb_put64(c, huge_size);
    zb_put64(c, 0);
    std::string t = c;
    zb_end_records(t, dir_start + c.size(), 1, c.size(), dir_start, true);
    z.tail = t;
    z.size = dir_start + t.size();

    zip_input in = {read_huge, &z, z.size};
    ASSERT_EQ(zip_open(&g_dir, &in), ZIP_OK);
    static zip_item item;
    ASSERT_EQ(zip_next(&g_dir, &item), ZIP_OK);
    EXPECT_EQ(item.size, huge_size);
    uint64_t start;
    ASSERT_EQ(zip_data_start(&g_dir, &item, &start), ZIP_OK);
    uint64_t written = 0;
    EXPECT_EQ(zip_unpack(&in, &item, start, count_bytes, &written), ZIP_OK);
    EXPECT_EQ(written, huge_size);
    EXPECT_EQ(zip_next(&g_dir, &item), ZIP_END);
}
