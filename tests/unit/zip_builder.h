#pragma once
// Builds zip archives in memory for the reader's tests, byte by byte, so that
// each test can set exactly the fields it is about: zip64 records, data
// descriptors, name flags, extra fields, and damage of every kind.

#include <stdint.h>
#include <string.h>
#include <zlib.h>

#include <string>
#include <vector>

struct zb_entry {
    std::string name;
    std::string data;
    int method = 8;                // 0 stored, 8 deflated, or any other number
    uint16_t flags = 0;            // general purpose flags (0x800 UTF-8, 1 encrypted)
    uint16_t made_by = 3 << 8;     // Unix
    uint32_t mode = 0100644;       // Unix mode in the external attributes
    uint32_t dos_attributes = 0;   // low byte of the external attributes
    bool zip64 = false;            // sizes and offset through the zip64 field
    bool descriptor = false;       // local header without sizes, a data descriptor after the data
    std::string central_extra;     // more extra fields, central record
    std::string local_extra;       // more extra fields, local header
    std::string local_name;        // a different name in the local header, when not empty
    int32_t crc_delta = 0;         // added to the recorded CRC
    int64_t size_delta = 0;        // added to the recorded unpacked size
    int cut_packed = 0;            // bytes of packed data left out
    uint16_t dos_time = 0x6000;    // 12:00:00
    uint16_t dos_date = 0x5a21;    // 2025-01-01
};

inline void zb_put16(std::string& s, uint32_t v)
{
    s += (char)(v & 0xff);
    s += (char)((v >> 8) & 0xff);
}

inline void zb_put32(std::string& s, uint32_t v)
{
    zb_put16(s, v & 0xffff);
    zb_put16(s, v >> 16);
}

inline void zb_put64(std::string& s, uint64_t v)
{
    zb_put32(s, (uint32_t)v);
    zb_put32(s, (uint32_t)(v >> 32));
}

