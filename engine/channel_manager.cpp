#include "engine/channel_manager.h"

#include "engine/piece_buffer.h"
#include "engine/piece_hash_worker.h"
#include "picker/block_request.h"
#include "foundation/disk_file.h"
#include "foundation/md5.h"
#include "platform/debug_output.h"
#include "platform/paths.h"
#include "report/debug_log.h"
#include "report/log_event.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <deque>

namespace {

std::atomic<void (*)(std::uint64_t, std::int32_t)> g_read_hook{nullptr};

constexpr std::size_t kRootFolderField = 60;   // the root folder's fixed field, NUL included
constexpr std::size_t kDigestChars = 32;
// A resumed channel's re-check keeps at most this many bytes of pieces in
// memory, and no more pieces (or slices) than this many sets of hash lanes
// take. A piece longer than a slice is read and hashed a slice at a time.
constexpr std::size_t kRecheckBytes = std::size_t(32) << 20;
constexpr std::size_t kRecheckLanes = 4;
constexpr std::uint32_t kRecheckSlice = 4 * PieceBuffer::kUnit;

bool ends_with_separator(const std::string& s)
{
    return !s.empty() && (s.back() == '/' || s.back() == '\\');
}

// The seed's name below the task folder as a path of this platform: one
// leading separator dropped, backslashes turned into '/'.
std::string local_name(const std::string& name)
{
    std::string out = name;
    if (!out.empty() && (out[0] == '\\' || out[0] == '/'))
        out.erase(0, 1);
    std::replace(out.begin(), out.end(), '\\', '/');
    return out;
}

bool same_digest(const std::string& a, const std::string& b)
{
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    }
    return true;
}

// Reads `length` bytes at `offset` as far as the file goes; the bytes read.
std::uint32_t read_fully(CDiskFile& file, std::uint64_t offset, std::uint8_t* out, std::uint32_t length)
{
    std::uint32_t done = 0;
    while (done < length) {
        const std::uint32_t n = file.Read(offset + done, out + done, length - done);
        if (n == 0)
            break;
        done += n;
    }
    return done;
}

}   // namespace

CChannel::~CChannel() = default;

std::vector<std::uint32_t> CChannel::PieceLengths() const
{
    std::vector<std::uint32_t> lengths;
    lengths.reserve(pieces.size());
    for (const ChannelPiece& p : pieces)
        lengths.push_back(p.length);
    return lengths;
}

void CChannel::Done(CDiskFile* file)
{
    // A channel of many files does not hold them all open: each operation
    // opens its file and closes it again.
    if (files.size() > kMaxOpenFiles)
        file->Close();
}

std::shared_ptr<CDiskFile> CChannel::SharedFile(std::uint32_t position, bool read_only)
{
    const CChannelFile& f = files[position];
    auto it = open_files.find(f.index);
    if (it == open_files.end())
        it = open_files.emplace(f.index, std::make_shared<CDiskFile>(f.path, read_only)).first;
    return it->second;
}

CChannelManager::CChannelManager(const std::string& data_folder) : m_data_folder(data_folder)
{
    if (!m_data_folder.empty())
        platform::create_folder(m_data_folder);
    if (!ends_with_separator(m_data_folder))
        m_data_folder += platform::path_separator;
}

CChannelManager::~CChannelManager()
{
    CScopedLock lock(m_lock);
    m_channels.clear();
    m_verify.clear();
}

void CChannelManager::SetOwner(IChannelManagerEvent* owner)
{
    CScopedLock lock(m_lock);
    if (!m_owner)
        m_owner = owner;
}

void CChannelManager::SetCmdEvent(ICmdEvent* event)
{
    // The channel manager reports to storage only.
    if (event == nullptr)
        m_cmd_event = event;
}

CChannelManager::ChannelPtr CChannelManager::Find(std::uint64_t channel_id)
{
    CScopedLock lock(m_lock);
    auto it = m_channels.find(channel_id);
    return it == m_channels.end() ? nullptr : it->second;
}

