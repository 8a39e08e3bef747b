// ".bbm" record files as a crash or another program may leave them: the
// decoder on the raw bytes, the file reader and the engine facade's reader
// on the same bytes from disk, and the writer's output read back.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/bitmap_file.h"
#include "engine_facade.h"
#include "fuzz_check.h"
#include "scratch_file.h"

namespace {

using Tables = std::vector<std::vector<std::uint8_t>>;

const std::string& scratch_path()
{
    return fuzz_scratch::path("bitmap_file_fuzz", ".bbm");
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::vector<std::uint8_t> bitmap;
    Tables tables;
    const int result = DecodeBitmapRecord(data, size, bitmap, tables);
    FUZZ_CHECK(result == kBitmapOk || result == kBitmapBadLength || result == kBitmapBadRecord);

    if (result == kBitmapOk) {
        // Records are read one after the other: their encoding is the start
        // of the input, and only a tail too short for a length is left over
        // when records are missing.
        FUZZ_CHECK(tables.size() <= bitmap.size());
        const std::string encoded = EncodeBitmapRecord(bitmap, tables);
        if (size >= 4) {
            FUZZ_CHECK(encoded.size() <= size);
            FUZZ_CHECK(encoded.compare(0, encoded.size(), reinterpret_cast<const char*>(data), encoded.size()) == 0);
            if (tables.size() < bitmap.size())
                FUZZ_CHECK(size - encoded.size() < 4);
        } else {
            FUZZ_CHECK(bitmap.empty() && tables.empty());
        }
        std::vector<std::uint8_t> bitmap2;
        Tables tables2;
        FUZZ_CHECK(DecodeBitmapRecord(encoded.data(), encoded.size(), bitmap2, tables2) == kBitmapOk);
        FUZZ_CHECK(bitmap2 == bitmap && tables2 == tables);
    } else {
        FUZZ_CHECK(bitmap.empty() && tables.empty());
    }

    // The same bytes from a file, through the reader and the facade.
    if (!fuzz_scratch::write(scratch_path(), data, size))
        return 0;
    std::vector<std::uint8_t> file_bitmap;
    Tables file_tables;
    FUZZ_CHECK(ReadBitmapFile(scratch_path(), file_bitmap, file_tables) == result);
    FUZZ_CHECK(file_bitmap == bitmap && file_tables == tables);

    std::vector<std::uint8_t> facade_bitmap;
    Tables facade_tables;
    FUZZ_CHECK(fuzz_engine().ReadRecordFile(scratch_path().c_str(), facade_bitmap, facade_tables) == result);
    FUZZ_CHECK(facade_bitmap == bitmap);
    if (result == kBitmapOk) {
        // The facade gives one table per piece, the missing ones empty.
        FUZZ_CHECK(facade_tables.size() == bitmap.size() || facade_tables.size() == tables.size());
        for (size_t i = 0; i < facade_tables.size(); ++i)
            FUZZ_CHECK(i < tables.size() ? facade_tables[i] == tables[i] : facade_tables[i].empty());
        // What the writer saves reads back unchanged.
        FUZZ_CHECK(WriteBitmapFile(scratch_path(), bitmap, tables));
        FUZZ_CHECK(ReadBitmapFile(scratch_path(), file_bitmap, file_tables) == kBitmapOk);
        FUZZ_CHECK(file_bitmap == bitmap && file_tables == tables);
    } else {
        FUZZ_CHECK(facade_tables.empty());
    }
    return 0;
}
