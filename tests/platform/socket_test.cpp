#include "platform/socket.h"

#include "platform/error_codes.h"
#include "platform/tick.h"
#include "support/closed_port.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>

namespace {

const std::uint32_t loopback = platform::parse_ipv4("127.0.0.1");

// A listening socket on 127.0.0.1 and an ephemeral port.
struct Listener {
    platform::socket_t s = platform::tcp_socket();
    std::uint16_t port = 0;
    Listener()
    {
        EXPECT_EQ(platform::bind_ipv4(s, loopback, 0), 0u);
        EXPECT_EQ(platform::listen_socket(s, 8), 0u);
        std::uint32_t a = 0;
        EXPECT_TRUE(platform::local_endpoint(s, a, port));
    }
    ~Listener() { platform::close_socket(s); }
};

}   // namespace

TEST(Socket, Ipv4TextAndByteOrder)
{
    const std::uint32_t a = platform::parse_ipv4("1.2.3.4");
    unsigned char bytes[4];
    std::memcpy(bytes, &a, 4);
    EXPECT_EQ(bytes[0], 1);   // network order: the first byte is the first number
    EXPECT_EQ(bytes[3], 4);
    EXPECT_EQ(platform::ipv4_to_host_order(a), 0x01020304u);
    EXPECT_EQ(platform::ipv4_from_host_order(0x01020304u), a);
    EXPECT_EQ(platform::ipv4_to_text(a), "1.2.3.4");
    struct Case {
        const char* text;
        bool valid;
    };
    const Case cases[] = {{"127.0.0.1", true},     {"0.0.0.0", true}, {"256.1.1.1", false},
                          {"host.example", false}, {"", false},       {"1.2.3", false}};
    for (const Case& c : cases)
        EXPECT_EQ(platform::parse_ipv4(c.text) != platform::ipv4_none, c.valid) << c.text;
}

TEST(Socket, ResolvesLocalNamesAndListsLoopback)
{
    std::vector<std::uint32_t> all;
    ASSERT_TRUE(platform::resolve_ipv4("127.0.0.1", all));
    EXPECT_EQ(all.front(), loopback);
    EXPECT_EQ(platform::resolve_first_ipv4("localhost"), loopback);
    EXPECT_FALSE(platform::resolve_ipv4("", all));
    // An empty label: the resolver refuses the name itself, so no query leaves the machine.
    EXPECT_EQ(platform::resolve_first_ipv4("no-such-host..invalid"), 0u);

    bool found = false;
    for (const platform::LocalAddress& a : platform::local_ipv4_addresses())
        found = found || (a.ipv4 == loopback && a.loopback);
    EXPECT_TRUE(found);
}

TEST(Socket, ConnectMapsRefusedAndNonBlockingProgress)
{
    platform::socket_t s = platform::tcp_socket();
    ASSERT_NE(s, platform::invalid_socket);
    EXPECT_NE(::fcntl(s, F_GETFD) & FD_CLOEXEC, 0);
    const ClosedPort closed;
    EXPECT_EQ(platform::connect_ipv4(s, loopback, closed.port()), platform::err::connection_refused);
    platform::close_socket(s);
    EXPECT_EQ(s, platform::invalid_socket);

    Listener l;
    s = platform::tcp_socket();
    ASSERT_TRUE(platform::set_non_blocking(s, true));
    const std::uint32_t r = platform::connect_ipv4(s, loopback, l.port);
    EXPECT_TRUE(r == 0 || r == platform::err::would_block) << r;
    EXPECT_EQ(platform::wait_writable(s, 2000), 1);
    EXPECT_EQ(platform::socket_error(s), 0u);

    std::uint32_t error = 0, peer = 0;
    std::uint16_t peer_port = 0;
    platform::socket_t c = platform::accept_socket(l.s, &peer, &peer_port, error);
    ASSERT_NE(c, platform::invalid_socket);
    EXPECT_EQ(peer, loopback);
    EXPECT_NE(::fcntl(c, F_GETFD) & FD_CLOEXEC, 0);

    // Nothing to read yet: a timed wait and a would-block receive.
    const std::uint64_t start = platform::tick_count64();
    EXPECT_EQ(platform::wait_readable(s, 50), 0);
    EXPECT_GE(platform::tick_count64() - start, 45u);
    char buf[16];
    EXPECT_EQ(platform::receive_some(s, buf, sizeof buf, error), -1);
    EXPECT_EQ(error, platform::err::would_block);

    EXPECT_EQ(platform::send_some(c, "hello", 5, error), 5);
    EXPECT_EQ(platform::wait_readable(s, 2000), 1);
    EXPECT_EQ(platform::receive_some(s, buf, sizeof buf, error), 5);

    // The peer goes: a receive sees the end of the stream, sends fail with
    // a mapped error instead of killing the process with SIGPIPE.
    ASSERT_TRUE(platform::set_linger(c, true, 0));
    platform::close_socket(c);
    EXPECT_EQ(platform::wait_readable(s, 2000), 1);
    long n = platform::receive_some(s, buf, sizeof buf, error);
    EXPECT_TRUE(n == 0 || (n < 0 && error == platform::err::connection_reset)) << n << " " << error;
    std::uint32_t send_error = 0;
    for (int i = 0; i < 10 && send_error == 0; ++i)
        platform::send_some(s, "x", 1, send_error);
    EXPECT_TRUE(send_error == platform::err::connection_reset || send_error == platform::err::connection_aborted)
        << send_error;
    platform::close_socket(s);
}

