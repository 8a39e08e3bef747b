// A task for the ranged-HTTP connection tests: files of given sizes cut
// into pieces, a real piece picker over its own tables, a store that
// assembles the written blocks into file images and checks each finished
// piece against the expected bytes (a mismatch resets the piece, as a
// failed MD5 check does), and the HTTP peer data the connections ask for.
// Header-only: it needs the engine's piece picker, which the suites that
// use it link.
#pragma once

#include "picker/block_request_map.h"
#include "net/conn/http_range_request.h"
#include "platform/event.h"
#include "platform/socket.h"
#include "support/fake_block_loan.h"
#include "support/task_fixture.h"

#include <atomic>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace test_support {

class FakeRangeTask : public zeq::i_range_task {
public:
    struct File {
        std::string name;       // as the channel names it (path inside the task)
        std::string expected;   // the bytes the servers hold
    };

    FakeRangeTask(i_io_service* io, std::uint32_t piece_size, std::vector<File> files, std::uint64_t id = 77)
        : m_io(io), m_piece_size(piece_size), m_files(std::move(files)), m_id(id)
    {
        for (std::size_t f = 0; f < m_files.size(); ++f) {
            m_images.emplace_back(m_files[f].expected.size(), '\0');
            const std::uint64_t size = m_files[f].expected.size();
            for (std::uint64_t off = 0, i = 0; off < size; off += piece_size, ++i) {
                const std::uint32_t length = std::uint32_t(std::min<std::uint64_t>(piece_size, size - off));
                m_lengths.push_back(length);
                m_received.emplace_back(BlocksInPiece(length), 0);
                m_where.push_back({f, std::int32_t(i), off});
            }
        }
        m_bitmap.assign(m_lengths.size(), 0);
        // Runs in file order: the exchange tests name the ranges they expect.
        m_picker = std::make_unique<CBlockRequestMap>(m_received, m_bitmap, m_lengths, 0);
    }

