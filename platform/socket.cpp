#include "platform/socket.h"

#include "platform/error_codes.h"
#include "platform/event.h"
#include "platform/tick.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <unistd.h>

namespace platform {

namespace {

sockaddr_in make_address(std::uint32_t ipv4, std::uint16_t port)
{
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = ipv4;
    return a;
}

socket_t make_socket(int type, int protocol)
{
    const int s = ::socket(AF_INET, type | SOCK_CLOEXEC, protocol);
    return s < 0 ? invalid_socket : s;
}

bool set_int_option(socket_t s, int level, int name, int value)
{
    return ::setsockopt(s, level, name, &value, sizeof value) == 0;
}

// poll() resumed after interruptions with the time left; errors and
// hang-ups count as ready (the next call on the socket reports them), a
// closed descriptor is a failure.
int poll_for(pollfd* fds, std::size_t count, std::uint32_t ms)
{
    const std::uint64_t start = tick_count64();
    for (;;) {
        int timeout = -1;
        if (ms != infinite) {
            const std::uint64_t elapsed = tick_count64() - start;
            timeout = elapsed >= ms ? 0 : static_cast<int>(ms - elapsed);
        }
        const int r = ::poll(fds, static_cast<nfds_t>(count), timeout);
        if (r > 0) {
            for (std::size_t i = 0; i < count; ++i)
                if (fds[i].revents & POLLNVAL) {
                    errno = EBADF;
                    return -1;
                }
            return r;
        }
        if (r == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

int wait_for(socket_t s, short events, std::uint32_t ms)
{
    pollfd p{s, events, 0};
    const int r = poll_for(&p, 1, ms);
    return r > 0 ? 1 : r;
}

}   // namespace

socket_t tcp_socket()
{
    return make_socket(SOCK_STREAM, IPPROTO_TCP);
}
socket_t udp_socket()
{
    return make_socket(SOCK_DGRAM, IPPROTO_UDP);
}

void close_socket(socket_t& s)
{
    if (s != invalid_socket) {
        ::close(s);
        s = invalid_socket;
    }
}

bool set_non_blocking(socket_t s, bool on)
{
    const int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0)
        return false;
    const int wanted = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || ::fcntl(s, F_SETFL, wanted) == 0;
}

bool set_reuse_address(socket_t s, bool on)
{
    return set_int_option(s, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0);
}
bool set_broadcast(socket_t s, bool on)
{
    return set_int_option(s, SOL_SOCKET, SO_BROADCAST, on ? 1 : 0);
}
bool set_no_delay(socket_t s, bool on)
{
    return set_int_option(s, IPPROTO_TCP, TCP_NODELAY, on ? 1 : 0);
}
bool set_receive_buffer(socket_t s, int bytes)
{
    return set_int_option(s, SOL_SOCKET, SO_RCVBUF, bytes);
}
bool set_send_buffer(socket_t s, int bytes)
{
    return set_int_option(s, SOL_SOCKET, SO_SNDBUF, bytes);
}

bool set_linger(socket_t s, bool on, std::uint16_t seconds)
{
    linger l{};
    l.l_onoff = on ? 1 : 0;
    l.l_linger = seconds;
    return ::setsockopt(s, SOL_SOCKET, SO_LINGER, &l, sizeof l) == 0;
}

std::uint32_t connect_ipv4(socket_t s, std::uint32_t ipv4, std::uint16_t port)
{
    const sockaddr_in a = make_address(ipv4, port);
    if (::connect(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
        return err::success;
    // Winsock reports a non-blocking connect under way as WSAEWOULDBLOCK.
    if (errno == EINPROGRESS || errno == EAGAIN || errno == EINTR)
        return err::would_block;
    return last_error();
}

std::uint32_t bind_ipv4(socket_t s, std::uint32_t ipv4, std::uint16_t port)
{
    const sockaddr_in a = make_address(ipv4, port);
    return ::bind(s, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0 ? err::success : last_error();
}

std::uint32_t listen_socket(socket_t s, int backlog)
{
    return ::listen(s, backlog) == 0 ? err::success : last_error();
}

socket_t accept_socket(socket_t s, std::uint32_t* ipv4, std::uint16_t* port, std::uint32_t& error)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    int c;
    do {
        c = ::accept4(s, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
    } while (c < 0 && errno == EINTR);
    if (c < 0) {
        error = last_error();
        return invalid_socket;
    }
    error = err::success;
    if (ipv4)
        *ipv4 = a.sin_addr.s_addr;
    if (port)
        *port = ntohs(a.sin_port);
    return c;
}

bool local_endpoint(socket_t s, std::uint32_t& ipv4, std::uint16_t& port)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET)
        return false;
    ipv4 = a.sin_addr.s_addr;
    port = ntohs(a.sin_port);
    return true;
}

bool peer_endpoint(socket_t s, std::uint32_t& ipv4, std::uint16_t& port)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    if (::getpeername(s, reinterpret_cast<sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET)
        return false;
    ipv4 = a.sin_addr.s_addr;
    port = ntohs(a.sin_port);
    return true;
}

std::uint32_t socket_error(socket_t s)
{
    int e = 0;
    socklen_t len = sizeof e;
    if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &e, &len) != 0)
        return last_error();
    return error_from_errno(e);
}

long send_some(socket_t s, const void* data, std::size_t size, std::uint32_t& error)
{
    ssize_t n;
    do {
        n = ::send(s, data, size, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    error = n < 0 ? last_error() : err::success;
    return static_cast<long>(n);
}

long receive_some(socket_t s, void* data, std::size_t size, std::uint32_t& error)
{
    ssize_t n;
    do {
        n = ::recv(s, data, size, 0);
    } while (n < 0 && errno == EINTR);
    error = n < 0 ? last_error() : err::success;
    return static_cast<long>(n);
}

long send_to(socket_t s, const void* data, std::size_t size, std::uint32_t ipv4, std::uint16_t port,
             std::uint32_t& error)
{
    const sockaddr_in a = make_address(ipv4, port);
    ssize_t n;
    do {
        n = ::sendto(s, data, size, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    } while (n < 0 && errno == EINTR);
    error = n < 0 ? last_error() : err::success;
    return static_cast<long>(n);
}

long receive_from(socket_t s, void* data, std::size_t size, std::uint32_t* ipv4, std::uint16_t* port,
                  std::uint32_t& error)
{
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ssize_t n;
    do {
        n = ::recvfrom(s, data, size, 0, reinterpret_cast<sockaddr*>(&a), &len);
    } while (n < 0 && errno == EINTR);
    error = n < 0 ? last_error() : err::success;
    if (n >= 0) {
        if (ipv4)
            *ipv4 = a.sin_addr.s_addr;
        if (port)
            *port = ntohs(a.sin_port);
    }
    return static_cast<long>(n);
}

int wait_readable(socket_t s, std::uint32_t ms)
{
    return wait_for(s, POLLIN, ms);
}

int wait_any_readable(const socket_t* sockets, std::size_t count, std::uint32_t ms, bool* ready)
{
    constexpr std::size_t most = 64;
    if (!sockets || !ready || count == 0 || count > most) {
        errno = EINVAL;
        return -1;
    }
    pollfd fds[most];
    for (std::size_t i = 0; i < count; ++i) {
        fds[i] = pollfd{sockets[i], POLLIN, 0};
        ready[i] = false;
    }
    const int r = poll_for(fds, count, ms);
    if (r <= 0)
        return r;
    int n = 0;
    for (std::size_t i = 0; i < count; ++i) {
        ready[i] = fds[i].revents != 0;
        n += ready[i] ? 1 : 0;
    }
    return n;
}
int wait_writable(socket_t s, std::uint32_t ms)
{
    return wait_for(s, POLLOUT, ms);
}

std::uint32_t parse_ipv4(const std::string& text)
{
    in_addr a{};
    if (::inet_pton(AF_INET, text.c_str(), &a) != 1)
        return ipv4_none;
    return a.s_addr;
}

std::string ipv4_to_text(std::uint32_t ipv4)
{
    in_addr a{};
    a.s_addr = ipv4;
    char buf[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, buf, sizeof buf);
    return buf;
}

std::uint32_t ipv4_to_host_order(std::uint32_t network_order)
{
    return ntohl(network_order);
}
std::uint32_t ipv4_from_host_order(std::uint32_t host_order)
{
    return htonl(host_order);
}

bool resolve_ipv4(const std::string& host, std::vector<std::uint32_t>& out)
{
    out.clear();
    if (host.empty())
        return false;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* res = nullptr;
    if (::getaddrinfo(host.c_str(), nullptr, &hints, &res) != 0 || !res)
        return false;
    for (addrinfo* p = res; p; p = p->ai_next) {
        if (p->ai_family != AF_INET || !p->ai_addr)
            continue;
        const std::uint32_t a = reinterpret_cast<const sockaddr_in*>(p->ai_addr)->sin_addr.s_addr;
        bool seen = false;
        for (std::uint32_t x : out)
            seen = seen || x == a;
        if (!seen)
            out.push_back(a);
    }
    ::freeaddrinfo(res);
    return !out.empty();
}

std::uint32_t resolve_first_ipv4(const std::string& host)
{
    std::vector<std::uint32_t> all;
    return resolve_ipv4(host, all) ? all.front() : 0;
}

std::vector<LocalAddress> local_ipv4_addresses()
{
    std::vector<LocalAddress> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0)
        return out;
    for (ifaddrs* p = list; p; p = p->ifa_next) {
        if (!p->ifa_addr || p->ifa_addr->sa_family != AF_INET)
            continue;
        LocalAddress a;
        a.ipv4 = reinterpret_cast<const sockaddr_in*>(p->ifa_addr)->sin_addr.s_addr;
        if (p->ifa_netmask)
            a.mask = reinterpret_cast<const sockaddr_in*>(p->ifa_netmask)->sin_addr.s_addr;
        a.interface_name = p->ifa_name ? p->ifa_name : "";
        a.index = p->ifa_name ? ::if_nametoindex(p->ifa_name) : 0;
        a.loopback = (p->ifa_flags & IFF_LOOPBACK) != 0;
        out.push_back(a);
    }
    ::freeifaddrs(list);
    return out;
}

long send_file(socket_t s, int file, std::uint64_t offset, std::uint32_t length)
{
    // sendfile has no MSG_NOSIGNAL: the signal is held back on this thread
    // and one it raised is taken before the mask is restored.
    sigset_t pipe;
    sigset_t old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    off_t at = static_cast<off_t>(offset);
    const ssize_t n = ::sendfile(s, file, &at, length);
    const int error = errno;
    // The signal may come with ECONNRESET as well as EPIPE, and with a short
    // count when the peer went away after the first part went out.
    sigset_t pending;
    if (n != static_cast<ssize_t>(length) && !sigismember(&old, SIGPIPE) && sigpending(&pending) == 0 &&
        sigismember(&pending, SIGPIPE)) {
        const timespec none{};
        while (::sigtimedwait(&pipe, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = error;
    return n;
}

}   // namespace platform
