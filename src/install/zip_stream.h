#pragma once
// Streams one zip entry's data out of the archive, stored or inflated with
// zlib, through fixed buffers, checking its size and CRC-32 as it goes.
// Memory stays the same whatever the entry's size. Needs no Windows call.

#include "install/zip_reader.h"

// Takes len bytes of unpacked data; 1 when they were written.
typedef int (*zip_write_fn)(void* ctx, const unsigned char* data, size_t len);

// Unpacks the data of item, which starts at start (zip_data_start), into
// write. ZIP_OK when exactly item->size bytes came out with item->crc;
// ZIP_DAMAGED for data that is cut, does not inflate, is longer or shorter
// than recorded or has another CRC (write may have had some of it by then);
// ZIP_UNSUPPORTED for an encrypted entry or another method; ZIP_WRITE_FAILED
// when write refused. Worker thread only: the buffers are static.
int zip_unpack(const zip_input* in, const zip_item* item, uint64_t start, zip_write_fn write, void* ctx);