bool CChannelManager::AddChannelFromFileList(std::unique_ptr<CChannel> channel, const std::string& file_list)
{
    const std::string id_text = std::to_string(channel->id);
    if (channel->piece_size <= 0) {
        platform::debug_output("CChannelManager: task " + id_text + " has an unusable piece size\n");
        return false;
    }
    if (channel->root_folder.size() >= kRootFolderField ||
        (!channel->root_folder.empty() && !IsSafeRelativePath(channel->root_folder))) {
        platform::debug_output("CChannelManager: task " + id_text + " has an unusable folder name\n");
        return false;
    }
    std::vector<SeedFileEntry> entries;
    std::string error;
    if (!ParseSeedFileList(file_list, entries, &error)) {
        platform::debug_output("CChannelManager: task " + id_text + ": " + error + "\n");
        return false;
    }
    std::vector<std::uint64_t> sizes;
    sizes.reserve(entries.size());
    for (const SeedFileEntry& e : entries)
        sizes.push_back(e.size);
    const std::uint32_t piece_size = std::uint32_t(channel->piece_size);
    if (!CheckChannelLayout(sizes, piece_size, &error)) {
        platform::debug_output("CChannelManager: task " + id_text + ": " + error + "\n");
        return false;
    }
    std::string base;
    if (!channel->save_path.empty()) {
        base = channel->save_path;
        if (!ends_with_separator(base))
            base += platform::path_separator;
    } else {
        base = m_data_folder + channel->root_folder + platform::path_separator;
    }
    for (SeedFileEntry& e : entries) {
        CChannelFile f;
        f.index = e.index;
        f.name = local_name(e.name);
        f.path = base + f.name;
        f.md5 = std::move(e.md5);
        f.size = e.size;
        f.block_md5 = std::move(e.block_md5);
        f.first_piece = std::uint32_t(channel->pieces.size());
        f.piece_count = std::uint32_t((e.size + piece_size - 1) / piece_size);
        for (std::uint32_t k = 0; k < f.piece_count; ++k) {
            ChannelPiece p;
            p.file = std::uint32_t(channel->files.size());
            p.index_in_file = k;
            p.offset = std::uint64_t(k) * piece_size;
            p.length = std::uint32_t(std::min<std::uint64_t>(piece_size, e.size - p.offset));
            channel->pieces.push_back(p);
        }
        channel->total_size += e.size;
        channel->files.push_back(std::move(f));
    }
    CScopedLock lock(m_lock);
    if (m_channels.count(channel->id))
        return false;
    m_last_total = channel->total_size;
    if (channel->has_loaded) {
        std::vector<std::uint8_t> verify(channel->pieces.size(), 0);
        for (std::size_t p = 0; p < verify.size() && p < channel->loaded_bitmap.size(); ++p)
            verify[p] = channel->loaded_bitmap[p] == 1 ? 1 : 0;
        m_verify[channel->id] = std::move(verify);
    }
    const std::uint64_t id = channel->id;
    m_channels.emplace(id, ChannelPtr(channel.release()));
    return true;
}

bool CChannelManager::AddChannel(std::uint64_t channel_id, std::int32_t piece_size, const std::string& root_folder,
                                 std::uint32_t /*file_count*/, const std::string& file_list,
                                 const std::vector<std::uint8_t>& loaded_bitmap,
                                 const std::vector<std::vector<std::uint8_t>>& loaded_blocks,
                                 const std::string& save_path, std::uint8_t history_flag)
{
    auto channel = std::make_unique<CChannel>();
    channel->id = channel_id;
    channel->piece_size = piece_size;
    channel->root_folder = root_folder;
    channel->history_flag = history_flag ? 1 : 0;
    channel->save_path = save_path;
    channel->has_loaded = true;
    channel->loaded_bitmap = loaded_bitmap;
    channel->loaded_blocks = loaded_blocks;
    return AddChannelFromFileList(std::move(channel), file_list);
}

bool CChannelManager::AddChannel(std::uint64_t channel_id, std::int32_t piece_size, const std::string& root_folder,
                                 std::uint32_t /*file_count*/, const std::string& file_list,
                                 const std::string& save_path)
{
    auto channel = std::make_unique<CChannel>();
    channel->id = channel_id;
    channel->piece_size = piece_size;
    channel->root_folder = root_folder;
    channel->save_path = save_path;
    if (!save_path.empty())
        platform::create_folder(save_path);
    return AddChannelFromFileList(std::move(channel), file_list);
}

bool CChannelManager::AddChannel(std::uint64_t channel_id, std::int32_t piece_size, const std::string& root_folder,
                                 std::uint32_t /*file_count*/, const std::string& file_list)
{
    auto channel = std::make_unique<CChannel>();
    channel->id = channel_id;
    channel->piece_size = piece_size;
    channel->root_folder = root_folder;
    if (root_folder.size() < kRootFolderField && (root_folder.empty() || IsSafeRelativePath(root_folder)))
        platform::create_folder(m_data_folder + root_folder);
    return AddChannelFromFileList(std::move(channel), file_list);
}

void CChannelManager::RemoveChannel(std::uint64_t channel_id)
{
    ChannelPtr doomed;
    CScopedLock lock(m_lock);
    auto it = m_channels.find(channel_id);
    if (it != m_channels.end()) {
        doomed = std::move(it->second);   // freed here, or by a caller still working with it
        m_channels.erase(it);
    }
    m_verify.erase(channel_id);
}

bool CChannelManager::ReadPieceFromFiles(CChannel& channel, std::uint32_t piece, std::uint8_t* buffer)
{
    const ChannelPiece& p = channel.pieces[piece];
    CDiskFile* file = channel.File(p.file);
    const bool whole = read_fully(*file, p.offset, buffer, p.length) == p.length;
    channel.Done(file);
    return whole;
}