    // ---- set-up ----
    void AddHttpInfo(const HttpPeerInfo& info)
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_infos.push_back(info);
        m_urls.add(info.host, info.path);
    }
    // Adding a peer wakes the event given to WakeOnWork, as the engine's
    // task wakes its CDN thread.
    void AddPeer(const PeerInfo& peer)
    {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_peers.push_back(peer);
        }
        Wake();
    }
    void WakeOnWork(std::shared_ptr<platform::Event> event)
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_wake = std::move(event);
    }
    void SetTextEnabled(bool on) { m_text_enabled = on; }
    void SetStopFinished(bool on) { m_stop_finished = on; }
    void SetComplete(bool on) { m_complete_override = on; }
    // Called inside write_block when a piece fails its check (the engine
    // closes every connection of the task then).
    void OnCheckFailed(std::function<void()> hook) { m_on_failed = std::move(hook); }
    void SetPickerAvailable(bool on) { m_picker_available = on; }

    // ---- inspection ----
    std::string Image(std::size_t f)
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_images[f];
    }
    bool AllVerified()
    {
        std::lock_guard<std::mutex> g(m_lock);
        return std::find(m_bitmap.begin(), m_bitmap.end(), 0) == m_bitmap.end();
    }
    std::uint32_t BlocksWritten() const { return m_blocks.load(); }
    // Every block the store holds equals the expected bytes.
    bool ReceivedBlocksMatch()
    {
        std::lock_guard<std::mutex> g(m_lock);
        for (std::size_t p = 0; p < m_received.size(); ++p) {
            const Where& w = m_where[p];
            for (std::uint32_t b = 0; b < m_received[p].size(); ++b) {
                const std::size_t at = std::size_t(w.offset) + std::size_t(b) * kBlockSize;
                const std::size_t length = BlockLength(m_lengths[p], b);
                if (m_received[p][b] && std::memcmp(&m_images[w.file][at], &m_files[w.file].expected[at], length) != 0)
                    return false;
            }
        }
        return true;
    }
    std::uint32_t FailedChecks() const { return m_failed_checks.load(); }
    std::uint64_t BytesCounted() const { return m_bytes.load(); }
    std::vector<std::string> Texts()
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_texts;
    }
    std::int32_t HttpConnections(std::uint64_t id)
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_http_counts[id];
    }
    std::size_t SpeedEntries()
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_speeds.size();
    }
    std::size_t Removed()
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_removed;
    }
    std::uint32_t Picks() const { return m_picks.load(); }
    CBlockRequestMap& Picker() { return *m_picker; }
    // Gives the blocks of the task's shared run back to the picker (they
    // stay requested while they wait there for a connection).
    void ReturnSharedRun()
    {
        std::lock_guard<std::mutex> g(m_run_lock);
        for (const BlockRequest& b : m_run)
            m_picker->CancelRequest(b.piece, b.offset);
        m_run.clear();
    }
    std::uint32_t PieceCount() const { return std::uint32_t(m_lengths.size()); }

    // ---- zeq::i_range_task ----
    std::uint64_t task_id() override { return m_id; }
    i_io_service* io_service() override { return m_io; }
    std::uint32_t piece_size() override { return m_piece_size; }
    CBlockRequestMap* piece_picker() override { return m_picker_available ? m_picker.get() : nullptr; }
    void request_continuous_blocks(BlockRequestQueue& out, std::uint32_t& count) override
    {
        std::lock_guard<std::mutex> g(m_run_lock);
        out.clear();
        if (m_run.empty() && m_picker_available)
            m_picker->GetContinuousBlocks(m_run);
        if (m_run.empty())
            return;
        const std::size_t n = std::min<std::size_t>(count, m_run.size());
        out.assign(m_run.begin(), m_run.begin() + std::ptrdiff_t(n));
        m_run.erase(m_run.begin(), m_run.begin() + std::ptrdiff_t(n));
        count = std::uint32_t(n);
    }
    bool get_http_peer_info(std::uint64_t id, HttpPeerInfo& out) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        for (const auto& info : m_infos) {
            if (info.peerid == id) {
                out = info;
                return true;
            }
        }
        return false;
    }
    zeq::file_url_table::match find_file_url(const std::string& host, const std::string& file,
                                             const std::string& source_directory, std::string& url_path) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_urls.find(host, file, source_directory, url_path);
    }
    bool get_file_name_for_block(std::int32_t piece, std::string& name, std::int32_t& piece_in_file) override
    {
        if (piece < 0 || std::size_t(piece) >= m_where.size()) {
            name.clear();
            return false;
        }
        name = m_files[m_where[std::size_t(piece)].file].name;
        piece_in_file = m_where[std::size_t(piece)].index;
        return true;
    }
    bool write_block(const BlockRequest& block) override
    {
        bool failed = false;
        {
            std::lock_guard<std::mutex> g(m_lock);
            if (block.piece < 0 || std::size_t(block.piece) >= m_lengths.size() || block.offset < 0 ||
                block.offset % kBlockSize != 0)
                return false;
            const std::size_t p = std::size_t(block.piece);
            const std::uint32_t index = std::uint32_t(block.offset) / kBlockSize;
            if (index >= m_received[p].size() || std::uint32_t(block.length) != BlockLength(m_lengths[p], index) ||
                m_received[p][index] != 0)
                return false;
            const Where& w = m_where[p];
            std::memcpy(&m_images[w.file][std::size_t(w.offset) + std::size_t(block.offset)], block.data,
                        std::size_t(block.length));
            Store(m_received[p][index], 1);
            m_blocks.fetch_add(1);
            if (std::find(m_received[p].begin(), m_received[p].end(), 0) == m_received[p].end()) {
                const std::string& expected = m_files[w.file].expected;
                if (std::memcmp(&m_images[w.file][std::size_t(w.offset)], &expected[std::size_t(w.offset)],
                                m_lengths[p]) == 0) {
                    Store(m_bitmap[p], 1);
                } else {
                    for (std::uint8_t& b : m_received[p])
                        Store(b, 0);
                    failed = true;
                }
            }
        }
        if (failed) {
            // As the engine does after a failed check: the piece starts
            // over and every connection of the task is closed.
            m_failed_checks.fetch_add(1);
            m_picker->ResetPiece(block.piece);
            if (m_on_failed)
                m_on_failed();
        }
        return true;
    }
    // With m_lend set, blocks are lent: received into a buffer of the
    // loan's own and written through write_block when committed.
    std::shared_ptr<zeq::i_block_loan> lend_blocks(std::int32_t piece, std::int32_t offset,
                                                   std::uint32_t blocks) override
    {
        if (!m_lend.load() || piece < 0 || std::size_t(piece) >= m_lengths.size() || offset < 0 || blocks == 0)
            return nullptr;
        std::vector<std::uint32_t> lengths;
        for (std::uint32_t b = std::uint32_t(offset) / kBlockSize;
             lengths.size() < blocks && b < BlocksInPiece(m_lengths[std::size_t(piece)]); ++b)
            lengths.push_back(BlockLength(m_lengths[std::size_t(piece)], b));
        if (lengths.empty())
            return nullptr;
        return std::make_shared<FakeBlockLoan>(
            piece, offset, std::move(lengths), [this](const BlockRequest& b) { return write_block(b); }, m_loans);
    }
    void count_block(std::uint8_t peer_type, std::uint32_t bytes) override
    {
        m_last_type = peer_type;
        m_bytes.fetch_add(bytes);
    }
    void add_release_request() override { m_release.fetch_add(1); }
    std::uint32_t release_request_count() override { return m_release.load(); }
    void take_release_request() override
    {
        std::uint32_t v = m_release.load();
        while (v > 0 && !m_release.compare_exchange_weak(v, v - 1)) {
        }
    }
    void work_returned() override
    {
        m_returns.fetch_add(1);
        Wake();
    }
    bool text_enabled() override { return m_text_enabled.load(); }
    void text_output(const std::string& text) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_texts.size() < 10000)
            m_texts.push_back(text);
    }
    bool is_stop_finished() override { return m_stop_finished.load(); }
    void get_bitmap(std::vector<std::uint8_t>& bitmap) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        bitmap = m_bitmap;
    }
    void redial() override { m_redials.fetch_add(1); }
    void remove_connection(int) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        ++m_removed;
    }
    void inc_http_connection_count(const PeerInfo& peer) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        ++m_http_counts[peer.clientid];
    }
    void dec_http_connection_count(const PeerInfo& peer) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        --m_http_counts[peer.clientid];
    }
    std::uint32_t note_source_rate(std::uint32_t rate) override
    {
        std::uint32_t best = m_best_rate.load();
        while (rate > best && !m_best_rate.compare_exchange_weak(best, rate)) {
        }
        return std::max(best, rate);
    }
    void report_source(const PeerInfo&, bool delivered) override
    {
        (delivered ? m_sources_ok : m_sources_failed).fetch_add(1);
    }
    void remove_http_connection_speed(int socket) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_speeds.erase(socket);
    }
    void set_http_connection_speed(int socket, float speed) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (speed > 0.001f)
            m_speeds[socket] = speed;
        else
            m_speeds.erase(socket);
    }
    bool has_other_source(const PeerInfo&) override { return m_other_source.load(); }
    zeq::partial_blocks* partial_store() override { return &m_partials; }
    bool has_http_peers() override
    {
        std::lock_guard<std::mutex> g(m_lock);
        return !m_peers.empty();
    }
    bool pick_http_peer(PeerInfo& out) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_peers.empty())
            return false;
        out = m_peers[m_picks.fetch_add(1) % m_peers.size()];
        return true;
    }
    bool is_complete() override { return m_complete_override.load() || AllVerified(); }

    std::atomic<std::uint32_t> m_release{0};
    std::atomic<std::uint32_t> m_returns{0};          // work_returned calls
    std::atomic<std::uint32_t> m_best_rate{0};        // fastest rate noted
    std::atomic<std::uint32_t> m_sources_ok{0};       // report_source calls, delivered
    std::atomic<std::uint32_t> m_sources_failed{0};   // and failed
    std::atomic<std::uint32_t> m_redials{0};          // redial calls
    std::atomic<std::uint8_t> m_last_type{0};
    std::atomic<bool> m_lend{false};
    std::atomic<bool> m_other_source{false};   // has_other_source
    zeq::partial_blocks m_partials;
    std::shared_ptr<std::atomic<int>> m_loans = std::make_shared<std::atomic<int>>(0);   // loans alive

