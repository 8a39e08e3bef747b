#include "foundation/tcp_client_socket.h"

#include "platform/error_codes.h"
#include "platform/tick.h"
#include "support/closed_port.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/resource.h>

#include <cstdlib>
#include <memory>
#include <thread>
#include <vector>

namespace {

const std::uint32_t loopback = platform::parse_ipv4("127.0.0.1");

struct Listener {
    platform::socket_t s = platform::tcp_socket();
    std::uint16_t port = 0;
    explicit Listener(int backlog = 8)
    {
        EXPECT_EQ(platform::bind_ipv4(s, loopback, 0), 0u);
        EXPECT_EQ(platform::listen_socket(s, backlog), 0u);
        std::uint32_t a = 0;
        EXPECT_TRUE(platform::local_endpoint(s, a, port));
    }
    platform::socket_t accept()
    {
        if (platform::wait_readable(s, 2000) != 1)
            return platform::invalid_socket;
        std::uint32_t error = 0;
        return platform::accept_socket(s, nullptr, nullptr, error);
    }
    ~Listener() { platform::close_socket(s); }
};

bool is_open(platform::socket_t s)
{
    return ::fcntl(s, F_GETFD) != -1;
}

}   // namespace

TEST(TcpClientSocket, ConnectResults)
{
    Listener l;
    const ClosedPort closed;
    struct Case {
        const char* what;
        std::uint16_t port;
        std::uint32_t blocking;
        int expected;
    };
    const Case cases[] = {
        {"listener, non-blocking", l.port, 0, CTcpClientSocketHelper::connected},
        {"listener, blocking", l.port, 1, CTcpClientSocketHelper::connected},
        {"closed port, non-blocking", closed.port(), 0, CTcpClientSocketHelper::refused},
        {"closed port, blocking", closed.port(), 1, CTcpClientSocketHelper::refused},
    };
    for (const Case& c : cases) {
        CTcpClientSocketHelper client;
        EXPECT_EQ(client.Connect(loopback, c.port, 0, c.blocking, 2000), c.expected) << c.what;
        if (c.expected == CTcpClientSocketHelper::connected) {
            const int flags = ::fcntl(client.GetSocket(), F_GETFL);
            EXPECT_EQ((flags & O_NONBLOCK) != 0, c.blocking == 0) << c.what;
            EXPECT_NE(::fcntl(client.GetSocket(), F_GETFD) & FD_CLOEXEC, 0);
        }
    }
}

TEST(TcpClientSocket, BindingALocalPortInUseFailsAtOnce)
{
    Listener l;
    CTcpClientSocketHelper client;
    EXPECT_EQ(client.Connect(loopback, l.port, l.port, 0, 1000), CTcpClientSocketHelper::connect_failed);
}

TEST(TcpClientSocket, WaitEndsWhileTheListenerQueueIsFull)
{
    // A listener that never accepts: once its queue is full the kernel drops
    // further SYNs and those connects stay in progress.
    Listener l(0);
    std::vector<std::unique_ptr<CTcpClientSocketHelper>> clients;
    int result = -1;
    for (int i = 0; i < 16 && result != CTcpClientSocketHelper::wait_ended; ++i) {
        clients.push_back(std::make_unique<CTcpClientSocketHelper>());
        const std::uint64_t start = platform::tick_count64();
        result = clients.back()->Connect(loopback, l.port, 0, 0, 100);
        if (result == CTcpClientSocketHelper::wait_ended)
            EXPECT_GE(platform::tick_count64() - start, 95u);
        else
            ASSERT_EQ(result, CTcpClientSocketHelper::connected);
    }
    if (result != CTcpClientSocketHelper::wait_ended)
        GTEST_SKIP() << "this kernel accepted every connect; no full queue to wait on";
    EXPECT_NE(clients.back()->GetSocket(), platform::invalid_socket);
}

TEST(TcpClientSocket, DetachLeavesTheSocketOpen)
{
    Listener l;
    platform::socket_t kept = platform::invalid_socket;
    platform::socket_t closed = platform::invalid_socket;
    {
        CTcpClientSocketHelper a, b;
        ASSERT_EQ(a.Connect(loopback, l.port, 0, 0, 1000), 0);
        ASSERT_EQ(b.Connect(loopback, l.port, 0, 0, 1000), 0);
        kept = a.Detach();
        closed = b.GetSocket();
        EXPECT_EQ(kept, a.GetSocket());
    }
    EXPECT_TRUE(is_open(kept));
    // `closed` may be reused by now only if something else opened a socket;
    // nothing did in between.
    EXPECT_FALSE(is_open(closed));
    platform::close_socket(kept);
}

TEST(TcpClientSocket, SendAndReceiveHelpers)
{
    Listener l;
    CTcpClientSocketHelper client;
    ASSERT_EQ(client.Connect(loopback, l.port, 0, 0, 1000), 0);
    platform::socket_t server = l.accept();
    ASSERT_NE(server, platform::invalid_socket);

    std::vector<char> big(256 * 1024, 'x');
    // The server drains while the client sends more than the buffers hold.
    std::thread drain([&] {
        std::vector<char> buf(65536);
        std::size_t got = 0;
        std::uint32_t e = 0;
        while (got < big.size() && platform::wait_readable(server, 2000) == 1) {
            const long n = platform::receive_some(server, buf.data(), buf.size(), e);
            if (n <= 0)
                break;
            got += static_cast<std::size_t>(n);
        }
        platform::send_some(server, "answer", 6, e);
    });
    EXPECT_EQ(client.SendAll(big.data(), static_cast<std::uint32_t>(big.size()), 2000), 0u);
    char answer[6];
    EXPECT_EQ(client.ReceiveAll(answer, sizeof answer, 2000), 0u);
    EXPECT_EQ(std::string(answer, 6), "answer");
    drain.join();

    std::uint32_t error = 0;
    char c;
    EXPECT_EQ(client.Receive(&c, 1, 50, error), -1);
    EXPECT_EQ(error, platform::err::timed_out);

    std::uint32_t e = 0;
    platform::send_some(server, "ab", 2, e);
    platform::close_socket(server);
    char three[3];
    EXPECT_EQ(client.ReceiveAll(three, sizeof three, 2000), platform::err::handle_eof);

    client.Close();
    EXPECT_EQ(client.SendAll("x", 1, 10), platform::err::not_socket);
}

// With no descriptor left the socket cannot be made: result 2 and nothing
// held. Run in a fresh copy of this program, whose descriptor limit it may
// lower without harm to the other tests.
TEST(TcpClientSocketDeathTest, NoDescriptorLeftIsResultTwo)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            rlimit none = {};
            ::getrlimit(RLIMIT_NOFILE, &none);
            none.rlim_cur = 0;
            ::setrlimit(RLIMIT_NOFILE, &none);
            CTcpClientSocketHelper client;
            const int result = client.Connect(loopback, 9, 0, 0, 100);
            std::_Exit(result == CTcpClientSocketHelper::connect_failed &&
                               client.GetSocket() == platform::invalid_socket
                           ? 0
                           : 10 + result);
        },
        testing::ExitedWithCode(0), "");
}