// The seed's digest text of the piece; empty when the text is too short.
std::string CChannelManager::ExpectedDigest(const CChannel& channel, std::uint32_t piece)
{
    const ChannelPiece& p = channel.pieces[piece];
    const std::string& text = channel.files[p.file].block_md5;
    const std::size_t at = std::size_t(p.index_in_file) * kDigestChars;
    return at + kDigestChars <= text.size() ? text.substr(at, kDigestChars) : std::string();
}

// Compares the piece's digest with the seed's (`want`): `known` when the
// caller computed it while writing the piece, else that of `written` when
// the caller has just written the whole piece from it, else that of the
// piece read back from `file` a unit at a time (a big piece never sits in
// memory whole for its check). A known digest that does not match is not
// trusted: the bytes themselves decide. An empty `want` (the seed's text
// too short for this piece) makes it fail. Takes no lock: the caller holds
// a share of the file.
bool CChannelManager::PieceMatches(CDiskFile& file, const ChannelPiece& p, const std::string& want,
                                   std::string* computed, const std::uint8_t* written, const unsigned char* known)
{
    if (known) {
        const std::string actual = md5_to_hex(known, true);
        if (same_digest(want, actual)) {
            if (computed)
                *computed = actual;
            return true;
        }
    }
    bool complete = true;
    unsigned char digest[kMd5DigestSize];
    if (written) {
        MD5Digest(written, p.length, digest);
    } else {
        Md5State md5;
        PieceUnit unit(PieceBuffer::kUnit);
        for (std::uint32_t at = 0; at < p.length && complete;) {
            const std::uint32_t n = std::min<std::uint32_t>(p.length - at, PieceBuffer::kUnit);
            const std::uint32_t got = read_fully(file, p.offset + at, unit.data(), n);
            complete = got == n;
            md5.Update(unit.data(), got);
            at += got;
        }
        md5.Final(digest);
    }
    const std::string actual = md5_to_hex(digest, true);
    if (computed)
        *computed = actual;
    return complete && same_digest(want, actual);
}

namespace {

// A preparation that fails: the reason stays with the channel for its owner.
bool refuse(CChannel& channel, const std::string& reason)
{
    platform::debug_output("CChannelManager: " + reason + "\n");
    channel.prepare_error = reason;
    return false;
}

}   // namespace

bool CChannelManager::PrepareFresh(CChannel& channel, std::vector<std::uint8_t>& bitmap,
                                   std::vector<std::vector<std::uint8_t>>& blocks, std::vector<std::uint32_t>& recheck)
{
    bitmap.assign(channel.pieces.size(), 0);
    blocks.assign(channel.pieces.size(), {});
    for (std::size_t p = 0; p < channel.pieces.size(); ++p)
        blocks[p].assign(BlocksInPiece(channel.pieces[p].length), 0);

    std::string folder;   // the last folder made
    for (std::uint32_t i = 0; i < channel.files.size(); ++i) {
        // A file not on disk yet is made by the first write into it, and
        // reaches its size with its last piece: a patch of thousands of
        // files starts fetching at once instead of after creating and
        // sizing each. It holds no piece to check on resume. Its folder is
        // made now (once per folder), so that a path that cannot hold it
        // still stops the task here.
        const CChannelFile& f = channel.files[i];
        if (f.size > 0 && !platform::file_exists(f.path)) {
            const std::string parent = platform::parent_folder(f.path);
            if (parent == folder)
                continue;
            if (!platform::create_folder(parent))
                return refuse(channel, "cannot open " + f.path);
            folder = parent;
            continue;
        }
        const bool ok = PrepareFile(channel, i, blocks, recheck);
        channel.Done(channel.File(i));
        if (!ok)
            return false;
    }
    return true;
}

