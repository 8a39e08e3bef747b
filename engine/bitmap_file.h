// The ".bbm" bitmap record file of a task, little-endian, no header:
//   u32 N, N bytes of piece bitmap (1 = verified),
//   then N records: u32 M, M bytes (per block, 1 = written to the file).
// The reader never trusts a length in the file; the writer replaces the
// file atomically, one save per file at a time.
#pragma once

#include "engine/seed_file.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Results of reading a bitmap record.
enum BitmapReadResult : int {
    kBitmapOk = 0,
    kBitmapCannotOpen = 1,   // missing, unreadable or too large
    kBitmapBadLength = 2,    // the bitmap length exceeds the data
    kBitmapBadRecord = 3,    // a piece record's length exceeds the data
};

// Largest ".bbm" file read: that of the largest task a seed may describe.
// Per piece one bitmap byte, a 4-byte length and at least one block byte,
// so at most 6 bytes per block, and the 4-byte header.
constexpr std::size_t kMaxBitmapFileSize = 4 + 6 * std::size_t(kMaxChannelBlocks);

// Encodes the bitmap and the per-piece tables in the record format.
std::string EncodeBitmapRecord(const std::vector<std::uint8_t>& bitmap,
                               const std::vector<std::vector<std::uint8_t>>& tables);

// Decodes a record. `tables` gets one entry per record present: records
// missing at the end of the data (their length cannot be read) are left
// out, so a short file gives fewer tables than bitmap bytes, and the result
// is still kBitmapOk. A length that runs past the data
// gives kBitmapBadLength or kBitmapBadRecord with both outputs cleared.
int DecodeBitmapRecord(const void* data, std::size_t size, std::vector<std::uint8_t>& bitmap,
                       std::vector<std::vector<std::uint8_t>>& tables);

// Reads a ".bbm" file (outputs cleared first); see DecodeBitmapRecord.
int ReadBitmapFile(const std::string& path, std::vector<std::uint8_t>& bitmap,
                   std::vector<std::vector<std::uint8_t>>& tables);

// Writes a ".bbm" file through a temporary file renamed over it; saves of
// the same path are serialised. True when the new file is in place.
bool WriteBitmapFile(const std::string& path, const std::vector<std::uint8_t>& bitmap,
                     const std::vector<std::vector<std::uint8_t>>& tables);

// Runs at the start of every WriteBitmapFile (tests stand in a slow disk
// with it); null: none.
void SetBitmapSaveHook(void (*hook)(const std::string& path));
