#include "net/io/stream_socket.h"

#include "net/io/iocp_io_service.h"
#include "platform/error_codes.h"
#include "platform/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <mutex>

namespace {
void set_non_blocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags >= 0)
        ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
}

// The send queue already coalesces what is sent; holding back the tail of
// a send for the peer's delayed acknowledgement only stalls the stream.
void set_no_delay(int fd)
{
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
}
}   // namespace

// The per-socket state the completion port reports readiness to. Every
// field is guarded by `lock`; the I/O is attempted at once when an
// operation starts and again on each readiness edge.
class i_socket_state : public platform::ready_target, public std::enable_shared_from_this<i_socket_state> {
public:
    explicit i_socket_state(i_iocp_io_service& iocp) : m_iocp(iocp) {}

    struct transfer_op {
        bool active = false;
        std::uint8_t* data = nullptr;   // a send's bytes; a receive's first span
        std::uint32_t length = 0;       // all the spans' bytes
        // A receive's spans, filled in order (one alone is data/length).
        std::array<iovec, i_stream_socket::max_receive_spans> iov{};
        std::size_t spans = 1;
        std::shared_ptr<const platform::file_handle> file;   // a send from a file: `length` bytes at `offset`
        std::uint64_t offset = 0;
        bool more = false;   // MSG_MORE: the next send follows at once
        i_transfer_handler function = nullptr;
        void* context = nullptr;
    };
    struct connect_op {
        bool active = false;
        i_handler function = nullptr;
        void* context = nullptr;
    };

    void on_ready(std::uint32_t events) override
    {
        std::lock_guard<std::mutex> guard(lock);
        if (fd.load() < 0)
            return;
        if (connect.active && (events & (platform::ready_write | platform::ready_error)))
            try_finish_connect();
        if (receive.active && (events & (platform::ready_read | platform::ready_error)))
            try_receive();
        if (send.active && (events & (platform::ready_write | platform::ready_error)))
            try_send();
    }

    void on_abandon() override
    {
        connect_op c;
        transfer_op s;
        transfer_op r;
        {
            std::lock_guard<std::mutex> guard(lock);
            c = connect;
            s = send;
            r = receive;
            connect = {};
            send = {};
            receive = {};
        }
        const std::uint32_t aborted = platform::err::operation_aborted;
        if (c.active)
            m_iocp.post(c.function, c.context, aborted);
        if (s.active)
            m_iocp.post_transfer(i_iocp_io_service::kind_send, s.function, s.context, aborted, 0);
        if (r.active)
            m_iocp.post_transfer(i_iocp_io_service::kind_receive, r.function, r.context, aborted, 0);
    }

    // All below: called with `lock` held.
    void try_finish_connect()
    {
        int value = 0;
        socklen_t len = sizeof(value);
        std::uint32_t error = 0;
        if (::getsockopt(fd.load(), SOL_SOCKET, SO_ERROR, &value, &len) != 0)
            error = platform::last_error();
        else if (value != 0)
            error = platform::error_from_errno(value);
        else {
            sockaddr_in peer{};
            socklen_t peer_len = sizeof(peer);
            if (::getpeername(fd.load(), reinterpret_cast<sockaddr*>(&peer), &peer_len) != 0)
                return;   // not connected yet (an early edge): keep waiting
        }
        connect.active = false;
        m_iocp.post(connect.function, connect.context, error);
    }

    void try_receive()
    {
        for (;;) {
            ssize_t n;
            if (receive.spans == 1) {
                n = ::recv(fd.load(), receive.data, receive.length, 0);
            } else {
                msghdr m{};
                m.msg_iov = receive.iov.data();
                m.msg_iovlen = receive.spans;
                n = ::recvmsg(fd.load(), &m, 0);
            }
            if (n >= 0) {
                receive.active = false;
                m_iocp.post_transfer(i_iocp_io_service::kind_receive, receive.function, receive.context, 0,
                                     static_cast<std::uint32_t>(n));
                return;
            }
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;   // the next readiness edge retries
            receive.active = false;
            m_iocp.post_transfer(i_iocp_io_service::kind_receive, receive.function, receive.context,
                                 platform::last_error(), 0);
            return;
        }
    }