// Creates or sizes one file and, for a resumed channel, lists the pieces
// whose loaded tables (or bytes on disk) claim more than nothing: they are
// re-checked once every file is prepared (RecheckPieces).
bool CChannelManager::PrepareFile(CChannel& channel, std::uint32_t i, std::vector<std::vector<std::uint8_t>>& blocks,
                                  std::vector<std::uint32_t>& recheck)
{
    const CChannelFile& f = channel.files[i];
    CDiskFile* file = channel.File(i);
    if (!file->IsOpen()) {
        return refuse(channel, "cannot open " + f.path);
    }
    std::int64_t size = file->GetSize();
    if (size < 0) {
        return refuse(channel, "cannot size " + f.path);
    }
    bool fresh = size == 0;
    if (std::uint64_t(size) > f.size) {
        // Longer than the seed says: not our file; start it again.
        file->Close();
        platform::delete_file(f.path);
        if (!file->Open(0)) {
            return refuse(channel, "cannot recreate " + f.path);
        }
        size = 0;
        fresh = true;
    }
    if (std::uint64_t(size) < f.size && !file->SetSize(std::int64_t(f.size))) {
        return refuse(channel, "cannot size " + f.path);
    }
    if (fresh || !channel.has_loaded)
        return true;
    // Pieces written after the last bitmap save (a kill lost their record)
    // are whole on disk: checked here rather than fetched again. Only where
    // files keep holes are they told apart cheaply: pieces never written
    // are holes and cost nothing to skip.
    const bool sparse = platform::folder_keeps_holes(platform::parent_folder(f.path));
    for (std::uint32_t k = 0; k < f.piece_count; ++k) {
        const std::uint32_t p = f.first_piece + k;
        const std::uint8_t loaded = p < channel.loaded_bitmap.size() ? channel.loaded_bitmap[p] : 0;
        const ChannelPiece& piece = channel.pieces[p];
        if (loaded == 1 || (sparse && file->HoldsData(piece.offset, piece.length))) {
            // A match makes the whole piece verified, whatever is set below.
            recheck.push_back(p);
            if (loaded == 1)
                continue;
        }
        // Blocks written before stay received; a table of another shape
        // belongs to another layout and is ignored.
        if (p < channel.loaded_blocks.size() && channel.loaded_blocks[p].size() == blocks[p].size()) {
            const auto& was = channel.loaded_blocks[p];
            if (std::find(was.begin(), was.end(), std::uint8_t(0)) != was.end()) {
                for (std::size_t b = 0; b < was.size(); ++b)
                    blocks[p][b] = was[b] == 1 ? 1 : 0;
            }
        }
    }
    return true;
}

// Reads the listed pieces (the channel's lock taken only to find a file,
// never across a read) and has the owner's hash workers digest them while
// the next bytes are read; a piece that matches its digest becomes
// verified with all its blocks. The bytes in memory stay within
// kRecheckBytes whatever the piece size: pieces are read a slice at a time
// (small ones whole), several side by side so that the hash lanes stay
// busy, and each slice is let go once its piece's digest has passed it.
bool CChannelManager::RecheckPieces(CChannel& channel, const std::vector<std::uint32_t>& pieces, ChannelTables& tables,
                                    const std::function<bool()>& cancelled)
{
    struct Checking {
        std::uint32_t piece = 0;
        bool whole = true;   // every byte read so far was there
        std::shared_ptr<PieceBuffer> units;
        std::shared_ptr<PieceHash> hash;
    };
    struct Slice {
        std::shared_ptr<Checking> of;
        std::uint32_t start = 0;
        std::uint32_t end = 0;
    };
    IChannelManagerEvent* owner = nullptr;
    {
        CScopedLock lock(m_lock);
        owner = m_owner;
    }
    const std::size_t lanes = kRecheckLanes * Md5LaneWidth();
    const std::size_t side_by_side = std::max<std::size_t>(1, std::min(lanes, kRecheckBytes / kRecheckSlice));
    std::deque<Slice> pending;
    std::vector<std::shared_ptr<PieceUnit>> spare;   // let go, for the next slices
    std::size_t held = 0;                            // bytes of the pending slices and the spare units
    const auto settle = [&] {
        const Slice s = std::move(pending.front());
        pending.pop_front();
        Checking& c = *s.of;
        // What the workers have not reached yet is hashed here; then no
        // worker reads the slice any more.
        c.hash->Advance();
        for (std::size_t u = PieceBuffer::UnitOf(s.start); u < c.units->Units() && c.units->UnitStart(u) < s.end; ++u) {
            std::shared_ptr<PieceUnit> unit = c.units->Share(u);
            c.units->Release(u);
            if (unit) {
                held += unit->size();
                spare.push_back(std::move(unit));
            }
        }
        held -= s.end - s.start;
        if (s.end < c.units->Length())
            return;
        unsigned char digest[kMd5DigestSize];
        c.hash->Finish(digest);
        if (c.whole && same_digest(ExpectedDigest(channel, c.piece), md5_to_hex(digest, true))) {
            tables.bitmap[c.piece] = 1;
            std::fill(tables.blocks[c.piece].begin(), tables.blocks[c.piece].end(), std::uint8_t(1));
        }
    };
    const auto read = [&](const std::shared_ptr<Checking>& c, std::uint32_t start, std::uint32_t end) {
        const std::size_t need = end - start;
        while (held + need > kRecheckBytes || pending.size() >= lanes) {
            if (!spare.empty() && held + need > kRecheckBytes) {
                held -= spare.back()->size();
                spare.pop_back();
            } else if (!pending.empty()) {
                settle();
            } else {
                break;
            }
        }
        PieceBuffer& units = *c->units;
        for (std::size_t u = PieceBuffer::UnitOf(start); c->whole && u < units.Units() && units.UnitStart(u) < end;
             ++u) {
            const std::uint32_t at = units.UnitStart(u);
            const std::uint32_t size = units.UnitEnd(u) - at;
            // A spare unit of this size saves the heap a round trip per small piece.
            std::shared_ptr<PieceUnit> reused;
            if (!spare.empty() && spare.back()->size() == size) {
                reused = std::move(spare.back());
                spare.pop_back();
                held -= size;
            }
            c->whole = ReadRange(channel, c->piece, at, units.Make(at, &reused), size);
        }
        if (c->whole) {
            c->hash->SetReady(end);
            if (owner)
                owner->PostHash(c->hash);
        }
        pending.push_back({c, start, end});
        held += end - start;
    };
    for (std::size_t first = 0; first < pieces.size(); first += side_by_side) {
        std::vector<std::shared_ptr<Checking>> group;
        for (std::size_t i = first; i < std::min(pieces.size(), first + side_by_side); ++i) {
            auto c = std::make_shared<Checking>();
            c->piece = pieces[i];
            c->units = std::make_shared<PieceBuffer>(channel.pieces[pieces[i]].length);
            c->hash = std::make_shared<PieceHash>(c->units);
            group.push_back(std::move(c));
        }
        bool more = true;
        for (std::uint64_t at = 0; more; at += kRecheckSlice) {
            more = false;
            for (const std::shared_ptr<Checking>& c : group) {
                const std::uint32_t length = c->units->Length();
                if (at >= length)
                    continue;
                if (cancelled && cancelled()) {
                    // The workers let go of each piece's units before they are freed.
                    for (Slice& s : pending)
                        s.of->hash->Detach();
                    return false;
                }
                read(c, std::uint32_t(at), std::uint32_t(std::min<std::uint64_t>(length, at + kRecheckSlice)));
                more = true;
            }
        }
    }
    while (!pending.empty())
        settle();
    return true;
}