TEST(Socket, UdpDatagramsAndOptions)
{
    platform::socket_t a = platform::udp_socket();
    platform::socket_t b = platform::udp_socket();
    ASSERT_NE(a, platform::invalid_socket);
    EXPECT_TRUE(platform::set_reuse_address(a, true));
    EXPECT_TRUE(platform::set_broadcast(a, true));
    ASSERT_EQ(platform::bind_ipv4(a, loopback, 0), 0u);
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    ASSERT_TRUE(platform::local_endpoint(a, ip, port));

    std::uint32_t error = 0;
    EXPECT_EQ(platform::send_to(b, "ping", 4, loopback, port, error), 4);
    ASSERT_EQ(platform::wait_readable(a, 2000), 1);
    char buf[8];
    std::uint32_t from = 0;
    std::uint16_t from_port = 0;
    EXPECT_EQ(platform::receive_from(a, buf, sizeof buf, &from, &from_port, error), 4);
    EXPECT_EQ(from, loopback);
    EXPECT_NE(from_port, 0);

    // Binding a port in use is the Winsock "address in use".
    platform::socket_t c = platform::udp_socket();
    EXPECT_EQ(platform::bind_ipv4(c, loopback, port), platform::err::address_in_use);
    platform::close_socket(a);
    platform::close_socket(b);
    platform::close_socket(c);
}

TEST(Socket, WaitOnAClosedDescriptorFails)
{
    platform::socket_t s = platform::tcp_socket();
    const platform::socket_t stale = s;
    platform::close_socket(s);
    EXPECT_EQ(platform::wait_readable(stale, 10), -1);
    std::uint32_t error = 0;
    EXPECT_EQ(platform::send_some(stale, "x", 1, error), -1);
    EXPECT_EQ(error, platform::err::wsa_bad_file);
}

TEST(Socket, WaitOnSeveralSocketsReportsEachReadyOne)
{
    platform::socket_t socks[3];
    std::uint16_t ports[3] = {};
    for (int i = 0; i < 3; ++i) {
        socks[i] = platform::udp_socket();
        ASSERT_EQ(platform::bind_ipv4(socks[i], loopback, 0), 0u);
        std::uint32_t ip = 0;
        ASSERT_TRUE(platform::local_endpoint(socks[i], ip, ports[i]));
    }
    bool ready[3] = {true, true, true};
    const std::uint64_t start = platform::tick_count64();
    EXPECT_EQ(platform::wait_any_readable(socks, 3, 40, ready), 0);
    EXPECT_GE(platform::tick_count64() - start, 35u);
    EXPECT_FALSE(ready[0] || ready[1] || ready[2]);

    platform::socket_t sender = platform::udp_socket();
    std::uint32_t error = 0;
    platform::send_to(sender, "a", 1, loopback, ports[0], error);
    platform::send_to(sender, "c", 1, loopback, ports[2], error);
    // Both datagrams may not be there at the first wake: wait until they are.
    int n = 0;
    for (int tries = 0; tries < 50 && n < 2; ++tries)
        n = platform::wait_any_readable(socks, 3, 100, ready);
    EXPECT_EQ(n, 2);
    EXPECT_TRUE(ready[0]);
    EXPECT_FALSE(ready[1]);
    EXPECT_TRUE(ready[2]);

    EXPECT_EQ(platform::wait_any_readable(socks, 0, 10, ready), -1);
    for (platform::socket_t& s : socks)
        platform::close_socket(s);
    platform::close_socket(sender);
}
