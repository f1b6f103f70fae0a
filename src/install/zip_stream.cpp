#include "install/zip_stream.h"

#include <string.h>
#include <zlib.h>

// Read and write sizes: large enough that the calls cost little next to
// the inflating, small enough to stay out of the way of memory.
static const uint32_t in_size = 64 * 1024;
static const uint32_t out_size = 256 * 1024;
static unsigned char g_in[in_size];   // packed bytes read from the archive
static unsigned char g_out[out_size]; // unpacked bytes on their way to write

static int unpack_stored(const zip_input* in, const zip_item* item, uint64_t start, zip_write_fn write,
                         void* ctx, uLong* crc)
{
    if (item->packed_size != item->size)
        return ZIP_DAMAGED;
    uint64_t left = item->size;
    while (left > 0) {
        uint32_t n = left < out_size ? (uint32_t)left : out_size;
        if (!in->read(in->ctx, start, g_out, n))
            return ZIP_DAMAGED;
        *crc = crc32(*crc, g_out, n);
        if (!write(ctx, g_out, n))
            return ZIP_WRITE_FAILED;
        start += n;
        left -= n;
    }
    return ZIP_OK;
}

static int unpack_deflated(const zip_input* in, const zip_item* item, uint64_t start, zip_write_fn write,
                           void* ctx, uLong* crc)
{
    z_stream z;
    memset(&z, 0, sizeof z);
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) // raw deflate, no zlib or gzip wrapper
        return ZIP_DAMAGED;
    uint64_t packed_left = item->packed_size;
    uint64_t out_left = item->size;
    int result = ZIP_DAMAGED;
    for (;;) {
        if (z.avail_in == 0 && packed_left > 0) {
            uint32_t n = packed_left < in_size ? (uint32_t)packed_left : in_size;
            if (!in->read(in->ctx, start, g_in, n))
                break;
            start += n;
            packed_left -= n;
            z.next_in = g_in;
            z.avail_in = n;
        }
        z.next_out = g_out;
        z.avail_out = out_size;
        int r = inflate(&z, Z_NO_FLUSH);
        uint32_t made = out_size - z.avail_out;
        if (made > out_left)
            break; // more than recorded: stop before writing it
        out_left -= made;
        *crc = crc32(*crc, g_out, made);
        if (made > 0 && !write(ctx, g_out, made)) {
            result = ZIP_WRITE_FAILED;
            break;
        }
        if (r == Z_STREAM_END) {
            // The stream must end exactly where the entry's packed data does.
            if (z.avail_in == 0 && packed_left == 0)
                result = ZIP_OK;
            break;
        }
        // Input is refilled before every call, so anything else is bad
        // data or the entry's bytes used up before the stream's end.
        if (r != Z_OK)
            break;
    }
    inflateEnd(&z);
    if (result == ZIP_OK && out_left != 0)
        result = ZIP_DAMAGED;
    return result;
}

int zip_unpack(const zip_input* in, const zip_item* item, uint64_t start, zip_write_fn write, void* ctx)
{
    if (item->encrypted || (item->method != 0 && item->method != 8))
        return ZIP_UNSUPPORTED;
    if (start > in->size || item->packed_size > in->size - start)
        return ZIP_DAMAGED;
    uLong crc = crc32(0, 0, 0);
    int r = item->method == 0 ? unpack_stored(in, item, start, write, ctx, &crc)
                              : unpack_deflated(in, item, start, write, ctx, &crc);
    if (r == ZIP_OK && (crc & 0xffffffffu) != item->crc)
        return ZIP_DAMAGED;
    return r;
}
