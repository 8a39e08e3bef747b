// The seed document: an XML text naming a task, its block (piece) size,
// its folder and every file with its size and digests. Two readings: the
// add-task reading takes the header values and cuts out the file list,
// which travels unparsed to the channel manager; the full reading checks
// every file and sums the sizes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Longest "srcdir" the format holds (a 50-byte field with its NUL).
constexpr std::size_t kMaxSourceFolder = 49;
// Largest piece size accepted: the write cache holds up to 7 pieces and the
// read cache 3 per task.
constexpr std::uint32_t kMaxPieceSize = 32u << 20;
// Smallest piece size accepted: one 32768-byte block. Smaller pieces only
// multiply the per-piece tables (a tiny seed could ask for gigabytes).
constexpr std::uint32_t kMinPieceSize = 32768;
// Largest number of 32768-byte blocks of one task: its tables hold about
// five bytes per block, so 2^23 blocks (256 GiB) keep them near 45 MiB.
constexpr std::uint64_t kMaxChannelBlocks = std::uint64_t(1) << 23;
// Largest number of pieces of one task: its storage, picker and channel
// tables cost a few hundred bytes per piece, so 2^17 pieces keep them near
// 50 MiB (32 GiB at 256 KiB pieces; larger tasks take larger pieces).
constexpr std::uint64_t kMaxChannelPieces = std::uint64_t(1) << 17;
// Characters of one piece's digest in "fileblock_md5".
constexpr std::size_t kPieceDigestChars = 32;

// Header values of the add-task reading.
struct SeedHeader {
    std::uint32_t game_id = 0;
    std::uint64_t task_id = 0;
    std::uint32_t block_size = 0;   // the piece size in bytes
    std::uint32_t file_count = 0;
    std::string source_folder;
};

// One file entry of a file list.
struct SeedFileEntry {
    std::int32_t index = 0;
    std::string md5;
    std::string name;   // path below the task's folder, as written
    std::uint64_t size = 0;
    std::string block_md5;   // the first "fileblock_md5len" characters
};

// Add-task reading. True with the header and the "filelist" markup (from
// its start tag to its end tag, and the white space after it). False with
// a reason in `error` when the document is not well formed, an element is
// missing or out of order, or the seed is unsafe or unusable: a "srcdir"
// longer than kMaxSourceFolder or climbing out of the save folder, a file
// list that ParseSeedFileList refuses, a layout CheckChannelLayout refuses,
// or a file without 32 hexadecimal digest characters for each of its
// pieces (such pieces could never pass their check). Values already read
// stay in `header`.
bool ParseSeed(const std::string& seed_text, SeedHeader& header, std::string& file_list, std::string* error = nullptr);

// Full reading: 0 every file complete, 1 not well formed, 2 an element
// missing. `total_size` is the sum of the sizes of the complete files read
// (also when the result is 2).
int ParseTaskXml(const std::string& seed_text, std::uint32_t* game_id, std::uint64_t* task_id,
                 std::uint64_t* total_size, std::string& source_folder);

// Reads a "filelist" markup into its entries, in order. False with a
// reason when it is not a "filelist", an entry lacks an element, the
// "fileindex" values are not 0, 1, 2, ... in order, a "fileblock_md5len"
// is negative or longer than its text, or a file name is empty, absolute
// or climbs out of the task's folder.
bool ParseSeedFileList(const std::string& file_list, std::vector<SeedFileEntry>& files, std::string* error = nullptr);

// Number of blocks of a task whose files have `sizes`, cut into pieces of
// `piece_size` bytes (each file starting a new piece). Stops counting once
// past kMaxChannelBlocks.
std::uint64_t CountChannelBlocks(const std::vector<std::uint64_t>& sizes, std::uint32_t piece_size);

// True when files of `sizes` cut into pieces of `piece_size` bytes stay
// within what one task may cost: piece size kMinPieceSize..kMaxPieceSize,
// at most kMaxChannelPieces pieces and kMaxChannelBlocks blocks. Else
// false with a reason.
bool CheckChannelLayout(const std::vector<std::uint64_t>& sizes, std::uint32_t piece_size,
                        std::string* error = nullptr);

// True when `name` is a relative path that stays inside its folder: not
// empty after one leading separator, no drive or root, no ".." part, no
// NUL. Both '\\' and '/' count as separators.
bool IsSafeRelativePath(const std::string& name);

// Reads a decimal the way the C conversions do: leading white space
// skipped, digits up to the first other character, 0 when none; a leading
// '-' negates. Saturates instead of overflowing; `overflow` (when given)
// tells whether it did.
std::int64_t SeedDecimal(const std::string& text, bool* overflow = nullptr);
