// The zip reader and the entry stream over any bytes, as the in-process
// unpacker walks them: every entry's local header, then its data into a
// sink. Whatever the input, nothing reads outside it, and an entry reported
// whole is exactly as long as its record says, with its CRC-32.
#include <stddef.h>
#include <stdint.h>
#include <string.h>
#include <zlib.h>

#include "fuzz_check.h"
#include "install/zip_reader.h"
#include "install/zip_stream.h"

namespace {

struct input {
    const uint8_t* data;
    size_t size;
};

int read_input(void* ctx, uint64_t offset, void* buf, size_t len)
{
    const input* in = (const input*)ctx;
    must(offset <= in->size && len <= in->size - offset); // the reader checks before it asks
    memcpy(buf, in->data + offset, len);
    return 1;
}

struct counted {
    uint64_t len;
    uLong crc;
};

int count(void* ctx, const unsigned char* data, size_t len)
{
    counted* c = (counted*)ctx;
    c->len += len;
    c->crc = crc32(c->crc, data, (uInt)len);
    return 1;
}

zip_dir g_dir;   // too large for the stack
zip_item g_item; // the entry being read

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    input in = {data, size};
    zip_input source = {read_input, &in, size};
    if (zip_open(&g_dir, &source) != ZIP_OK)
        return 0;
    must(g_dir.dir_start <= g_dir.dir_end && g_dir.dir_end <= size);
    int r;
    while ((r = zip_next(&g_dir, &g_item)) == ZIP_OK) {
        must(terminated(g_item.name, sizeof g_item.name));
        must(g_item.raw_len >= 0 && g_item.raw_len < zip_name_size);
        uint64_t start;
        if (zip_data_start(&g_dir, &g_item, &start) != ZIP_OK)
            continue;
        must(start <= g_dir.dir_start && g_item.packed_size <= g_dir.dir_start - start);
        // Entries that claim more than a few MiB cost time, not coverage.
        if (g_item.kind != ZIP_FILE || g_item.size > (4u << 20))
            continue;
        counted c = {0, crc32(0, 0, 0)};
        if (zip_unpack(&source, &g_item, start, count, &c) == ZIP_OK) {
            must(c.len == g_item.size);
            must((uint32_t)c.crc == g_item.crc);
        } else {
            must(c.len <= g_item.size);
        }
    }
    must(r == ZIP_END || r < 0);
    return 0;
}
