// A task for the peer connection tests and the fuzz target: pieces of
// given lengths, the pieces "we" hold (their bytes are generated from the
// piece index and offset), a real piece picker over its own tables, and
// records of everything the connection hands to the task (written blocks,
// counts, NAT parents and sons, hosts, error and text lines).
// Header-only: it needs the engine's piece picker, which the suites that
// use it link.
#pragma once

#include "picker/block_request_map.h"
#include "net/conn/peer_task.h"
#include "net/io/io_service.h"
#include "tests/support/fake_block_loan.h"

#include <atomic>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace test_support {

class FakePeerTask : public i_peer_task {
public:
    // `held[i]` != 0: piece i is ours (verified).
    FakePeerTask(i_io_service* io, std::uint64_t id, std::uint32_t piece_size, std::vector<std::uint32_t> lengths,
                 std::vector<std::uint8_t> held)
        : m_io(io), m_id(id), m_piece_size(piece_size), m_lengths(std::move(lengths)), m_bitmap(std::move(held))
    {
        m_bitmap.resize(m_lengths.size(), 0);
        for (std::size_t i = 0; i < m_lengths.size(); ++i)
            m_received.emplace_back(BlocksInPiece(m_lengths[i]), m_bitmap[i] ? 1 : 0);
        m_picker = std::make_unique<CBlockRequestMap>(m_received, m_bitmap, m_lengths);
        m_self.clientid = 1001;
        m_self.peertype = PEERTYPE_SP;
        m_self.natip = 0x0a000001;
    }

    // The byte at `offset` of piece `piece` as every holder has it.
    static std::uint8_t ByteAt(std::int32_t piece, std::uint32_t offset)
    {
        return static_cast<std::uint8_t>(piece * 131 + offset * 7 + (offset >> 8));
    }
    static std::vector<std::uint8_t> BlockBytes(std::int32_t piece, std::uint32_t offset, std::uint32_t length)
    {
        std::vector<std::uint8_t> out(length);
        for (std::uint32_t i = 0; i < length; ++i)
            out[i] = ByteAt(piece, offset + i);
        return out;
    }

