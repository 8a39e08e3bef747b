#include "engine/seed_file.h"

#include "picker/block_request.h"
#include "foundation/xml_markup.h"

#include <cctype>
#include <limits>

namespace {

void set_error(std::string* error, const std::string& text)
{
    if (error)
        *error = text;
}

// Reads an unsigned 64-bit decimal the C way (white space, digits, stop at
// anything else); saturates.
std::uint64_t seed_unsigned(const std::string& text, bool* overflow = nullptr)
{
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    if (i < text.size() && text[i] == '+')
        ++i;
    std::uint64_t v = 0;
    bool over = false;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i) {
        const unsigned d = unsigned(text[i] - '0');
        if (v > (std::numeric_limits<std::uint64_t>::max() - d) / 10) {
            over = true;
            v = std::numeric_limits<std::uint64_t>::max();
        } else if (!over) {
            v = v * 10 + d;
        }
    }
    if (overflow)
        *overflow = over;
    return v;
}

bool all_hex(const std::string& text, std::size_t count)
{
    for (std::size_t i = 0; i < count; ++i) {
        if (!std::isxdigit(static_cast<unsigned char>(text[i])))
            return false;
    }
    return true;
}

bool find_value(CXmlMarkup& xml, const char* name, std::string& value)
{
    if (!xml.FindElem(name))
        return false;
    value = xml.GetData();
    return true;
}

}   // namespace

std::int64_t SeedDecimal(const std::string& text, bool* overflow)
{
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '-' || text[i] == '+')) {
        negative = text[i] == '-';
        ++i;
    }
    bool over = false;
    const std::uint64_t magnitude = seed_unsigned(text.substr(i), &over);
    const std::uint64_t limit = std::uint64_t(std::numeric_limits<std::int64_t>::max());
    if (magnitude > limit)
        over = true;
    if (overflow)
        *overflow = over;
    const std::int64_t v = over ? std::numeric_limits<std::int64_t>::max() : std::int64_t(magnitude);
    return negative ? -v : v;
}

bool IsSafeRelativePath(const std::string& name)
{
    std::string rest = name;
    if (!rest.empty() && (rest[0] == '\\' || rest[0] == '/'))
        rest.erase(0, 1);
    if (rest.empty() || rest[0] == '\\' || rest[0] == '/')
        return false;
    if (rest.find('\0') != std::string::npos || rest.find(':') != std::string::npos)
        return false;
    std::size_t start = 0;
    while (start <= rest.size()) {
        std::size_t end = rest.find_first_of("\\/", start);
        if (end == std::string::npos)
            end = rest.size();
        if (rest.compare(start, end - start, "..") == 0)
            return false;
        start = end + 1;
    }
    return true;
}

std::uint64_t CountChannelBlocks(const std::vector<std::uint64_t>& sizes, std::uint32_t piece_size)
{
    if (piece_size == 0)
        return 0;
    const std::uint64_t per_full_piece = BlocksInPiece(piece_size);
    std::uint64_t total = 0;
    for (std::uint64_t size : sizes) {
        const std::uint64_t full = size / piece_size;
        const std::uint64_t rest = size % piece_size;
        if (full > kMaxChannelBlocks)
            return kMaxChannelBlocks + 1;
        total += full * per_full_piece + BlocksInPiece(std::uint32_t(rest));
        if (total > kMaxChannelBlocks)
            return kMaxChannelBlocks + 1;
    }
    return total;
}

bool CheckChannelLayout(const std::vector<std::uint64_t>& sizes, std::uint32_t piece_size, std::string* error)
{
    if (piece_size < kMinPieceSize || piece_size > kMaxPieceSize) {
        set_error(error, "piece size " + std::to_string(piece_size) + " is outside " + std::to_string(kMinPieceSize) +
                             ".." + std::to_string(kMaxPieceSize));
        return false;
    }
    std::uint64_t pieces = 0;
    for (std::uint64_t size : sizes) {
        pieces += size / piece_size + (size % piece_size != 0 ? 1 : 0);
        if (pieces > kMaxChannelPieces) {
            set_error(error, "files make more than " + std::to_string(kMaxChannelPieces) + " pieces of " +
                                 std::to_string(piece_size) + " bytes");
            return false;
        }
    }
    if (CountChannelBlocks(sizes, piece_size) > kMaxChannelBlocks) {
        set_error(error, "files make more than " + std::to_string(kMaxChannelBlocks) + " blocks");
        return false;
    }
    return true;
}

bool ParseSeedFileList(const std::string& file_list, std::vector<SeedFileEntry>& files, std::string* error)
{
    files.clear();
    CXmlMarkup xml;
    if (!xml.SetDoc(file_list) || !xml.FindElem("filelist") || !xml.IntoElem()) {
        set_error(error, "file list is not a well-formed \"filelist\" element");
        return false;
    }
    while (xml.FindElem("file")) {
        xml.IntoElem();
        std::string index, md5, name, size, md5len, block_md5;
        const bool complete = find_value(xml, "fileindex", index) && find_value(xml, "filemd5", md5) &&
                              find_value(xml, "filename", name) && find_value(xml, "filesize", size) &&
                              find_value(xml, "fileblock_md5len", md5len) &&
                              find_value(xml, "fileblock_md5", block_md5);
        xml.OutOfElem();
        const std::string which = "file " + std::to_string(files.size());
        if (!complete) {
            set_error(error, which + " lacks an element or has them out of order");
            return false;
        }
        const std::int64_t idx = SeedDecimal(index);
        if (idx != std::int64_t(files.size())) {
            set_error(error,
                      which + " has fileindex " + std::to_string(idx) + ", expected " + std::to_string(files.size()));
            return false;
        }
        bool over = false;
        const std::int64_t len = SeedDecimal(md5len, &over);
        if (over || len < 0 || std::uint64_t(len) > block_md5.size()) {
            set_error(error, which + " has fileblock_md5len " + md5len + " for a text of " +
                                 std::to_string(block_md5.size()) + " characters");
            return false;
        }
        // A name ending in a separator names a folder: no file could be made.
        if (!IsSafeRelativePath(name) || name.back() == '\\' || name.back() == '/') {
            set_error(error, which + " has an unsafe file name \"" + name + "\"");
            return false;
        }
        SeedFileEntry entry;
        entry.index = std::int32_t(idx);
        entry.md5 = md5;
        entry.name = name;
        entry.size = seed_unsigned(size);
        entry.block_md5 = block_md5.substr(0, std::size_t(len));
        files.push_back(std::move(entry));
    }
    return true;
}