private:
    void Wake()
    {
        std::shared_ptr<platform::Event> wake;
        {
            std::lock_guard<std::mutex> g(m_lock);
            wake = m_wake;
        }
        if (wake)
            wake->set();
    }

    std::shared_ptr<platform::Event> m_wake;   // guarded by m_lock

    // The picker reads the tables live from other threads, as it reads the
    // real store's.
    static void Store(std::uint8_t& byte, std::uint8_t value) { __atomic_store_n(&byte, value, __ATOMIC_RELEASE); }

    struct Where {
        std::size_t file;
        std::int32_t index;     // piece index inside the file
        std::uint64_t offset;   // byte offset of the piece in the file
    };

    i_io_service* m_io;
    std::uint32_t m_piece_size;
    std::vector<File> m_files;
    std::uint64_t m_id;
    std::vector<std::uint32_t> m_lengths;
    std::vector<std::vector<std::uint8_t>> m_received;
    std::vector<std::uint8_t> m_bitmap;
    std::vector<Where> m_where;
    std::vector<std::string> m_images;
    std::unique_ptr<CBlockRequestMap> m_picker;
    std::mutex m_lock;
    std::mutex m_run_lock;
    BlockRequestQueue m_run;
    std::vector<HttpPeerInfo> m_infos;
    zeq::file_url_table m_urls;
    std::vector<PeerInfo> m_peers;
    std::vector<std::string> m_texts;
    std::map<std::uint64_t, std::int32_t> m_http_counts;
    std::map<int, float> m_speeds;
    std::size_t m_removed = 0;
    std::atomic<bool> m_text_enabled{false};
    std::atomic<bool> m_stop_finished{false};
    std::atomic<bool> m_complete_override{false};
    std::atomic<bool> m_picker_available{true};
    std::function<void()> m_on_failed;
    std::atomic<std::uint32_t> m_blocks{0};
    std::atomic<std::uint32_t> m_failed_checks{0};
    std::atomic<std::uint64_t> m_bytes{0};
    std::atomic<std::uint32_t> m_picks{0};
};

// The files of a generated task as the fake task expects them.
inline std::vector<FakeRangeTask::File> FakeFilesOf(const TaskFixture& fixture)
{
    std::vector<FakeRangeTask::File> files;
    for (std::size_t i = 0; i < fixture.files().size(); ++i)
        files.push_back({fixture.files()[i].file_name, fixture.Bytes(i, 0, fixture.files()[i].size)});
    return files;
}

// An HTTP peer record for a server on 127.0.0.1:`port`, with the client
// id a CDN URL of that server gets.
inline PeerInfo LoopbackHttpPeer(std::uint16_t port, std::uint8_t type)
{
    PeerInfo p{};
    p.clientid = (0x7F000001ull << 16) | port;
    p.publicip = platform::parse_ipv4("127.0.0.1");
    p.publicport = port;
    p.peertype = type;
    SetFixedText(p.hostname, "127.0.0.1");
    return p;
}

}   // namespace test_support