    void try_send()
    {
        for (;;) {
            ssize_t n;
            if (send.file) {
                n = platform::send_file(fd.load(), send.file->fd(), send.offset, send.length);
                if (n == 0) {   // the file ends before the range does
                    finish_send(platform::err::handle_eof, 0);
                    return;
                }
            } else {
                n = ::send(fd.load(), send.data, send.length, MSG_NOSIGNAL | (send.more ? MSG_MORE : 0));
            }
            if (n >= 0) {
                finish_send(0, static_cast<std::uint32_t>(n));
                return;
            }
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            finish_send(platform::last_error(), 0);
            return;
        }
    }

    void finish_send(std::uint32_t error, std::uint32_t bytes)
    {
        const transfer_op done = std::move(send);
        send = {};
        m_iocp.post_transfer(i_iocp_io_service::kind_send, done.function, done.context, error, bytes);
    }

    // Watches the descriptor; false (error in `error`) when it cannot.
    bool attach(std::uint32_t& error)
    {
        key = m_iocp.port().attach(fd.load(), shared_from_this(), on_transfer_thread);
        if (key == 0) {
            error = platform::last_error();
            return false;
        }
        return true;
    }

    std::mutex lock;
    std::atomic<int> fd{-1};
    std::uint64_t key = 0;
    bool on_transfer_thread = false;
    transfer_op send;
    transfer_op receive;
    connect_op connect;

private:
    i_iocp_io_service& m_iocp;
};

i_tcp_endpoint::i_tcp_endpoint(std::uint32_t address_host_order, std::uint16_t port)
{
    data.sin_family = AF_INET;
    data.sin_port = htons(port);
    data.sin_addr.s_addr = htonl(address_host_order);
}

std::uint32_t i_tcp_endpoint::address() const
{
    return ntohl(data.sin_addr.s_addr);
}
std::uint16_t i_tcp_endpoint::port() const
{
    return ntohs(data.sin_port);
}

i_stream_socket_service<i_tcp>::i_stream_socket_service(i_io_service& owner) : i_service(owner), m_iocp(owner.impl()) {}

i_stream_socket::i_stream_socket(i_io_service& io)
    : m_io(io),
      m_service(io.use_service<i_stream_socket_service<i_tcp>>()),
      m_state(std::make_shared<i_socket_state>(m_service.iocp()))
{
}

i_stream_socket::~i_stream_socket()
{
    close();
}

i_stream_socket::native_type i_stream_socket::native() const
{
    return m_state->fd.load();
}

void i_stream_socket::use_transfer_thread()
{
    std::lock_guard<std::mutex> guard(m_state->lock);
    m_state->on_transfer_thread = true;
}

void i_stream_socket::assign(native_type native, i_handler function, void* context)
{
    if (native < 0)
        return;
    i_iocp_io_service& iocp = m_service.iocp();
    std::uint32_t error = 0;
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        if (m_state->fd.load() >= 0) {
            error = platform::err::is_connected;
        } else {
            set_non_blocking(native);
            // The buffer sizes stay the system's: fixed small buffers turn
            // off the kernel's tuning, and on loopback (one 64 KiB segment
            // fills 32 KiB) every segment then waits for a delayed ACK.
            set_no_delay(native);
            m_state->fd.store(native);
            m_state->attach(error);
        }
    }
    iocp.post(function, context, error);
}

void i_stream_socket::async_connect(const i_tcp_endpoint& endpoint, i_handler function, void* context)
{
    i_iocp_io_service& iocp = m_service.iocp();
    std::uint32_t error = 0;
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        if (m_state->connect.active) {
            error = platform::err::already;
        } else {
            if (m_state->fd.load() < 0) {
                const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
                if (fd < 0) {
                    error = platform::last_error();
                } else {
                    m_state->fd.store(fd);
                    if (!m_state->attach(error)) {
                        m_state->fd.store(-1);
                        ::close(fd);
                    }
                }
            }
            if (error == 0) {
                const int fd = m_state->fd.load();
                set_non_blocking(fd);
                const int one = 1;
                ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
                set_no_delay(fd);
                if (::connect(fd, reinterpret_cast<const sockaddr*>(&endpoint.data), sizeof(endpoint.data)) != 0) {
                    if (errno == EINPROGRESS || errno == EAGAIN || errno == EALREADY) {
                        m_state->connect.active = true;
                        m_state->connect.function = function;
                        m_state->connect.context = context;
                        return;   // the readiness of the socket completes it
                    }
                    error = platform::last_error();
                }
            }
        }
    }
    iocp.post(function, context, error);
}

