#pragma once
// Reads a zip archive's central directory and the local header of each
// entry, from any source that can read bytes at an offset. Covers what the
// parts of a release hold: zip64 records, data descriptors (the central
// directory's sizes and checksum decide), stored and deflated entries, the
// UTF-8 name flag and the Unicode path field. Needs no Windows call: names
// come out as the bytes the archive holds, with a flag that says whether
// they are UTF-8 or in the system's OEM code page.

#include <stddef.h>
#include <stdint.h>

// Reads exactly len bytes at offset into buf; 1 on success.
typedef int (*zip_read_fn)(void* ctx, uint64_t offset, void* buf, size_t len);

struct zip_input {
    zip_read_fn read;
    void* ctx;
    uint64_t size; // of the whole archive
};

// Results of the zip routines (zip_reader.h and zip_stream.h).
enum {
    ZIP_DAMAGED = -1,     // the archive contradicts itself or is cut
    ZIP_UNSUPPORTED = -2, // encrypted, another method, a link, several disks
    ZIP_WRITE_FAILED = -3, // the caller's sink refused the bytes
    ZIP_END = 0,          // zip_next: no entry left
    ZIP_OK = 1,
};

enum { ZIP_FILE, ZIP_FOLDER, ZIP_LINK, ZIP_OTHER };

// The longest entry name taken, in bytes; a longer one is unsupported.
const int zip_name_size = 1024;

struct zip_item {
    char name[zip_name_size]; // zero-terminated name (the Unicode path field's, when valid)
    int utf8;                 // 1: name is UTF-8; 0: in the OEM code page
    int kind;                 // ZIP_FILE, ZIP_FOLDER, ZIP_LINK or ZIP_OTHER (a device, a socket)
    uint32_t flags;           // general purpose flags of the central record
    int method;               // 0 stored, 8 deflated; anything else is unsupported
    int encrypted;
    int read_only;            // the archive marks the file as not writable
    uint32_t crc;             // CRC-32 of the unpacked bytes
    uint64_t packed_size;
    uint64_t size;            // unpacked
    uint64_t header_offset;   // of the local header
    uint32_t dos_time;        // local header's MS-DOS date (high 16 bits) and time
    int has_unix_time;        // the local header has an extended time field
    int64_t unix_time;        // its modification time, seconds since 1970 UTC
    char raw_name[zip_name_size]; // the name field as stored, to match the local header
    int raw_len;
};

struct zip_dir {
    zip_input in;
    uint64_t dir_start;   // the central directory's first byte
    uint64_t dir_end;     // one past its last
    uint64_t next;        // offset of the next central record
    uint64_t left;        // records still to read
    uint64_t win_start;   // window: bytes of the directory read ahead
    uint32_t win_len;
    unsigned char win[65536];
    unsigned char local[30 + zip_name_size + 65535]; // one local header with its fields
};

// Finds the central directory (end record, zip64 locator and record) and
// readies dir to walk it. ZIP_OK, ZIP_DAMAGED, or ZIP_UNSUPPORTED for an
// archive spread over several disks.
int zip_open(zip_dir* dir, const zip_input* in);

// The next entry of the central directory into item: ZIP_OK, ZIP_END after
// the last, ZIP_DAMAGED, or ZIP_UNSUPPORTED for a name longer than the
// buffer. Kind, method and flags are reported, not judged.
int zip_next(zip_dir* dir, zip_item* item);

// Reads the entry's local header: checks that it names the same entry with
// the same method, takes its time fields into item (as unpackers do), and
// gives the offset of the entry's data in *start. ZIP_OK or ZIP_DAMAGED
// (also when the data would run into the central directory).
int zip_data_start(zip_dir* dir, zip_item* item, uint64_t* start);