inline std::string zb_deflate(const std::string& data)
{
    z_stream z;
    memset(&z, 0, sizeof z);
    deflateInit2(&z, 6, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::string out(deflateBound(&z, (uLong)data.size()) + 16, '\0');
    z.next_in = (Bytef*)data.data();
    z.avail_in = (uInt)data.size();
    z.next_out = (Bytef*)&out[0];
    z.avail_out = (uInt)out.size();
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// An extended time field with a modification time.
inline std::string zb_unix_time(uint32_t t)
{
    std::string s;
    zb_put16(s, 0x5455);
    zb_put16(s, 5);
    s += '\x01';
    zb_put32(s, t);
    return s;
}

// An Info-ZIP Unicode path field for the raw name, naming it utf8.
inline std::string zb_unicode_path(const std::string& raw, const std::string& utf8, uint32_t crc_delta = 0)
{
    std::string s;
    zb_put16(s, 0x7075);
    zb_put16(s, (uint32_t)(5 + utf8.size()));
    s += '\x01';
    zb_put32(s, (uint32_t)crc32(0, (const Bytef*)raw.data(), (uInt)raw.size()) + crc_delta);
    s += utf8;
    return s;
}

// The end records behind a central directory of count entries and dir_size
// bytes at dir_start: the zip64 record and its locator when zip64, then the
// classic record. at is the offset in the archive where they begin.
inline void zb_end_records(std::string& out, uint64_t at, uint64_t count, uint64_t dir_size, uint64_t dir_start,
                           bool zip64, int disk = 0)
{
    if (zip64) {
        out += "PK\x06\x06";
        zb_put64(out, 44);
        zb_put16(out, 45);
        zb_put16(out, 45);
        zb_put32(out, 0);
        zb_put32(out, 0);
        zb_put64(out, count);
        zb_put64(out, count);
        zb_put64(out, dir_size);
        zb_put64(out, dir_start);
        out += "PK\x06\x07";
        zb_put32(out, 0);
        zb_put64(out, at);
        zb_put32(out, 1);
    }
    out += "PK\x05\x06";
    zb_put16(out, disk);
    zb_put16(out, disk);
    zb_put16(out, zip64 ? 0xffff : (uint32_t)count);
    zb_put16(out, zip64 ? 0xffff : (uint32_t)count);
    zb_put32(out, zip64 ? 0xffffffff : (uint32_t)dir_size);
    zb_put32(out, zip64 ? 0xffffffff : (uint32_t)dir_start);
    zb_put16(out, 0);
}

// The archive: local headers and data, the central directory, and the end
// records (the zip64 ones too when zip64_end).
inline std::string zb_build(const std::vector<zb_entry>& entries, bool zip64_end = false, int disk = 0)
{
    std::string out;
    std::string central;
    for (const zb_entry& e : entries) {
        std::string packed = e.method == 8 ? zb_deflate(e.data) : e.data;
        if (e.cut_packed)
            packed.resize(packed.size() - e.cut_packed);
        uint32_t crc = (uint32_t)crc32(0, (const Bytef*)e.data.data(), (uInt)e.data.size()) + e.crc_delta;
        uint64_t size = e.data.size() + e.size_delta;
        uint64_t offset = out.size();
        const std::string& lname = e.local_name.empty() ? e.name : e.local_name;
        std::string lextra = e.local_extra;
        if (e.zip64) {
            std::string z;
            zb_put16(z, 1);
            zb_put16(z, 16);
            zb_put64(z, size);
            zb_put64(z, packed.size());
            lextra = z + lextra;
        }
        uint16_t flags = e.flags | (e.descriptor ? 8 : 0);
        out += "PK\x03\x04";
        zb_put16(out, 45);
        zb_put16(out, flags);
        zb_put16(out, e.method);
        zb_put16(out, e.dos_time);
        zb_put16(out, e.dos_date);
        zb_put32(out, e.descriptor ? 0 : crc);
        zb_put32(out, e.descriptor ? 0 : (e.zip64 ? 0xffffffff : (uint32_t)packed.size()));
        zb_put32(out, e.descriptor ? 0 : (e.zip64 ? 0xffffffff : (uint32_t)size));
        zb_put16(out, (uint32_t)lname.size());
        zb_put16(out, (uint32_t)lextra.size());
        out += lname;
        out += lextra;
        out += packed;
        if (e.descriptor) {
            out += "PK\x07\x08";
            zb_put32(out, crc);
            zb_put32(out, (uint32_t)packed.size());
            zb_put32(out, (uint32_t)size);
        }

        std::string cextra;
        if (e.zip64) {
            zb_put16(cextra, 1);
            zb_put16(cextra, 24);
            zb_put64(cextra, size);
            zb_put64(cextra, packed.size());
            zb_put64(cextra, offset);
        }
        cextra += e.central_extra;
        central += "PK\x01\x02";
        zb_put16(central, e.made_by | 45);
        zb_put16(central, 45);
        zb_put16(central, flags);
        zb_put16(central, e.method);
        zb_put16(central, e.dos_time);
        zb_put16(central, e.dos_date);
        zb_put32(central, crc);
        zb_put32(central, e.zip64 ? 0xffffffff : (uint32_t)packed.size());
        zb_put32(central, e.zip64 ? 0xffffffff : (uint32_t)size);
        zb_put16(central, (uint32_t)e.name.size());
        zb_put16(central, (uint32_t)cextra.size());
        zb_put16(central, 0);    // comment
        zb_put16(central, disk); // disk number start
        zb_put16(central, 0);    // internal attributes
        zb_put32(central, e.mode << 16 | e.dos_attributes);
        zb_put32(central, e.zip64 ? 0xffffffff : (uint32_t)offset);
        central += e.name;
        central += cextra;
    }
    uint64_t dir_start = out.size();
    out += central;
    zb_end_records(out, out.size(), entries.size(), central.size(), dir_start, zip64_end, disk);
    return out;
}