bool ParseSeed(const std::string& seed_text, SeedHeader& header, std::string& file_list, std::string* error)
{
    file_list.clear();
    CXmlMarkup xml;
    if (!xml.SetDoc(seed_text)) {
        set_error(error, "seed is not well-formed XML");
        return false;
    }
    if (!xml.FindElem("task")) {
        set_error(error, "seed has no \"task\" element");
        return false;
    }
    header.game_id = std::uint32_t(SeedDecimal(xml.GetAttrib("gameid")));
    xml.IntoElem();
    std::string value;
    if (!find_value(xml, "taskid", value)) {
        set_error(error, "seed has no \"taskid\"");
        return false;
    }
    header.task_id = seed_unsigned(value);
    if (!find_value(xml, "blocksize", value)) {
        set_error(error, "seed has no \"blocksize\" after \"taskid\"");
        return false;
    }
    bool over = false;
    const std::int64_t block_size = SeedDecimal(value, &over);
    if (over || block_size <= 0 || block_size > std::int64_t(std::numeric_limits<std::uint32_t>::max())) {
        set_error(error, "seed has an unusable blocksize \"" + value + "\"");
        return false;
    }
    header.block_size = std::uint32_t(block_size);
    if (!find_value(xml, "srcdir", value)) {
        set_error(error, "seed has no \"srcdir\" after \"blocksize\"");
        return false;
    }
    if (value.size() > kMaxSourceFolder) {
        set_error(error, "seed's srcdir is longer than " + std::to_string(kMaxSourceFolder) + " characters");
        return false;
    }
    if (!value.empty() && (value[0] == '\\' || value[0] == '/' || !IsSafeRelativePath(value))) {
        set_error(error, "seed's srcdir \"" + value + "\" leaves the save folder");
        return false;
    }
    header.source_folder = value;
    if (!find_value(xml, "filecount", value)) {
        set_error(error, "seed has no \"filecount\" after \"srcdir\"");
        return false;
    }
    header.file_count = std::uint32_t(SeedDecimal(value));
    if (!xml.FindElem("filelist")) {
        set_error(error, "seed has no \"filelist\" after \"filecount\"");
        return false;
    }
    std::string list = xml.GetSubDoc();
    std::vector<SeedFileEntry> files;
    if (!ParseSeedFileList(list, files, error))
        return false;
    std::vector<std::uint64_t> sizes;
    sizes.reserve(files.size());
    for (const SeedFileEntry& f : files)
        sizes.push_back(f.size);
    std::string why;
    if (!CheckChannelLayout(sizes, header.block_size, &why)) {
        set_error(error, "seed refused: " + why);
        return false;
    }
    for (const SeedFileEntry& f : files) {
        const std::uint64_t need = (f.size + header.block_size - 1) / header.block_size * kPieceDigestChars;
        if (f.block_md5.size() < need || !all_hex(f.block_md5, std::size_t(need))) {
            set_error(error, "seed's file " + std::to_string(f.index) + " lacks a 32-digit digest for each of its " +
                                 std::to_string(need / kPieceDigestChars) + " pieces");
            return false;
        }
    }
    file_list = std::move(list);
    return true;
}

int ParseTaskXml(const std::string& seed_text, std::uint32_t* game_id, std::uint64_t* task_id,
                 std::uint64_t* total_size, std::string& source_folder)
{
    std::uint64_t total = 0;
    auto finish = [&](int result) {
        if (total_size)
            *total_size = total;
        return result;
    };
    CXmlMarkup xml;
    if (!xml.SetDoc(seed_text))
        return finish(1);
    if (!xml.FindElem("task"))
        return finish(2);
    if (game_id)
        *game_id = std::uint32_t(SeedDecimal(xml.GetAttrib("gameid")));
    xml.IntoElem();
    std::string value;
    if (!find_value(xml, "taskid", value))
        return finish(2);
    if (task_id)
        *task_id = seed_unsigned(value);
    if (!find_value(xml, "blocksize", value) || !find_value(xml, "srcdir", value))
        return finish(2);
    source_folder = value;
    if (!find_value(xml, "filecount", value) || !xml.FindElem("filelist"))
        return finish(2);
    xml.IntoElem();
    while (xml.FindElem("file")) {
        xml.IntoElem();
        std::string size;
        const bool complete = xml.FindElem("fileindex") && xml.FindElem("filemd5") && xml.FindElem("filename") &&
                              find_value(xml, "filesize", size) && xml.FindElem("fileblock_md5len") &&
                              xml.FindElem("fileblock_md5");
        xml.OutOfElem();
        if (!complete)
            return finish(2);
        const std::uint64_t s = seed_unsigned(size);
        total = (total > std::numeric_limits<std::uint64_t>::max() - s) ? std::numeric_limits<std::uint64_t>::max()
                                                                        : total + s;
    }
    return finish(0);
}