bool CChannelManager::PrepareHistory(CChannel& channel)
{
    for (std::uint32_t i = 0; i < channel.files.size(); ++i) {
        const CChannelFile& f = channel.files[i];
        if (!platform::file_exists(f.path)) {
            platform::debug_output("CChannelManager: " + f.path + " is missing\n");
            return false;
        }
        // Looked at read-only, then let go: blocks the loaded tables lack
        // are still written, through a handle opened for them.
        channel.open_files.erase(f.index);
        const std::int64_t size = channel.File(i, true)->GetSize();
        channel.open_files.erase(f.index);
        if (size < 0 || std::uint64_t(size) != f.size) {
            platform::debug_output("CChannelManager: " + f.path + " does not have its seed size\n");
            return false;
        }
    }
    if (channel.loaded_bitmap.size() != channel.pieces.size() || channel.loaded_blocks.size() != channel.pieces.size())
        return false;
    for (std::size_t p = 0; p < channel.pieces.size(); ++p) {
        if (channel.loaded_blocks[p].size() != BlocksInPiece(channel.pieces[p].length))
            return false;
    }
    return true;
}

// Files made and sized, then the listed pieces re-checked with no lock
// held between two pieces; null when cancelled.
std::unique_ptr<ChannelTables> CChannelManager::BuildTables(CChannel& channel, const std::function<bool()>& cancelled)
{
    auto tables = std::make_unique<ChannelTables>();
    std::vector<std::uint32_t> recheck;
    {
        CScopedLock lock(channel.lock);
        channel.prepare_error.clear();
        if (channel.history_flag == 1) {
            tables->ok = PrepareHistory(channel);
            if (tables->ok) {
                tables->bitmap = channel.loaded_bitmap;
                tables->blocks = channel.loaded_blocks;
            }
            return tables;
        }
        tables->ok = PrepareFresh(channel, tables->bitmap, tables->blocks, recheck);
        if (!tables->ok)
            return tables;
    }
    if (!RecheckPieces(channel, recheck, *tables, cancelled))
        return nullptr;
    return tables;
}

ChannelCheck CChannelManager::CheckChannelFiles(std::uint64_t channel_id, const std::function<bool()>& cancelled)
{
    ChannelPtr channel = Find(channel_id);
    if (!channel)
        return ChannelCheck::kFailed;
    std::unique_ptr<ChannelTables> tables = BuildTables(*channel, cancelled);
    if (!tables)
        return ChannelCheck::kCancelled;
    const bool ok = tables->ok;
    CScopedLock lock(channel->lock);
    channel->ahead = std::move(tables);
    return ok ? ChannelCheck::kReady : ChannelCheck::kFailed;
}

