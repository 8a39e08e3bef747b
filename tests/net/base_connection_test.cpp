#include "net/conn/base_connection.h"

#include "io_test_util.h"
#include "platform/error_codes.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace {

// A CDN-style connection that records what the base calls.
class probe : public zeq::base_connection {
public:
    explicit probe(i_io_service& io) : zeq::base_connection(new i_stream_socket(io)) {}
    probe() : zeq::base_connection(nullptr) {}

    void add_ref() override { ++refs; }
    void release() override { --refs; }
    std::uint32_t ref_count() override { return static_cast<std::uint32_t>(refs.load()); }
    void on_connect(const i_error_code& error) override
    {
        {
            std::lock_guard<std::mutex> guard(lock);
            connect_errors.push_back(error.value);
        }
        if (error) {
            disconnect();
            return;
        }
        prepare_receive(0, 1024);
        start_receive();
    }
    void abort_download() override { ++aborts; }
    void release_piece() override { ++ticks; }
    void on_receive(const i_error_code& error, std::uint32_t bytes) override
    {
        std::lock_guard<std::mutex> guard(lock);
        receive_errors.push_back(error.value);
        data.append(reinterpret_cast<const char*>(receive_buffer()), receive_filled());
        (void)bytes;
        prepare_receive(0, 1024);
    }

    std::vector<std::uint32_t> connects()
    {
        std::lock_guard<std::mutex> guard(lock);
        return connect_errors;
    }
    std::vector<std::uint32_t> receives()
    {
        std::lock_guard<std::mutex> guard(lock);
        return receive_errors;
    }
    std::string received()
    {
        std::lock_guard<std::mutex> guard(lock);
        return data;
    }

    std::atomic<int> refs{0};
    std::atomic<int> aborts{0};
    std::atomic<int> ticks{0};
    std::mutex lock;
    std::vector<std::uint32_t> connect_errors;
    std::vector<std::uint32_t> receive_errors;
    std::string data;
};

