// Seed documents as the seed server or a saved "%I64d.txt" may hold them:
// both readings of the seed (and the engine facade's), the file-list
// reading, and the channel manager taking the file list cut out of an
// accepted seed.

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "engine/channel_manager.h"
#include "engine/seed_file.h"
#include "engine_facade.h"
#include "fuzz_check.h"
#include "scratch_file.h"

namespace {

// Keeps each run fast: a seed may rightly describe millions of blocks,
// whose tables the channel manager then builds.
constexpr std::uint64_t kChannelBlocksTried = 1u << 16;

const std::string& data_folder()
{
    static const std::string folder = fuzz_scratch::path("seed_file_fuzz") + "/";
    return folder;
}

void check_file_list(const std::vector<SeedFileEntry>& files)
{
    for (size_t i = 0; i < files.size(); ++i) {
        FUZZ_CHECK(files[i].index == static_cast<std::int32_t>(i));
        FUZZ_CHECK(IsSafeRelativePath(files[i].name));
    }
}

// The channel manager builds its tables from the file list; its totals and
// file names must follow the list.
void add_channel(const std::string& root_folder, const std::string& file_list, const std::vector<SeedFileEntry>& files,
                 std::uint32_t piece_size)
{
    std::vector<std::uint64_t> sizes;
    std::uint64_t total = 0;
    bool total_overflows = false;
    for (const SeedFileEntry& f : files) {
        sizes.push_back(f.size);
        total_overflows = total_overflows || total > std::numeric_limits<std::uint64_t>::max() - f.size;
        total += f.size;
    }
    if (!CheckChannelLayout(sizes, piece_size) || total_overflows ||
        CountChannelBlocks(sizes, piece_size) > kChannelBlocksTried)
        return;
    CChannelManager manager(data_folder());
    const std::string save_path = data_folder() + "save";
    const std::uint64_t id = 77;
    FUZZ_CHECK(manager.AddChannel(id, static_cast<std::int32_t>(piece_size), root_folder,
                                  static_cast<std::uint32_t>(files.size()), file_list, {}, {}, save_path, 1));
    FUZZ_CHECK(!manager.AddChannel(id, static_cast<std::int32_t>(piece_size), "", 0, file_list, {}, {}, save_path, 1));
    FUZZ_CHECK(manager.GetChannelTotalSize(id) == total);
    std::uint32_t verified = 0;
    std::uint32_t pieces = 0;
    FUZZ_CHECK(manager.GetVerifyProgress(id, &verified, &pieces));
    FUZZ_CHECK(verified == 0);
    std::uint64_t expected_pieces = 0;
    for (std::uint64_t size : sizes)
        expected_pieces += (size + piece_size - 1) / piece_size;
    FUZZ_CHECK(pieces == expected_pieces);
    if (pieces > 0) {
        std::int32_t in_file = -1;
        // (A name ending in a separator gives an empty file name here.)
        manager.GetFileNameForBlock(id, 0, &in_file);
        FUZZ_CHECK(in_file == 0);
        in_file = -1;
        manager.GetFileNameForBlock(id, static_cast<std::int32_t>(pieces - 1), &in_file);
        FUZZ_CHECK(in_file >= 0 && static_cast<std::uint32_t>(in_file) < pieces);
    }
    FUZZ_CHECK(manager.GetFileNameForBlock(id, static_cast<std::int32_t>(pieces), nullptr).empty());
    FUZZ_CHECK(manager.GetChannelFolder(id) == data_folder() + root_folder);
    manager.RemoveChannel(id);
    FUZZ_CHECK(manager.GetChannelTotalSize(id) == 0);
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);

    SeedHeader header;
    std::string file_list;
    std::string error;
    const bool accepted = ParseSeed(text, header, file_list, &error);

    std::uint32_t game_id = 0;
    std::uint64_t task_id = 0;
    std::uint64_t total = 0;
    std::string source_folder;
    const int full = ParseTaskXml(text, &game_id, &task_id, &total, source_folder);
    FUZZ_CHECK(full >= 0 && full <= 2);
    if (text.find('\0') == std::string::npos) {
        // The facade's reading of the same text gives the same.
        std::uint32_t game_id2 = 0;
        std::uint64_t task_id2 = 0;
        std::uint64_t total2 = 0;
        std::string source_folder2;
        FUZZ_CHECK(fuzz_engine().ParseTaskXml(text.c_str(), &game_id2, &task_id2, &total2, source_folder2) == full);
        FUZZ_CHECK(game_id2 == game_id && task_id2 == task_id && total2 == total && source_folder2 == source_folder);
    }

    if (accepted) {
        FUZZ_CHECK(error.empty());
        FUZZ_CHECK(header.block_size >= kMinPieceSize && header.block_size <= kMaxPieceSize);
        FUZZ_CHECK(header.source_folder.size() <= kMaxSourceFolder);
        FUZZ_CHECK(file_list.compare(0, 9, "<filelist") == 0);
        std::vector<SeedFileEntry> files;
        FUZZ_CHECK(ParseSeedFileList(file_list, files, &error));
        check_file_list(files);
        std::vector<std::uint64_t> sizes;
        std::uint64_t sum = 0;
        for (const SeedFileEntry& f : files) {
            sizes.push_back(f.size);
            sum = sum > std::numeric_limits<std::uint64_t>::max() - f.size ? std::numeric_limits<std::uint64_t>::max()
                                                                           : sum + f.size;
        }
        FUZZ_CHECK(CheckChannelLayout(sizes, header.block_size));
        for (const SeedFileEntry& f : files)
            FUZZ_CHECK(f.block_md5.size() / kPieceDigestChars >= (f.size + header.block_size - 1) / header.block_size);
        // The full reading agrees with the add-task reading.
        FUZZ_CHECK(full == 0);
        FUZZ_CHECK(game_id == header.game_id);
        FUZZ_CHECK(task_id == header.task_id);
        FUZZ_CHECK(source_folder == header.source_folder);
        FUZZ_CHECK(total == sum);
        add_channel(header.source_folder, file_list, files, header.block_size);
    } else {
        FUZZ_CHECK(!error.empty());
        FUZZ_CHECK(file_list.empty());
    }

    // The input taken as a bare file list, as the channel manager gets it.
    std::vector<SeedFileEntry> files;
    if (ParseSeedFileList(text, files, nullptr)) {
        check_file_list(files);
        add_channel("", text, files, size > 0 ? 1u + data[size - 1] * 4099u : 32768u);
    }
    return 0;
}