bool CChannelManager::PrepareChannelFiles(std::uint64_t channel_id)
{
    ChannelPtr channel = Find(channel_id);
    if (!channel)
        return false;
    std::unique_ptr<ChannelTables> tables;
    {
        CScopedLock lock(channel->lock);
        tables = std::move(channel->ahead);
    }
    if (!tables)
        tables = BuildTables(*channel, nullptr);
    if (!tables->ok)
        return false;
    std::vector<std::uint32_t> lengths;
    bool first = false;
    {
        CScopedLock lock(channel->lock);
        lengths = channel->PieceLengths();
        first = !channel->prepared;
        channel->prepared = true;
    }
    OnChannelFilesReady(channel_id, tables->bitmap, tables->blocks, lengths, first);
    return true;
}

std::string CChannelManager::PrepareError(std::uint64_t channel_id)
{
    ChannelPtr channel = Find(channel_id);
    if (!channel)
        return std::string();
    CScopedLock lock(channel->lock);
    return channel->prepare_error;
}

// Creates the verify table (the first preparation decides what is
// verified: a resumed piece that no longer matches its digest is not) and
// hands the tables to the owner. Called with no lock of ours held: storage
// takes its own lock before ours on the write path.
void CChannelManager::OnChannelFilesReady(std::uint64_t channel_id, const std::vector<std::uint8_t>& bitmap,
                                          const std::vector<std::vector<std::uint8_t>>& blocks,
                                          const std::vector<std::uint32_t>& lengths, bool first)
{
    IChannelManagerEvent* owner = nullptr;
    {
        CScopedLock lock(m_lock);
        if (m_channels.count(channel_id) && (first || !m_verify.count(channel_id))) {
            std::vector<std::uint8_t>& verify = m_verify[channel_id];
            verify.assign(bitmap.size(), 0);
            for (std::size_t p = 0; p < bitmap.size(); ++p)
                verify[p] = bitmap[p] == 1 ? 1 : 0;
        }
        owner = m_owner;
    }
    if (owner)
        owner->OnChannelAdded(channel_id, bitmap, blocks, lengths);
}

bool CChannelManager::VerifyBlock(std::uint64_t channel_id, std::int32_t piece, std::int32_t offset,
                                  const std::uint8_t* data, std::int32_t length, std::uint8_t check)
{
    return WriteRun(channel_id, piece, offset, data, length, check, nullptr);
}

bool CChannelManager::VerifyPiece(std::uint64_t channel_id, std::int32_t piece, std::int32_t offset,
                                  const std::uint8_t* data, std::int32_t length, const unsigned char* digest)
{
    return WriteRun(channel_id, piece, offset, data, length, 1, digest);
}

bool CChannelManager::WriteRun(std::uint64_t channel_id, std::int32_t piece, std::int32_t offset,
                               const std::uint8_t* data, std::int32_t length, std::uint8_t check,
                               const unsigned char* digest)
{
    ChannelPtr channel = Find(channel_id);
    if (!channel || !data || piece < 0 || std::size_t(piece) >= channel->pieces.size() || offset < 0 || length <= 0)
        return false;
    const ChannelPiece& p = channel->pieces[std::size_t(piece)];
    if (std::uint64_t(offset) + std::uint64_t(length) > p.length)
        return false;
    std::uint8_t result = 0;
    std::shared_ptr<CDiskFile> file;
    {
        CScopedLock lock(channel->lock);
        // A file not made yet is refused as an open one would be.
        if (channel->read_only && !channel->open_files.count(channel->files[p.file].index)) {
            channel->write_error = channel->files[p.file].path + ": " + std::strerror(EBADF);
            platform::debug_output("CChannelManager: writing " + channel->write_error + "\n");
            return false;
        }
        file = channel->SharedFile(p.file);
    }
    // Written without the channel's lock: the storage threads write
    // different pieces of a channel side by side (a file's own lock keeps
    // its opening and closing whole).
    std::uint32_t done = 0;
    int error = 0;
    while (done < std::uint32_t(length)) {
        const std::uint32_t n = file->Write(p.offset + std::uint32_t(offset) + done, data + done,
                                            std::uint32_t(length) - done, &error);
        if (n == 0)
            break;
        done += n;
    }
    std::string expected;
    {
        CScopedLock lock(channel->lock);
        if (done != std::uint32_t(length)) {
            channel->Done(file.get());
            channel->write_error = channel->files[p.file].path + ": " + std::strerror(error != 0 ? error : EIO);
            platform::debug_output("CChannelManager: writing " + channel->write_error + "\n");
            return false;
        }
        if (check != 1) {
            channel->Done(file.get());
            return true;
        }
        expected = ExpectedDigest(*channel, std::uint32_t(piece));
    }
    // A run that covers the whole piece was just written in full: its bytes
    // are what the file holds, so they are checked without a read. A read
    // back happens outside the channel's lock, so that the channel's other
    // pieces are written meanwhile.
    const std::uint8_t* whole = (offset == 0 && std::uint32_t(length) == p.length) ? data : nullptr;
    std::string computed;
    const bool matches = PieceMatches(*file, p, expected, &computed, whole, digest);
    {
        CScopedLock lock(channel->lock);
        channel->Done(file.get());
        if (matches) {
            result = 1;
        } else {
            if (whole) {
                DebugLog::WriteData(3, whole, p.length, "recv");
            } else if (DebugLog::DataSwitch() >= 3) {
                // Read whole only for the data log, which wants it in one.
                std::vector<std::uint8_t> bytes(p.length);
                ReadPieceFromFiles(*channel, std::uint32_t(piece), bytes.data());
                DebugLog::WriteData(3, bytes.data(), p.length, "recv");
            }
            const std::string text = "原始MD5码:" + expected + " 验证MD5码:" + computed;
            platform::debug_output("CChannelManager: task " + std::to_string(channel_id) + " piece " +
                                   std::to_string(piece) + " " + text + "\n");
            LogEvent(14, "LOG::LOG_DOWN_HASH_ERR", std::uint32_t(channel_id), std::uint32_t(channel_id >> 32), "%s",
                     text.c_str());
        }
    }
    OnPieceVerified(channel_id, std::uint32_t(piece), result);
    return true;
}

