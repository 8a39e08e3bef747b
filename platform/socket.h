// The Winsock calls the service makes, over POSIX sockets.
//
// IPv4 addresses travel as u32 in NETWORK byte order, as inet_addr returns
// them and as the peer records keep them: the bytes in memory are a.b.c.d
// of "a.b.c.d". ipv4_to_host_order / ipv4_from_host_order convert for the
// few places that want the numeric (host-order) value. Ports are host
// order.
//
// Every socket is created close-on-exec; sends use MSG_NOSIGNAL so a peer
// that went away is an error 10054, never a SIGPIPE. Errors are the Win32
// numbers of platform/error_codes.h.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace platform {

using socket_t = int;
constexpr socket_t invalid_socket = -1;
constexpr std::uint32_t ipv4_none = 0xFFFFFFFFu;   // inet_addr's failure value

// Socket creation (IPv4). invalid_socket on failure, last_error() set.
socket_t tcp_socket();
socket_t udp_socket();

// Closes the socket when valid; sets it to invalid_socket.
void close_socket(socket_t& s);

bool set_non_blocking(socket_t s, bool on);
bool set_reuse_address(socket_t s, bool on);
bool set_broadcast(socket_t s, bool on);
// Linger on close: on with 0 seconds makes close send a reset.
bool set_linger(socket_t s, bool on, std::uint16_t seconds);
bool set_no_delay(socket_t s, bool on);
bool set_receive_buffer(socket_t s, int bytes);
bool set_send_buffer(socket_t s, int bytes);

// sendfile(2) of up to `length` bytes of `file` at `offset` to the socket,
// without a SIGPIPE when the peer went away (an EPIPE error instead, as a
// send with MSG_NOSIGNAL gives): bytes sent, 0 at the file's end, -1 with
// errno set.
long send_file(socket_t s, int file, std::uint64_t offset, std::uint32_t length);

// Starts or makes a connection. 0 when connected; would_block (10035) when
// a non-blocking connect is under way; else the mapped error (10061
// refused, 10060 timed out...).
std::uint32_t connect_ipv4(socket_t s, std::uint32_t ipv4, std::uint16_t port);

// Binds to an address (0: every interface) and port (0: any).
std::uint32_t bind_ipv4(socket_t s, std::uint32_t ipv4, std::uint16_t port);
std::uint32_t listen_socket(socket_t s, int backlog);
// Accepts one connection (close-on-exec); invalid_socket and `error` set
// on failure (10035 when nothing waits on a non-blocking listener).
socket_t accept_socket(socket_t s, std::uint32_t* ipv4, std::uint16_t* port, std::uint32_t& error);

// Local and remote endpoint of a socket; false on failure.
bool local_endpoint(socket_t s, std::uint32_t& ipv4, std::uint16_t& port);
bool peer_endpoint(socket_t s, std::uint32_t& ipv4, std::uint16_t& port);

// The pending error of the socket (SO_ERROR), mapped; 0 when none.
std::uint32_t socket_error(socket_t s);

// One send / receive. Bytes moved, or -1 with `error` set (10035 when a
// non-blocking socket would block). A receive of 0 means the peer closed
// the stream.
long send_some(socket_t s, const void* data, std::size_t size, std::uint32_t& error);
long receive_some(socket_t s, void* data, std::size_t size, std::uint32_t& error);
long send_to(socket_t s, const void* data, std::size_t size, std::uint32_t ipv4, std::uint16_t port,
             std::uint32_t& error);
long receive_from(socket_t s, void* data, std::size_t size, std::uint32_t* ipv4, std::uint16_t* port,
                  std::uint32_t& error);

// Waits up to `ms` (platform::infinite: no limit) for the socket to become
// readable / writable (a finished or failed connect is writable). 1 ready,
// 0 time-out, -1 failure (error in last_error()). Interrupted waits resume
// with the time left.
int wait_readable(socket_t s, std::uint32_t ms);
int wait_writable(socket_t s, std::uint32_t ms);

// The select over several sockets: waits up to `ms` until at least one of
// `count` sockets is readable and sets ready[i] for each one that is. The
// number ready, 0 on time-out, -1 on failure. At most 64 sockets.
int wait_any_readable(const socket_t* sockets, std::size_t count, std::uint32_t ms, bool* ready);

// "a.b.c.d" -> address in network order; ipv4_none when the text is not
// the strict four-part dotted form (as with inet_addr, "255.255.255.255"
// also yields ipv4_none).
std::uint32_t parse_ipv4(const std::string& text);
// Address in network order -> "a.b.c.d".
std::string ipv4_to_text(std::uint32_t ipv4);

std::uint32_t ipv4_to_host_order(std::uint32_t network_order);
std::uint32_t ipv4_from_host_order(std::uint32_t host_order);

// Resolves a host name or dotted address to its IPv4 addresses (network
// order, resolver order) with getaddrinfo. False when nothing is found.
bool resolve_ipv4(const std::string& host, std::vector<std::uint32_t>& out);
// The first address of resolve_ipv4, 0 when none.
std::uint32_t resolve_first_ipv4(const std::string& host);

// The IPv4 addresses of the local interfaces (the address table).
struct LocalAddress {
    std::uint32_t ipv4 = 0;    // network order
    std::uint32_t mask = 0;    // network order
    std::uint32_t index = 0;   // interface index
    std::string interface_name;
    bool loopback = false;
};
std::vector<LocalAddress> local_ipv4_addresses();

}   // namespace platform
