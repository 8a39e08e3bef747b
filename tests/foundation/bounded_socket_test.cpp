#include "foundation/bounded_socket.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/error_codes.h"
#include "platform/tick.h"
#include "support/closed_port.h"

namespace {

// A listener on 127.0.0.1 with a kernel-chosen port.
struct Listener {
    platform::socket_t socket = platform::tcp_socket();
    std::uint16_t port = 0;
    Listener()
    {
        EXPECT_EQ(platform::bind_ipv4(socket, platform::parse_ipv4("127.0.0.1"), 0), 0u);
        EXPECT_EQ(platform::listen_socket(socket, 4), 0u);
        std::uint32_t ip = 0;
        platform::local_endpoint(socket, ip, port);
    }
    ~Listener() { platform::close_socket(socket); }
    platform::socket_t accept()
    {
        std::uint32_t error = 0;
        return platform::accept_socket(socket, nullptr, nullptr, error);
    }
};

const std::uint32_t kLoopback = platform::parse_ipv4("127.0.0.1");

}   // namespace

TEST(BoundedSocket, ConnectFailuresAreReportedAndLeaveItClosed)
{
    CBoundedSocket s;
    EXPECT_EQ(s.Connect(0, 80, 100), platform::err::address_not_available);
    const ClosedPort closed;
    EXPECT_EQ(s.Connect(kLoopback, closed.port(), 1000), platform::err::connection_refused);
    EXPECT_FALSE(s.IsOpen());
    EXPECT_EQ(s.SendAll("x", 1, 100), platform::err::not_connected);
}

TEST(BoundedSocket, StopEndsASilentWaitWithinASlice)
{
    Listener server;
    CBoundedSocket s;
    ASSERT_EQ(s.Connect(kLoopback, server.port, 1000), 0u);
    platform::socket_t peer = server.accept();
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        platform::sleep_ms(60);   // the stop must come while the receive blocks
        stop = true;
    });
    const std::uint32_t start = platform::tick_count();
    std::uint8_t byte = 0;
    EXPECT_EQ(s.ReceiveExactBy(&byte, 1, start + 10000, &stop), platform::err::operation_aborted);
    EXPECT_LT(platform::tick_count() - start, 2000u);
    stopper.join();
    // The same wait without a stop runs into its deadline.
    EXPECT_EQ(s.ReceiveExactBy(&byte, 1, platform::tick_count() + 80, [] { return false; }), platform::err::timed_out);
    platform::close_socket(peer);
}

TEST(BoundedSocket, ReceiveUntilCloseKeepsAtMostTheCapAndExactReadsSeeTheEnd)
{
    Listener server;
    CBoundedSocket s;
    ASSERT_EQ(s.Connect(kLoopback, server.port, 1000), 0u);
    platform::socket_t peer = server.accept();
    const std::string sent(10000, 'z');
    std::uint32_t error = 0;
    ASSERT_EQ(platform::send_some(peer, sent.data(), sent.size(), error), static_cast<long>(sent.size()));
    platform::close_socket(peer);
    std::string out;
    EXPECT_EQ(s.ReceiveUntilClose(out, 100, 2000), 0u);
    EXPECT_EQ(out, std::string(100, 'z'));
    std::uint8_t byte = 0;
    EXPECT_EQ(s.ReceiveExactBy(&byte, 1, platform::tick_count() + 1000), platform::err::handle_eof);
}