void CChannelManager::OnPieceVerified(std::uint64_t channel_id, std::uint32_t piece, std::uint8_t result)
{
    IChannelManagerEvent* owner = nullptr;
    {
        CScopedLock lock(m_lock);
        auto it = m_verify.find(channel_id);
        if (it != m_verify.end() && piece < it->second.size())
            it->second[piece] = result == 1 ? 1 : 0;
        owner = m_owner;
    }
    if (owner)
        owner->SetPiece(channel_id, piece, result);
}

void SetPieceReadHook(void (*hook)(std::uint64_t channel_id, std::int32_t piece))
{
    g_read_hook.store(hook);
}

bool CChannelManager::ReadPiece(std::uint64_t channel_id, PieceCacheEntry& entry)
{
    if (auto hook = g_read_hook.load())
        hook(channel_id, entry.piece);
    ChannelPtr channel = Find(channel_id);
    if (!channel || entry.piece < 0 || std::size_t(entry.piece) >= channel->pieces.size())
        return false;
    const ChannelPiece& p = channel->pieces[std::size_t(entry.piece)];
    if (entry.length != p.length || entry.buffer.size() < p.length)
        return false;
    // Read without the channel's lock, as spans are: the channel's writes
    // and the I/O thread's copies from memory go on meanwhile.
    return ReadRange(*channel, std::uint32_t(entry.piece), 0, entry.buffer.data(), p.length);
}

bool CChannelManager::ReadPieceRange(std::uint64_t channel_id, std::int32_t piece, std::uint32_t offset,
                                     std::uint8_t* out, std::uint32_t length)
{
    ChannelPtr channel = Find(channel_id);
    if (!channel || !out || piece < 0 || std::size_t(piece) >= channel->pieces.size())
        return false;
    if (std::uint64_t(offset) + length > channel->pieces[std::size_t(piece)].length)
        return false;
    return ReadRange(*channel, std::uint32_t(piece), offset, out, length);
}

bool CChannelManager::ReadRange(CChannel& channel, std::uint32_t piece, std::uint32_t offset, std::uint8_t* out,
                                std::uint32_t length)
{
    const ChannelPiece& p = channel.pieces[piece];
    std::shared_ptr<CDiskFile> file;
    {
        CScopedLock lock(channel.lock);
        file = channel.SharedFile(p.file);
        // A file closed since (its task completed) is opened again, in its
        // own mode, and kept open while the channel uploads: the I/O thread
        // copies blocks from memory only through an open file.
        if (channel.files.size() <= CChannel::kMaxOpenFiles && !file->IsOpen())
            file->Open(file->IsReadOnly() ? 1 : 0);
    }
    // Outside the channel's lock, as writes are.
    const bool whole = read_fully(*file, p.offset + offset, out, length) == length;
    CScopedLock lock(channel.lock);
    channel.Done(file.get());
    return whole;
}

// Called on the I/O thread: it takes no lock another thread may hold for
// long (the channel's is only tried) and opens no file. `use` gets the open
// file holding the piece's bytes at `offset` and their offset in it.
template <class Use>
bool CChannelManager::WithOpenPieceFile(std::uint64_t channel_id, std::int32_t piece, std::uint32_t offset,
                                        std::uint32_t length, Use&& use)
{
    // A disk the tests make slow holds nothing in memory.
    if (g_read_hook.load())
        return false;
    ChannelPtr channel = Find(channel_id);
    if (!channel || piece < 0 || std::size_t(piece) >= channel->pieces.size())
        return false;
    const ChannelPiece& p = channel->pieces[std::size_t(piece)];
    if (std::uint64_t(offset) + length > p.length || !channel->lock.TryLock())
        return false;
    bool done = false;
    // A channel of many files closes each after use: nothing is open.
    if (channel->files.size() <= CChannel::kMaxOpenFiles) {
        auto file = channel->open_files.find(channel->files[p.file].index);
        done = file != channel->open_files.end() && use(*file->second, p.offset + offset);
    }
    channel->lock.Unlock();
    return done;
}