std::string read_some(platform::socket_t s, std::size_t n)
{
    std::string out;
    char buf[4096];
    std::uint32_t err = 0;
    while (out.size() < n && platform::wait_readable(s, 5000) == 1) {
        const long got = platform::receive_some(s, buf, sizeof(buf), err);
        if (got <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

TEST(BaseConnection, IdleUntilConnectAndWithoutSocketRefuses)
{
    probe bare;
    EXPECT_TRUE(bare.is_idle());
    EXPECT_FALSE(bare.connect("127.0.0.1", 80));
    EXPECT_TRUE(bare.is_idle());
    EXPECT_EQ(0, bare.refs.load());
}

TEST(BaseConnection, ConnectWriteReceiveDisconnectAndReuse)
{
    net_test::io_thread t;
    net_test::listener l;
    probe c(t.io);
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        ASSERT_TRUE(c.connect("127.0.0.1", l.port));
        EXPECT_FALSE(c.is_idle());
        platform::socket_t server = l.accept_one();
        ASSERT_NE(platform::invalid_socket, server);
        ASSERT_TRUE(test_support::wait_until([&] { return c.connects().size() == std::size_t(round + 1); }));
        EXPECT_EQ(0u, c.connects().back());

        const std::string request = "GET /" + std::to_string(round) + " HTTP/1.1\r\n\r\n";
        EXPECT_TRUE(c.write(request.data(), request.data() + request.size()));
        // Only this round's request reaches this server.
        EXPECT_EQ(request, read_some(server, request.size()));
        std::uint32_t err = 0;
        platform::send_some(server, "reply", 5, err);
        ASSERT_TRUE(test_support::wait_until([&] { return c.received().size() == 5u * (round + 1); }));

        c.disconnect();
        EXPECT_TRUE(c.is_idle());
        EXPECT_FALSE(c.write("x", "x" + 1));
        // The pending receive and the timer wait end with 995 and release.
        ASSERT_TRUE(test_support::wait_until([&] { return c.refs.load() == 0; }));
        for (std::uint32_t e : c.receives())
            EXPECT_NE(platform::err::operation_aborted, e);
        platform::close_socket(server);
    }
    EXPECT_EQ(3, c.aborts.load());
}

// One reusable connection dialled, used and dropped many times in a loop
// leaves no descriptor and no reference behind.
TEST(BaseConnection, ManyRoundsOfReuseLeakNoDescriptor)
{
    net_test::io_thread t;
    net_test::listener l;
    probe c(t.io);
    auto one_round = [&](int round) {
        ASSERT_TRUE(c.connect("127.0.0.1", l.port)) << round;
        platform::socket_t server = l.accept_one();
        ASSERT_NE(platform::invalid_socket, server) << round;
        ASSERT_TRUE(test_support::wait_until([&] { return c.connects().size() == std::size_t(round + 1); })) << round;
        std::uint32_t err = 0;
        platform::send_some(server, "x", 1, err);
        ASSERT_TRUE(test_support::wait_until([&] { return c.received().size() == std::size_t(round + 1); })) << round;
        c.disconnect();
        ASSERT_TRUE(test_support::wait_until([&] { return c.refs.load() == 0; })) << round;
        platform::close_socket(server);
    };
    for (int round = 0; round < 20 && !HasFatalFailure(); ++round)
        one_round(round);
    if (HasFatalFailure())
        return;
    const std::size_t before = net_test::open_descriptors();
    for (int round = 20; round < 300; ++round) {
        one_round(round);
        if (HasFatalFailure())
            return;
    }
    EXPECT_EQ(before, net_test::open_descriptors());
    EXPECT_EQ(300, c.aborts.load());
    for (std::uint32_t e : c.connects())
        EXPECT_EQ(0u, e);
}

TEST(BaseConnection, WriteWhileASendIsInFlightOnlyAppends)
{
    net_test::io_thread t;
    net_test::listener l;
    probe c(t.io);
    ASSERT_TRUE(c.connect("127.0.0.1", l.port));
    platform::socket_t server = l.accept_one();
    ASSERT_TRUE(test_support::wait_until([&] { return c.connects().size() == 1; }));
    std::string big(2 << 20, 'q');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('A' + i % 23);
    EXPECT_TRUE(c.write(big.data(), big.data() + big.size() / 2));
    EXPECT_TRUE(c.write(big.data() + big.size() / 2, big.data() + big.size()));
    EXPECT_EQ(big, read_some(server, big.size()));
    ASSERT_TRUE(test_support::wait_until([&] { return c.bytes_sent() == big.size(); }));
    c.disconnect();
    ASSERT_TRUE(test_support::wait_until([&] { return c.refs.load() == 0; }));
    platform::close_socket(server);
}

TEST(BaseConnection, FailedConnectCallsOnConnectOnceAndStartsNoTimer)
{
    net_test::io_thread t;
    struct row {
        std::string host;
        std::uint32_t expected;
    };
    const row rows[] = {
        {"127.0.0.1", platform::err::connection_refused},
        // An empty label: the resolver refuses the name itself, so no query leaves the machine.
        {"no-such-host..invalid", platform::err::host_not_found},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.host);
        probe c(t.io);
        ASSERT_TRUE(c.connect(r.host, net_test::unused_port()));
        ASSERT_TRUE(test_support::wait_until([&] { return c.connects().size() == 1; }));
        EXPECT_EQ(r.expected, c.connects()[0]);
        ASSERT_TRUE(test_support::wait_until([&] { return c.refs.load() == 0; }));
        EXPECT_TRUE(c.is_idle());
        platform::sleep_ms(20);
        EXPECT_EQ(1u, c.connects().size());
        EXPECT_EQ(0, c.ticks.load());
    }
}

TEST(BaseConnection, TicksWhileConnectedAndStopsAfterDisconnect)
{
    test_support::shifted_tick_scope tick;
    net_test::io_thread t;
    net_test::listener l;
    probe c(t.io);
    ASSERT_TRUE(c.connect("127.0.0.1", l.port));
    platform::socket_t server = l.accept_one();
    ASSERT_TRUE(test_support::wait_until([&] { return c.ticks.load() >= 1; }, 3000));
    c.disconnect();
    ASSERT_TRUE(test_support::wait_until([&] { return c.refs.load() == 0; }));
    const int ticks = c.ticks.load();
    test_support::tick_offset() += 5000;   // seconds of ticks, had the timer stayed
    ASSERT_TRUE(net_test::run_due_timers(t.io));
    EXPECT_EQ(ticks, c.ticks.load());
    platform::close_socket(server);
}

TEST(BaseConnection, PeerCloseReachesOnReceiveOnce)
{
    net_test::io_thread t;
    net_test::listener l;
    probe c(t.io);
    ASSERT_TRUE(c.connect("127.0.0.1", l.port));
    platform::socket_t server = l.accept_one();
    ASSERT_TRUE(test_support::wait_until([&] { return c.connects().size() == 1; }));
    platform::close_socket(server);
    ASSERT_TRUE(test_support::wait_until([&] { return c.receives().size() == 1; }));
    platform::sleep_ms(20);
    ASSERT_EQ(1u, c.receives().size());
    EXPECT_EQ(platform::err::handle_eof, c.receives()[0]);
    c.disconnect();
    ASSERT_TRUE(test_support::wait_until([&] { return c.refs.load() == 0; }));
}

}   // namespace
