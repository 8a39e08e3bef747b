// The life cycle every TCP connection of the engine shares: it owns the
// socket object and a one-second timer, pumps one send queue and one
// receive window with at most one send and one receive in flight, and ends
// its work by cancelling the timer and closing the socket. Every pending
// operation (connect or adopt, receive, send, timer wait) holds a
// reference, taken when it starts and released when its handler has run,
// cancelled completions included; the owner holds one too, and the
// derived release() deletes at 0.
//
// x_connection (the task's transfer connections) and zeq::base_connection
// (the CDN thread's connections) derive from it and keep their own ways of
// starting (adopting a connected socket, or dialling) and stopping.
// Handlers run on the I/O thread.
#pragma once

#include "net/conn/send_queue.h"
#include "net/io/deadline_timer.h"
#include "net/io/stream_socket.h"

#include <atomic>
#include <cstdint>
#include <memory>

class connection_core {
public:
    virtual ~connection_core();
    connection_core(const connection_core&) = delete;
    connection_core& operator=(const connection_core&) = delete;

    // Reference count of the derived class (must be thread-safe).
    virtual void add_ref() = 0;
    virtual void release() = 0;

    i_stream_socket* socket() const { return m_socket; }

protected:
    // Takes ownership of `socket` (may be null); `stopped` is the state
    // the connection starts in.
    connection_core(i_stream_socket* socket, bool stopped);

    // ---- Hooks, on the I/O thread ----
    // The connect (or the adoption of a connected socket) completed; the
    // timer starts after it when there is no error and the connection
    // has not stopped.
    virtual void core_connected(const i_error_code& error) = 0;
    // Each timer expiry while not stopped; the timer is started again
    // after it unless the connection stopped meanwhile.
    virtual void core_second() = 0;
    // A send completed while not stopped (the pump has taken it and
    // started the next one).
    virtual void core_sent(const i_error_code& error, std::uint32_t bytes) = 0;
    // A receive completed while not stopped (the window has advanced);
    // the next receive starts after it.
    virtual void core_received(const i_error_code& error, std::uint32_t bytes) = 0;
    // A receive may start (besides the connection not being stopped).
    virtual bool core_may_receive() { return true; }
    // A connect or timer handler is about to let go of its reference.
    virtual void core_handler_done(const char* where) { (void)where; }

    bool core_stopped() const { return m_stopped.load(); }
    void set_core_stopped(bool stopped) { m_stopped.store(stopped); }

    // The completion handler of a connect or an adoption: the caller has
    // taken the operation's reference.
    static void handle_connect(void* self, const i_error_code& error);
    void start_timer();
    // Starts a send when one can start; with m_pump.lock held.
    void start_send_locked();
    // Starts a receive when one can start.
    void start_receive();
    // Cancels the timer and closes the socket: pending operations complete
    // with 995 and only release.
    void stop_io();

    // The next receive's window: `wanted` bytes of the buffer with `filled`
    // in already; `spans` (memory kept by `owner`); nothing. What kept the
    // previous targets is given up outside the pump's lock (giving up a
    // lent block takes its owner's lock). Set only while no receive is in
    // flight; a clear may come at any time (a receive in flight keeps its
    // own share).
    void set_window(std::uint32_t filled, std::uint32_t wanted);
    void set_window_targets(const std::vector<i_receive_span>& spans, std::shared_ptr<void> owner);
    void clear_window();

    mutable i_transfer_pump m_pump;   // send queue and receive window, under its lock

private:
    static void handle_timer(void* self, const i_error_code& error);
    static void handle_send(void* self, const i_error_code& error, std::uint32_t bytes);
    static void handle_receive(void* self, const i_error_code& error, std::uint32_t bytes);
    // Starts a receive when one can start; `delivered`: the completed one
    // has been handed over first.
    void start_receive_after(bool delivered);

    i_stream_socket* m_socket;
    std::unique_ptr<i_deadline_timer> m_timer;   // on the socket's service; none without a socket
    std::atomic<bool> m_stopped;
};