    // ---- set-up and views ----
    void SetSelf(const PeerInfo& self)
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_self = self;
    }
    void SetParents(std::vector<PeerInfo> parents)
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_parents = std::move(parents);
    }
    void SetSons(std::vector<PeerInfo> sons)
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_sons = std::move(sons);
    }
    void SetEventsEnabled(bool on)
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_events = on;
    }
    // Reads of these pieces wait for the disk until FinishReads.
    void SetSlowPieces(std::set<std::int32_t> pieces)
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_slow = std::move(pieces);
    }
    std::size_t ReadsWaiting() const
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_waiting.size();
    }
    // Ends the waiting reads with `status` on the I/O thread, as storage
    // does, the pieces read fast from then on (status 0). False when the
    // I/O service took no more work.
    bool FinishReads(int status)
    {
        struct Batch {
            std::vector<PieceReadHandler> handlers;
            int status;
            static void run(void* self, const i_error_code&)
            {
                std::unique_ptr<Batch> batch(static_cast<Batch*>(self));
                for (PieceReadHandler& h : batch->handlers)
                    h(batch->status);
            }
        };
        auto batch = std::make_unique<Batch>();
        batch->status = status;
        {
            std::lock_guard<std::mutex> g(m_lock);
            batch->handlers.swap(m_waiting);
            if (status == 0)
                m_slow.clear();
        }
        if (m_io->post(&Batch::run, batch.get()) != 0)
            return false;
        batch.release();
        return true;
    }
    CBlockRequestMap& picker() { return *m_picker; }

    std::vector<PeerInfo> Parents() const
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_parents;
    }
    std::vector<PeerInfo> Sons() const
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_sons;
    }
    std::vector<HostRecord> Hosts() const
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_hosts;
    }
    std::vector<std::string> Errors() const
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_errors;
    }
    std::vector<std::string> Texts() const
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_texts;
    }
    std::vector<int> Removed() const
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_removed;
    }
    // Written blocks by (piece, offset).
    std::map<std::pair<std::int32_t, std::int32_t>, std::vector<std::uint8_t>> Written() const
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_written;
    }
    std::uint32_t Downloads() const
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_downloads;
    }
    std::uint64_t DownloadBytes() const
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_download_bytes;
    }
    std::uint32_t Uploads() const
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_uploads;
    }
    std::atomic<std::uint32_t> m_release_requests{0};   // add_release_request calls
    std::atomic<std::uint32_t> m_late{0};               // peer_late calls
    std::atomic<std::uint32_t> m_returned{0};           // blocks_returned calls
    std::atomic<bool> m_barred{false};                  // what may_ask answers (negated)
    std::atomic<bool> m_alone{false};                   // what has_other_source answers (negated)
    // (piece, client id) of every block_supplied call.
    std::vector<std::pair<std::int32_t, std::uint64_t>> Supplied() const
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_supplied;
    }
    std::atomic<bool> m_lend{true};   // lend_block lends missing blocks
    std::shared_ptr<std::atomic<int>> m_loans = std::make_shared<std::atomic<int>>(0);   // loans alive
    std::atomic<std::uint32_t> m_lent_writes{0};   // blocks written through a loan
    std::uint32_t Reads() const
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_reads;
    }
    bool HasErrorContaining(const std::string& part) const
    {
        for (const std::string& line : Errors())
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }
    bool HasTextContaining(const std::string& part) const
    {
        for (const std::string& line : Texts())
            if (line.find(part) != std::string::npos)
                return true;
        return false;
    }

    // ---- i_peer_task ----
    std::uint64_t task_id() override { return m_id; }
    i_io_service* io_service() override { return m_io; }
    std::uint32_t piece_size() override { return m_piece_size; }
    CBlockRequestMap* piece_picker() override { return m_picker.get(); }
    PeerInfo self_peer_info() override
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_self;
    }
    std::uint16_t listen_port() override { return 9768; }
    void get_bitmap(std::vector<std::uint8_t>& bitmap) override { bitmap = m_bitmap; }
    BlockRead read_block(BlockRequest& b, PieceReadHandler ready, BlockFile*) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        ++m_reads;
        if (b.piece < 0 || std::size_t(b.piece) >= m_lengths.size() || !m_bitmap[b.piece] || b.offset < 0 ||
            b.length <= 0 || std::uint64_t(b.offset) + std::uint64_t(b.length) > m_lengths[b.piece])
            return BlockRead::kRefused;
        if (m_slow.count(b.piece)) {
            m_waiting.push_back(std::move(ready));
            return BlockRead::kPending;
        }
        for (std::int32_t i = 0; i < b.length; ++i)
            b.data[i] = ByteAt(b.piece, std::uint32_t(b.offset + i));
        return BlockRead::kServed;
    }
    bool write_block(const BlockRequest& b) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (b.piece < 0 || std::size_t(b.piece) >= m_lengths.size() || b.offset < 0 ||
            std::size_t(b.offset / kBlockSize) >= m_received[b.piece].size())
            return false;
        PromoteAside();
        // As storage does: a copy of a block whose place is lent waits
        // aside until the loan ends, and counts as received now.
        if (Lent({b.piece, b.offset})) {
            m_aside[{b.piece, b.offset}].assign(b.data, b.data + b.length);
            __atomic_store_n(&m_received[b.piece][b.offset / kBlockSize], std::uint8_t{1}, __ATOMIC_RELAXED);
            return true;
        }
        Store(b.piece, b.offset, b.data, b.length);
        return true;
    }
    std::shared_ptr<zeq::i_block_loan> lend_block(const BlockRequest& b) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        PromoteAside();
        if (!m_lend.load() || b.piece < 0 || std::size_t(b.piece) >= m_lengths.size() || b.offset < 0 ||
            std::size_t(b.offset / kBlockSize) >= m_received[b.piece].size() ||
            m_received[b.piece][b.offset / kBlockSize] || Lent({b.piece, b.offset}))
            return nullptr;
        auto loan = std::make_shared<FakeBlockLoan>(
            b.piece, b.offset, std::vector<std::uint32_t>{std::uint32_t(b.length)},
            [this](const BlockRequest& block) {
                m_lent_writes.fetch_add(1);
                std::lock_guard<std::mutex> g(m_lock);
                Store(block.piece, block.offset, block.data, block.length);
                return true;
            },
            m_loans);
        m_lent[{b.piece, b.offset}] = loan;
        return loan;
    }
    int parent_peers(std::vector<PeerInfo>& out) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        out = m_parents;
        return int(out.size());
    }
    void add_parent_peer(const PeerInfo& peer) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_parents.push_back(peer);
    }
    int son_peers(std::vector<PeerInfo>& out) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        out = m_sons;
        return int(out.size());
    }
    void add_son_peer(const PeerInfo& peer) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_sons.push_back(peer);
    }
    void add_hosts(const std::vector<HostRecord>& hosts) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_hosts.insert(m_hosts.end(), hosts.begin(), hosts.end());
    }
    void remove_connection(int socket) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_removed.push_back(socket);
    }
    void count_download(std::uint8_t, std::uint32_t bytes) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        ++m_downloads;
        m_download_bytes += bytes;
    }
    void count_upload(std::uint8_t) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        ++m_uploads;
    }
    void add_release_request() override { m_release_requests.fetch_add(1); }
    void block_supplied(std::int32_t piece, const PeerInfo& peer) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_supplied.emplace_back(piece, peer.clientid);
    }
    void peer_late(const PeerInfo&) override { m_late.fetch_add(1); }
    bool may_ask(const PeerInfo&) override { return !m_barred.load(); }
    bool has_other_source(const PeerInfo&) override { return !m_alone.load(); }
    void blocks_returned() override { m_returned.fetch_add(1); }
    bool events_enabled() override
    {
        std::lock_guard<std::mutex> g(m_lock);
        return m_events;
    }
    void error_output(const std::string& text) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        m_errors.push_back(text);
    }
    void text_output(const std::string& text) override
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_texts.size() < 10000)
            m_texts.push_back(text);
    }