void i_stream_socket::async_send(const void* data, std::uint32_t length, i_transfer_handler function, void* context,
                                 bool more)
{
    const i_receive_span span{static_cast<std::uint8_t*>(const_cast<void*>(data)), length};
    start_transfer(true, &span, 1, function, context, nullptr, 0, more);
}

void i_stream_socket::async_send_file(std::shared_ptr<const platform::file_handle> file, std::uint64_t offset,
                                      std::uint32_t length, i_transfer_handler function, void* context)
{
    if (!file) {
        m_service.iocp().post_transfer(i_iocp_io_service::kind_transfer, function, context,
                                       platform::err::invalid_handle, 0);
        return;
    }
    const i_receive_span span{nullptr, length};
    start_transfer(true, &span, 1, function, context, std::move(file), offset);
}

void i_stream_socket::async_receive(void* data, std::uint32_t length, i_transfer_handler function, void* context)
{
    const i_receive_span span{static_cast<std::uint8_t*>(data), length};
    start_transfer(false, &span, 1, function, context);
}

void i_stream_socket::async_receive(const i_receive_span* spans, std::size_t count, i_transfer_handler function,
                                    void* context)
{
    start_transfer(false, spans, count, function, context);
}

void i_stream_socket::start_transfer(bool sending, const i_receive_span* spans, std::size_t count,
                                     i_transfer_handler function, void* context,
                                     std::shared_ptr<const platform::file_handle> file, std::uint64_t offset, bool more)
{
    i_iocp_io_service& iocp = m_service.iocp();
    std::uint32_t error = 0;
    std::uint64_t length = 0;
    for (std::size_t i = 0; i < count; ++i)
        length += spans[i].length;
    if (count == 0 || count > max_receive_spans || length > UINT32_MAX) {
        error = platform::err::invalid_parameter;
    } else if (length != 0) {
        std::lock_guard<std::mutex> guard(m_state->lock);
        auto& op = sending ? m_state->send : m_state->receive;
        if (m_state->fd.load() < 0) {
            error = platform::err::not_socket;
        } else if (op.active) {
            error = platform::err::in_progress;
        } else {
            op.active = true;
            op.data = spans[0].data;
            op.length = std::uint32_t(length);
            op.spans = count;
            for (std::size_t i = 0; i < count; ++i)
                op.iov[i] = {spans[i].data, spans[i].length};
            op.function = function;
            op.context = context;
            op.file = std::move(file);
            op.offset = offset;
            op.more = more;
            // Tried at once; what would block waits for the next readiness.
            // A bulk receive is tried on the transfer thread instead.
            if (sending)
                m_state->try_send();
            else if (m_state->on_transfer_thread)
                iocp.port().kick(m_state, platform::ready_read);
            else
                m_state->try_receive();
            return;
        }
    }
    iocp.post_transfer(i_iocp_io_service::kind_transfer, function, context, error, 0);
}

void i_stream_socket::close()
{
    i_iocp_io_service& iocp = m_service.iocp();
    int fd;
    std::uint64_t key;
    i_socket_state::connect_op connect;
    i_socket_state::transfer_op send;
    i_socket_state::transfer_op receive;
    {
        std::lock_guard<std::mutex> guard(m_state->lock);
        fd = m_state->fd.load();
        if (fd < 0)
            return;
        key = m_state->key;
        connect = m_state->connect;
        send = m_state->send;
        receive = m_state->receive;
        m_state->connect = {};
        m_state->send = {};
        m_state->receive = {};
        m_state->key = 0;
        m_state->fd.store(-1);
    }
    iocp.port().detach(key, fd);
    ::close(fd);
    const std::uint32_t aborted = platform::err::operation_aborted;
    if (connect.active)
        iocp.post(connect.function, connect.context, aborted);
    if (send.active)
        iocp.post_transfer(i_iocp_io_service::kind_send, send.function, send.context, aborted, 0);
    if (receive.active)
        iocp.post_transfer(i_iocp_io_service::kind_receive, receive.function, receive.context, aborted, 0);
}
