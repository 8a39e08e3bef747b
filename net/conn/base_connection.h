// The base of the connections a task's CDN thread drives. Unlike
// x_connection it dials by itself, counts no task connection and is used
// again after a disconnect: it is stopped (idle) while disconnected and
// runs while connecting or connected. The socket, the one-second timer, the
// send and receive pumps and the references of pending operations are the
// shared connection_core's.
//
// Handlers run on the I/O thread; connect and disconnect are also called
// on the CDN thread. Every pending operation holds a reference, released
// when its handler has run (cancelled completions included), and the owner
// holds one; the derived release() ends the connection at 0.
#pragma once

#include "net/conn/connection_core.h"

#include <atomic>
#include <memory>
#include <cstdint>
#include <mutex>
#include <string>

namespace zeq {

class base_connection : public connection_core {
public:
    // Takes ownership of `socket` (may be null: connect then fails).
    explicit base_connection(i_stream_socket* socket);
    ~base_connection() override;

    // Reference count of the derived class (add_ref and release are
    // connection_core's).
    virtual std::uint32_t ref_count() = 0;
    // How many of those references the owner holds (not shown as pending
    // in the debug lines).
    virtual std::uint32_t owner_references() { return 0; }
    // At each connect completion, success or failure.
    virtual void on_connect(const i_error_code& error) = 0;
    // First step of disconnect(): give queued work back.
    virtual void abort_download() = 0;
    // Once a second while connected.
    virtual void release_piece() = 0;
    // At each receive completion while connected.
    virtual void on_receive(const i_error_code& error, std::uint32_t bytes) = 0;

    // Dials `host` (dotted address or name) on `port`. False without a
    // socket object. A name that does not resolve reaches on_connect as
    // 11001 (host not found). The send and receive state of an earlier
    // connection is discarded.
    bool connect(const std::string& host, std::uint16_t port);

    // Idle again: abort_download, cancel the timer, close the socket;
    // pending operations complete with 995 and only release.
    void disconnect();

    // Appends [first, last) and starts a send when one can start. False
    // when disconnected or past the queue limit.
    bool write(const void* first, const void* last);

    // Sets the window; the next receive reads wanted - filled bytes at
    // `filled` (the buffer grows to `wanted`). Call while no receive is in
    // flight (from on_connect or on_receive).
    void prepare_receive(std::uint32_t filled, std::uint32_t wanted);
    // The same into `wanted` bytes at `data` that `owner` keeps valid (a
    // block loan): the receive in flight holds a share of `owner` until it
    // completes, and the window one until the next prepare or disconnect.
    void prepare_receive_into(std::uint8_t* data, std::uint32_t filled, std::uint32_t wanted,
                              std::shared_ptr<void> owner);
    void clear_receive_buffer();
    // Starts a receive when one can start.
    using connection_core::start_receive;

    // True while idle (disconnected, or never connected).
    bool is_idle() const { return core_stopped(); }

    // Read by the derived class on the I/O thread, between receives. The
    // count is read under the window's lock: a CDN thread's close may
    // clear the window while a receive's handler runs (the buffer itself
    // stays).
    std::uint8_t* receive_buffer() { return m_pump.window.buffer.data(); }
    std::uint32_t receive_filled() const
    {
        std::lock_guard<std::mutex> guard(m_pump.lock);
        return m_pump.window.filled;
    }

    std::uint64_t bytes_received() const { return m_bytes_received.load(); }
    std::uint64_t bytes_sent() const { return m_bytes_sent.load(); }

private:
    // connection_core hooks.
    void core_connected(const i_error_code& error) override;
    void core_second() override;
    void core_sent(const i_error_code& error, std::uint32_t bytes) override;
    void core_received(const i_error_code& error, std::uint32_t bytes) override;
    void core_handler_done(const char* where) override;

    std::atomic<std::uint64_t> m_bytes_received{0};
    std::atomic<std::uint64_t> m_bytes_sent{0};
};

}   // namespace zeq
