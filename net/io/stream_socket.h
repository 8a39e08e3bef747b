// The TCP socket object of the I/O layer. It adopts a connected socket
// (`assign`) or connects one (`async_connect`), moves one buffer per send
// (a receive may scatter into several), and reports every result as a handler call on the I/O
// thread. One send and one receive may be in flight at a time; a second
// one of the same kind is refused with 10036 (in progress).
//
// Errors handlers receive: 995 cancelled by close (also for transfers the
// close aborted), 38 the peer closed the stream (a receive of 0 bytes),
// the refusal/reset numbers of platform/error_codes.h otherwise.
#pragma once

#include "net/io/io_error.h"
#include "net/io/io_service.h"
#include "platform/file_handle.h"

#include <netinet/in.h>

#include <cstdint>
#include <memory>

class i_iocp_io_service;
class i_socket_state;

// Protocol of the socket services: IPv4 (family 2), stream, TCP.
struct i_tcp {
    static constexpr int family = 2;
    static constexpr int type = 1;
    static constexpr int protocol = 6;
};

// IPv4 endpoint; built from the address and port in host byte order.
struct i_tcp_endpoint {
    sockaddr_in data{};
    i_tcp_endpoint(std::uint32_t address_host_order, std::uint16_t port);
    std::uint32_t address() const;   // host byte order
    std::uint16_t port() const;
};

// One place a receive fills.
struct i_receive_span {
    std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
};

template <class Protocol>
class i_stream_socket_service;

// Creates and tracks the socket states of one i_io_service.
template <>
class i_stream_socket_service<i_tcp> : public i_service {
public:
    explicit i_stream_socket_service(i_io_service& owner);
    void shutdown_service() override {}
    i_iocp_io_service& iocp() { return m_iocp; }

private:
    i_iocp_io_service& m_iocp;
};

class i_stream_socket {
public:
    using native_type = int;
    static constexpr native_type invalid_native = -1;

    // A closed socket on `io`.
    explicit i_stream_socket(i_io_service& io);
    // Closes the socket.
    ~i_stream_socket();
    i_stream_socket(const i_stream_socket&) = delete;
    i_stream_socket& operator=(const i_stream_socket&) = delete;

    // The native socket, invalid_native (-1) when closed.
    native_type native() const;
    bool is_open() const { return native() != invalid_native; }

    // Has the I/O service's transfer thread serve this socket: its
    // readiness and its receives, as a completion port's kernel serves
    // overlapped I/O, so the handlers' thread does not copy what arrives.
    // For sockets that receive bulk data (HTTP bodies); a receive then
    // waits a thread hand-over longer. Call before assign or async_connect.
    void use_transfer_thread();

    // Adopts a connected (or still connecting) native socket: non-blocking,
    // no send delay, watched by the I/O service; then posts
    // the handler with 0. An invalid socket does nothing and calls nothing.
    // A socket that already holds one refuses with 10056 (is connected).
    void assign(native_type native, i_handler function, void* context);

    // Connects to `endpoint` (creating the socket when closed); the handler
    // receives 0 or the error (10061 refused...). No time-out here: the
    // caller's timer bounds the wait and closes the socket.
    void async_connect(const i_tcp_endpoint& endpoint, i_handler function, void* context);

    // Sends at most `length` bytes of `data`; the buffer must stay valid
    // until the handler runs. Length 0 completes with (0, 0).
    // `more`: what is sent next follows at once (a block after its header),
    // so the kernel may hold these bytes back to send them together.
    void async_send(const void* data, std::uint32_t length, i_transfer_handler function, void* context,
                    bool more = false);

    // Sends at most `length` bytes of `file` at `offset`, straight from the
    // page cache (the caller has seen them there: the thread doing the send
    // must not wait for the disk); the socket holds the file until the
    // handler runs. Reaching the file's end first fails with 38.
    void async_send_file(std::shared_ptr<const platform::file_handle> file, std::uint64_t offset, std::uint32_t length,
                         i_transfer_handler function, void* context);

    // Receives at most `length` bytes into `data`; the buffer must stay
    // valid until the handler runs. Length 0 completes with (0, 0) without
    // touching the socket.
    void async_receive(void* data, std::uint32_t length, i_transfer_handler function, void* context);

    // Receives at most the spans' total, filling them in order (the bytes
    // of one receive land where the caller expects them, without a copy).
    // At most max_receive_spans; the same rules as above.
    static constexpr std::size_t max_receive_spans = 16;
    void async_receive(const i_receive_span* spans, std::size_t count, i_transfer_handler function, void* context);

    // Closes the socket: a pending connect, send and receive complete with
    // 995. Nothing when already closed. Any thread.
    void close();

    i_io_service& get_io_service() { return m_io; }

private:
    void start_transfer(bool sending, const i_receive_span* spans, std::size_t count, i_transfer_handler function,
                        void* context, std::shared_ptr<const platform::file_handle> file = nullptr,
                        std::uint64_t offset = 0, bool more = false);

    i_io_service& m_io;
    i_stream_socket_service<i_tcp>& m_service;
    std::shared_ptr<i_socket_state> m_state;
};
