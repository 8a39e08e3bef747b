// The base of the connections a task's CDN thread drives. Unlike
// x_connection it dials by itself, counts no task connection and is used
// again after a disconnect: m_disconnecting is true while idle and false
// while connecting or connected. It owns the socket object and a
// one-second timer and pumps one send buffer and one receive window.
//
// Handlers run on the I/O thread; connect and disconnect are also called
// on the CDN thread. Every pending operation holds a reference, released
// when its handler has run (cancelled completions included), and the owner
// holds one; the derived release() ends the connection at 0.
#pragma once

#include "net/conn/send_queue.h"
#include "net/io/deadline_timer.h"
#include "net/io/stream_socket.h"

#include <atomic>
#include <memory>
#include <cstdint>
#include <mutex>
#include <string>

namespace zeq {

class base_connection {
public:
    // Takes ownership of `socket` (may be null: connect then fails).
    explicit base_connection(i_stream_socket* socket);
    virtual ~base_connection();
    base_connection(const base_connection&) = delete;
    base_connection& operator=(const base_connection&) = delete;

    // Reference count of the derived class (must be thread-safe).
    virtual void add_ref() = 0;
    virtual void release() = 0;
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
    void clear_receive_buffer();
    // Starts a receive when one can start.
    void start_receive();

    // True while idle (m_disconnecting).
    bool is_idle() const { return m_disconnecting.load(); }

    // Read by the derived class on the I/O thread, between receives.
    std::uint8_t* receive_buffer() { return m_pump.window.buffer.data(); }
    std::uint32_t receive_filled() const { return m_pump.window.filled; }
    i_stream_socket* socket() { return m_socket; }

    std::uint64_t bytes_received() const { return m_bytes_received.load(); }
    std::uint64_t bytes_sent() const { return m_bytes_sent.load(); }

protected:
    std::atomic<bool> m_disconnecting{true};

private:
    static void handle_connect(void* self, const i_error_code& error);
    static void second_tick(void* self, const i_error_code& error);
    static void handle_send(void* self, const i_error_code& error, std::uint32_t bytes);
    static void handle_receive(void* self, const i_error_code& error, std::uint32_t bytes);
    void start_timer();
    void start_send_locked();
    std::string state_text(const char* where);

    std::unique_ptr<i_deadline_timer> m_timer;   // on the socket's service; none without a socket
    i_transfer_pump m_pump;            // send queue and receive window, under its lock
    i_stream_socket* m_socket;
    std::atomic<std::uint64_t> m_bytes_received{0};
    std::atomic<std::uint64_t> m_bytes_sent{0};
};

} // namespace zeq