bool CChannelManager::ReadCachedBlock(std::uint64_t channel_id, std::int32_t piece, std::uint32_t offset,
                                      std::uint8_t* data, std::uint32_t length)
{
    return WithOpenPieceFile(channel_id, piece, offset, length,
                             [&](CDiskFile& file, std::uint64_t at) { return file.ReadCached(at, data, length); });
}

bool CChannelManager::CachedBlockFile(std::uint64_t channel_id, std::int32_t piece, std::uint32_t offset,
                                      std::uint32_t length, BlockFile& out)
{
    return WithOpenPieceFile(channel_id, piece, offset, length, [&](CDiskFile& file, std::uint64_t at) {
        out.handle = file.CachedRange(at, length);
        out.offset = at;
        return out.handle != nullptr;
    });
}

std::string CChannelManager::LastWriteError(std::uint64_t channel_id)
{
    ChannelPtr channel = Find(channel_id);
    if (!channel)
        return std::string();
    CScopedLock lock(channel->lock);
    return channel->write_error;
}

std::string CChannelManager::GetChannelFolder(std::uint64_t channel_id)
{
    ChannelPtr channel = Find(channel_id);
    return channel ? m_data_folder + channel->root_folder : std::string();
}

std::string CChannelManager::FileNameFor(std::uint64_t channel_id, std::int32_t piece, std::int32_t* piece_in_file,
                                         std::uint64_t* file_size)
{
    ChannelPtr channel = Find(channel_id);
    if (!channel || piece < 0 || std::size_t(piece) >= channel->pieces.size())
        return std::string();
    const ChannelPiece& p = channel->pieces[std::size_t(piece)];
    const CChannelFile& f = channel->files[p.file];
    if (piece_in_file)
        *piece_in_file = std::int32_t(p.index_in_file);
    if (file_size)
        *file_size = f.size;
    // With its folders: namesakes in two folders are two files to fetch.
    return f.name;
}

std::string CChannelManager::GetFileNameForRange(std::uint64_t channel_id, std::int32_t piece,
                                                 std::int32_t* piece_in_file, std::uint64_t* file_size)
{
    if (file_size)
        *file_size = 0;
    return FileNameFor(channel_id, piece, piece_in_file, file_size);
}

std::string CChannelManager::GetFileNameForBlock(std::uint64_t channel_id, std::int32_t piece,
                                                 std::int32_t* piece_in_file)
{
    return FileNameFor(channel_id, piece, piece_in_file, nullptr);
}

bool CChannelManager::IsChannelVerified(std::uint64_t channel_id)
{
    CScopedLock lock(m_lock);
    auto it = m_verify.find(channel_id);
    return it != m_verify.end() && std::find(it->second.begin(), it->second.end(), 0) == it->second.end();
}

bool CChannelManager::GetVerifyProgress(std::uint64_t channel_id, std::uint32_t* verified, std::uint32_t* pieces)
{
    if (verified)
        *verified = 0;
    if (pieces)
        *pieces = 0;
    CScopedLock lock(m_lock);
    auto it = m_verify.find(channel_id);
    if (it == m_verify.end())
        return false;
    if (verified)
        *verified = std::uint32_t(std::count(it->second.begin(), it->second.end(), 1));
    if (pieces)
        *pieces = std::uint32_t(it->second.size());
    return true;
}

std::uint64_t CChannelManager::GetChannelTotalSize(std::uint64_t channel_id)
{
    ChannelPtr channel = Find(channel_id);
    return channel ? channel->total_size : 0;
}

std::uint64_t CChannelManager::GetTotalSizeOf(const std::uint64_t* channel_id)
{
    return channel_id ? GetChannelTotalSize(*channel_id) : 0;
}

int CChannelManager::CloseChannelFiles(std::uint64_t channel_id)
{
    ChannelPtr channel = Find(channel_id);
    if (channel) {
        CScopedLock lock(channel->lock);
        for (auto& f : channel->open_files)
            f.second->Close();
    }
    return 1;
}

int CChannelManager::SetFilesFlag(std::uint64_t channel_id, std::uint8_t read_only)
{
    ChannelPtr channel = Find(channel_id);
    if (channel) {
        CScopedLock lock(channel->lock);
        channel->read_only = read_only != 0;
        for (auto& f : channel->open_files)
            f.second->Open(read_only);
    }
    return 1;
}

IChannelManager* CreateChannelManager(const std::string& data_folder)
{
    return new CChannelManager(data_folder);
}

void DestroyChannelManager(IChannelManager* manager)
{
    delete manager;
}
