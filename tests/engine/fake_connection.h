// A small transfer connection for the connection-set and download-manager
// tests: it counts its references like the real connections do (starting
// with the one its creator hands over), records closes and announced
// pieces in a shared journal, and otherwise does nothing with its socket.
#pragma once

#include "engine/task_connections.h"
#include "net/conn/x_connection.h"
#include "net/io/stream_socket.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

namespace engine_test {

// What the fake connections did; outlives them.
struct ConnectionJournal {
    std::atomic<int> created{0};
    std::atomic<int> connected{0};
    std::atomic<int> closed{0};
    std::atomic<int> destroyed{0};
    std::mutex lock;
    std::vector<std::uint32_t> haves;   // guarded by lock

    std::vector<std::uint32_t> Haves()
    {
        std::lock_guard<std::mutex> guard(lock);
        return haves;
    }
};

class FakeConnection : public x_connection {
public:
    FakeConnection(i_io_service& io, std::uint64_t task_id, std::uint64_t client_id, ConnectionJournal& journal)
        : x_connection(new i_stream_socket(io), task_id), m_journal(journal)
    {
        ++m_journal.created;
        PeerInfo peer{};
        peer.clientid = client_id;
        peer.peertype = 1;
        set_peer_info(peer);
    }
    ~FakeConnection() override { ++m_journal.destroyed; }

    bool assign_task(std::uint32_t) override { return true; }
    void add_ref() override { m_refs.fetch_add(1); }
    void release() override
    {
        if (m_refs.fetch_sub(1) == 1)
            delete this;
    }
    void on_connect() override { ++m_journal.connected; }
    void on_close() override
    {
        if (!is_closing())
            ++m_journal.closed;
        mark_closing();
        // As a real connection does when it ends: leave the task's set.
        if (CTaskConnections* set = m_set.load())
            set->RemoveConnection(native());
    }
    // The set this connection leaves when it closes (null: none).
    void LeaveOnClose(CTaskConnections* set) { m_set.store(set); }
    void on_timer() override {}
    void on_receive(const i_error_code&, std::uint32_t) override {}
    void send_have(std::uint32_t piece) override
    {
        std::lock_guard<std::mutex> guard(m_journal.lock);
        m_journal.haves.push_back(piece);
    }

private:
    std::atomic<int> m_refs{1};
    std::atomic<CTaskConnections*> m_set{nullptr};
    ConnectionJournal& m_journal;
};

}   // namespace engine_test
