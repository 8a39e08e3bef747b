// The base of every TCP transfer connection of a task (the peer
// connection and the HTTP CDN connection). On the shared connection_core
// (the socket, a one-second timer, one send and one receive in flight) it
// adopts a connected socket, counts bytes and speeds, keeps the remote
// peer's record and piece map, and counts itself in the task's
// live-connection count for as long as it exists.
//
// Lifetime: the derived class keeps a reference count (add_ref/release,
// which must be safe to call from any thread); the owner (the task's
// connection set) holds one and every pending operation another, released
// when its handler has run, cancelled completions included. release()
// deleting the object at 0 is what ends a connection. After close() no
// handler restarts anything, so the count falls to 0 once the owner drops
// its own reference. The task outlives its connections (it is deleted only
// when its live-connection count is 0), so the plain task handle a
// connection keeps never dangles.
//
// Handlers run on the I/O thread; start, close, send, the limits,
// assign_task and send_have may also be called from the task's threads.
#pragma once

#include "discovery/peer_info.h"
#include "net/conn/connection_core.h"

#include <atomic>
#include <memory>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

class x_connection : public connection_core {
public:
    // Takes ownership of `socket` (may be null: start then fails); counts
    // itself in the live-connection count of `task_id`.
    x_connection(i_stream_socket* socket, std::uint64_t task_id);
    // Deletes the socket (closing it) and counts itself out.
    ~x_connection() override;

    // One diagnostic line about the remote peer and the averages.
    virtual void get_info_string(std::ostream& os);

    // The connection set's state query (meaning given by the derived class).
    virtual bool assign_task(std::uint32_t kind) = 0;
    // The socket has been adopted: set the window, send the greeting.
    virtual void on_connect() = 0;
    // First step of close(): must call mark_closing().
    virtual void on_close() = 0;
    // Once a second while not closing.
    virtual void on_timer() = 0;
    // After each receive completion; the window has advanced by `bytes`.
    virtual void on_receive(const i_error_code& error, std::uint32_t bytes) = 0;
    // A piece of the task has been completed.
    virtual void send_have(std::uint32_t piece) = 0;
    // After each send completion while not closing (default: nothing).
    virtual void on_send(const i_error_code& error, std::uint32_t bytes);

    // Adopts the connected native socket; the connect handler then calls
    // on_connect and starts the timer. False without a socket object or
    // with an invalid native socket (nothing is taken then).
    bool start(i_stream_socket::native_type native);

    // on_close, cancel the timer, close the socket; pending operations
    // complete with 995 and release their references.
    void close();

    // Queues [first, last) and starts a send when none is in flight. False
    // when closing or when the unsent bytes would pass the queue limit.
    bool send(const void* first, const void* last);
    // The same for [first, last) followed by `length` bytes of `file`, sent
    // from the file (the two are queued together or not at all).
    bool send(const void* first, const void* last, const BlockFile& file, std::uint32_t length);

    // Sets the window; the next receive reads wanted - filled bytes at
    // `filled` (the buffer grows to `wanted`). Call while no receive is in
    // flight (from on_connect or on_receive).
    void set_receive_window(std::uint32_t filled, std::uint32_t wanted);
    // The spans the next receive fills (empty: the buffer at filled).
    std::vector<i_receive_span> receive_targets() const
    {
        std::lock_guard<std::mutex> guard(m_pump.lock);
        return m_pump.window.targets;
    }
    bool receive_complete() const;
    // Read by the derived class on the I/O thread, between receives.
    std::uint8_t* receive_buffer() { return m_pump.window.buffer.data(); }
    std::uint32_t receive_filled() const { return m_pump.window.filled; }
    std::uint32_t receive_wanted() const { return m_pump.window.wanted; }
    void clear_receive_buffer();

    // Starts a receive when one can start (the receive pump).
    using connection_core::start_receive;
    // Reading pauses while disabled; enabling starts a receive.
    void set_receive_enabled(bool enabled);
    bool receive_enabled() const { return m_receive_enabled.load(); }

    // Store the limit (bytes per second), then start a receive / send when
    // one can start. Not enforced here.
    void set_download_limit(float limit);
    void set_upload_limit(float limit);
    float download_limit() const { return m_download_limit; }
    float upload_limit() const { return m_upload_limit; }

    // Average since the first transfer during its first ten seconds, then
    // the last value computed.
    float get_download_speed();
    float get_upload_speed();

    const std::vector<std::uint8_t>& remote_pieces() const { return m_remote_pieces; }
    void set_remote_pieces(const std::vector<std::uint8_t>& pieces);
    // Sets one entry to 1; false when the index is outside the map.
    bool set_remote_piece(std::uint32_t index);

    void mark_closing();
    bool is_closing() const { return core_stopped(); }

    void set_peer_info(const PeerInfo& info);
    const PeerInfo* GetPeerInfo() const { return &m_peer_info; }

    std::uint64_t task_id() const { return m_task_id; }
    // The native socket, -1 when there is none.
    i_stream_socket::native_type native() const;

    std::uint64_t total_received() const { return m_total_received.load(); }
    std::uint64_t total_sent() const { return m_total_sent.load(); }
    // Bytes queued and not yet sent.
    std::size_t send_queue_size() const;
    void set_send_queue_limit(std::size_t bytes);

    // IPv4 address (host byte order) of a host name or dotted address; 0
    // when it cannot be resolved.
    static std::uint32_t resolve_host(const std::string& name);
    // Dotted text of a 32-bit value, most significant byte first.
    static std::string format_ipv4(std::uint32_t value);

protected:
    using connection_core::start_timer;

private:
    // connection_core hooks.
    void core_connected(const i_error_code& error) override;
    void core_second() override;
    void core_sent(const i_error_code& error, std::uint32_t bytes) override;
    void core_received(const i_error_code& error, std::uint32_t bytes) override;
    bool core_may_receive() override { return m_receive_enabled.load(); }
    float compute_speed(std::uint64_t total, std::int64_t start, float& stored);

    std::atomic<bool> m_receive_enabled{true};
    // Aligned so that its 64-bit fields may be read in place.
    alignas(8) PeerInfo m_peer_info{};
    std::vector<std::uint8_t> m_remote_pieces;
    float m_download_limit;
    float m_upload_limit;
    float m_download_average = 0;   // shown by get_info_string only
    float m_upload_average = 0;
    std::atomic<std::uint64_t> m_total_received{0};
    std::atomic<std::uint64_t> m_total_sent{0};
    float m_download_speed = 0;
    std::atomic<std::int64_t> m_download_start{0};
    float m_upload_speed = 0;
    std::atomic<std::int64_t> m_upload_start{0};
    std::uint64_t m_task_id;
};