private:
    i_io_service* m_io;
    const std::uint64_t m_id;
    const std::uint32_t m_piece_size;
    const std::vector<std::uint32_t> m_lengths;
    std::vector<std::uint8_t> m_bitmap;   // fixed after construction: the picker reads it live
    std::vector<std::vector<std::uint8_t>> m_received;
    std::unique_ptr<CBlockRequestMap> m_picker;
    mutable std::mutex m_lock;   // guards everything below
    PeerInfo m_self{};
    std::vector<PeerInfo> m_parents, m_sons;
    std::vector<HostRecord> m_hosts;
    std::vector<std::string> m_errors, m_texts;
    std::vector<int> m_removed;
    std::map<std::pair<std::int32_t, std::int32_t>, std::vector<std::uint8_t>> m_written;
    // Places lent by (piece, offset), and copies written while their place
    // was lent.
    std::map<std::pair<std::int32_t, std::int32_t>, std::weak_ptr<FakeBlockLoan>> m_lent;
    std::map<std::pair<std::int32_t, std::int32_t>, std::vector<std::uint8_t>> m_aside;

    // (under m_lock)
    bool Lent(const std::pair<std::int32_t, std::int32_t>& key) const
    {
        auto it = m_lent.find(key);
        return it != m_lent.end() && !it->second.expired();
    }
    void Store(std::int32_t piece, std::int32_t offset, const std::uint8_t* data, std::int32_t length)
    {
        m_written[{piece, offset}].assign(data, data + length);
        // As storage does: the picker reads the table without a lock.
        __atomic_store_n(&m_received[piece][offset / kBlockSize], std::uint8_t{1}, __ATOMIC_RELAXED);
    }
    // A copy kept aside becomes the block once its loan has ended unused
    // (storage does it at the loan's end; here it is seen at the next call).
    void PromoteAside()
    {
        for (auto it = m_aside.begin(); it != m_aside.end();) {
            if (Lent(it->first)) {
                ++it;
                continue;
            }
            if (m_written.count(it->first) == 0)
                Store(it->first.first, it->first.second, it->second.data(), std::int32_t(it->second.size()));
            it = m_aside.erase(it);
        }
    }
    std::uint32_t m_downloads = 0, m_uploads = 0, m_reads = 0;
    std::uint64_t m_download_bytes = 0;
    bool m_events = true;
    std::set<std::int32_t> m_slow;
    std::vector<PieceReadHandler> m_waiting;   // reads waiting for the disk, in order
    std::vector<std::pair<std::int32_t, std::uint64_t>> m_supplied;
};

}   // namespace test_support
