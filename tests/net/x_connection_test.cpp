#include "net/conn/x_connection.h"

#include "io_test_util.h"
#include "net/io/live_connections.h"
#include "net/io/transfer_limits.h"
#include "platform/error_codes.h"

#include <gtest/gtest.h>

#include <malloc.h>
#if defined(__SANITIZE_ADDRESS__)
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#endif

#include <mutex>
#include <string>
#include <vector>

namespace {

// A connection that records what the base calls and echoes nothing.
class probe_connection : public x_connection {
public:
    probe_connection(i_io_service& io, std::uint64_t task, std::atomic<int>* deleted = nullptr)
        : x_connection(new i_stream_socket(io), task), m_deleted(deleted)
    {
    }
    probe_connection(std::nullptr_t, std::uint64_t task) : x_connection(nullptr, task), m_deleted(nullptr) {}
    ~probe_connection() override
    {
        if (m_deleted)
            ++*m_deleted;
    }

    bool assign_task(std::uint32_t) override { return false; }
    void add_ref() override { ++refs; }
    void release() override
    {
        if (--refs == 0)
            delete this;
    }
    void on_connect() override
    {
        ++connects;
        set_receive_window(0, window);
        start_receive();
    }
    void on_close() override
    {
        ++closes;
        mark_closing();
    }
    void on_timer() override { ++timers; }
    void on_receive(const i_error_code& error, std::uint32_t bytes) override
    {
        std::lock_guard<std::mutex> guard(lock);
        errors.push_back(error.value);
        if (bytes)
            data.append(reinterpret_cast<const char*>(receive_buffer()), receive_filled());
        set_receive_window(0, window);
    }
    void send_have(std::uint32_t) override {}
    void on_send(const i_error_code& error, std::uint32_t bytes) override
    {
        std::lock_guard<std::mutex> guard(lock);
        send_sizes.push_back(bytes);
        send_errors.push_back(error.value);
    }

    std::string received()
    {
        std::lock_guard<std::mutex> guard(lock);
        return data;
    }
    std::vector<std::uint32_t> receive_errors()
    {
        std::lock_guard<std::mutex> guard(lock);
        return errors;
    }

    std::atomic<int> refs{1};   // the owner's reference
    std::atomic<int> connects{0}, closes{0}, timers{0};
    std::uint32_t window = 4096;
    std::mutex lock;
    std::string data;
    std::vector<std::uint32_t> errors;
    std::vector<std::uint32_t> send_sizes;
    std::vector<std::uint32_t> send_errors;

private:
    std::atomic<int>* m_deleted;
};

std::atomic<std::int64_t> g_now{1000};
std::int64_t fake_seconds()
{
    return g_now.load();
}

struct fake_seconds_scope {
    fake_seconds_scope()
    {
        g_now = 1000;
        transfer_limits::set_seconds_source(&fake_seconds);
    }
    ~fake_seconds_scope() { transfer_limits::set_seconds_source(nullptr); }
};

std::string read_exactly(platform::socket_t s, std::size_t n)
{
    std::string out;
    char buf[65536];
    std::uint32_t err = 0;
    while (out.size() < n) {
        if (platform::wait_readable(s, 5000) != 1)
            break;
        const long got = platform::receive_some(s, buf, std::min(sizeof(buf), n - out.size()), err);
        if (got <= 0)
            break;
        out.append(buf, static_cast<std::size_t>(got));
    }
    return out;
}

// A started connection on one end of `pair`, with a second owner
// reference so the test can still look at it after close.
probe_connection* connected(net_test::io_thread& t, net_test::socket_pair& pair, std::uint64_t task)
{
    auto* c = new probe_connection(t.io, task);
    c->add_ref();
    EXPECT_TRUE(c->start(pair.release_a()));
    EXPECT_TRUE(test_support::wait_until([&] { return c->connects.load() == 1; }));
    return c;
}

// Closes, waits until only the two owner references are left, drops them.
void finish(probe_connection* c)
{
    c->close();
    EXPECT_TRUE(test_support::wait_until([&] { return c->refs.load() == 2; }));
    c->release();
    c->release();
}

TEST(XConnection, LiveCountFollowsTheObjectAndAMissingEntryStartsNotRunning)
{
    net_test::io_thread t;
    // A task id no earlier run of this test (--gtest_repeat) has used.
    static std::uint64_t next_task = 0xA1F00000;
    const std::uint64_t task = ++next_task;
    EXPECT_EQ(0u, live_connections::count(task));
    std::atomic<int> deleted{0};
    auto* c = new probe_connection(t.io, task, &deleted);
    EXPECT_EQ(0u, live_connections::running(task));
    EXPECT_EQ(1u, live_connections::count(task));
    live_connections::set(task, 1, 1);
    auto* d = new probe_connection(t.io, task, &deleted);
    EXPECT_EQ(2u, live_connections::count(task));
    c->release();
    d->release();
    EXPECT_EQ(2, deleted.load());
    EXPECT_EQ(0u, live_connections::count(task));
    EXPECT_EQ(1u, live_connections::running(task));
}

TEST(XConnection, StartRefusesMissingOrInvalidSockets)
{
    net_test::io_thread t;
    auto* bare = new probe_connection(nullptr, 0xA1000002);
    EXPECT_FALSE(bare->start(3));
    EXPECT_EQ(1, bare->refs.load());
    bare->release();
    auto* c = new probe_connection(t.io, 0xA1000002);
    EXPECT_FALSE(c->start(i_stream_socket::invalid_native));
    EXPECT_EQ(1, c->refs.load());   // no reference taken for an operation that never completes
    c->release();
}

TEST(XConnection, ConnectReceiveSendAndCloseReleaseEveryReference)
{
    net_test::io_thread t;
    const std::uint64_t task = 0xA1000003;
    std::atomic<int> deleted{0};
    net_test::socket_pair pair;
    auto* c = new probe_connection(t.io, task, &deleted);
    c->add_ref();   // a second owner reference so the test can look after close
    ASSERT_TRUE(c->start(pair.release_a()));
    ASSERT_TRUE(test_support::wait_until([&] { return c->connects.load() == 1; }));

    std::uint32_t err = 0;
    platform::send_some(pair.b, "ping", 4, err);
    ASSERT_TRUE(test_support::wait_until([&] { return c->received() == "ping"; }));
    EXPECT_EQ(4u, c->total_received());

    const std::string msg = "pong-pong";
    EXPECT_TRUE(c->send(msg.data(), msg.data() + msg.size()));
    EXPECT_EQ(msg, read_exactly(pair.b, msg.size()));
    ASSERT_TRUE(test_support::wait_until([&] { return c->total_sent() == msg.size(); }));

    c->close();
    EXPECT_TRUE(c->is_closing());
    EXPECT_FALSE(c->send(msg.data(), msg.data() + msg.size()));
    // The pending receive and timer wait complete with 995 and only release.
    ASSERT_TRUE(test_support::wait_until([&] { return c->refs.load() == 2; }));
    EXPECT_EQ(1, c->closes.load());
    for (std::uint32_t e : c->receive_errors())
        EXPECT_NE(platform::err::operation_aborted, e);   // aborted receives do not reach on_receive
    c->release();
    EXPECT_EQ(1u, live_connections::count(task));
    c->release();
    EXPECT_EQ(1, deleted.load());
    EXPECT_EQ(0u, live_connections::count(task));
}

TEST(XConnection, PeerCloseReaches38AndTheReceivePumpStops)
{
    net_test::io_thread t;
    net_test::socket_pair pair;
    auto* c = connected(t, pair, 0xA1000004);
    platform::close_socket(pair.b);
    ASSERT_TRUE(test_support::wait_until([&] { return !c->receive_errors().empty(); }));
    platform::sleep_ms(30);
    // One 38, not a stream of them: nothing more comes from a closed stream.
    const auto errors = c->receive_errors();
    ASSERT_EQ(1u, errors.size());
    EXPECT_EQ(platform::err::handle_eof, errors[0]);
    finish(c);
}

TEST(XConnection, SendWhileASendIsInFlightOnlyAppends)
{
    net_test::io_thread t;
    net_test::socket_pair pair;
    auto* c = connected(t, pair, 0xA1000005);
    // Fill the socket so the first send stays in flight, then queue more.
    std::string big(3 << 20, 'x');
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    ASSERT_TRUE(c->send(big.data(), big.data() + big.size() / 2));
    ASSERT_TRUE(c->send(big.data() + big.size() / 2, big.data() + big.size()));
    EXPECT_EQ(big, read_exactly(pair.b, big.size()));
    ASSERT_TRUE(test_support::wait_until([&] { return c->send_queue_size() == 0; }));
    EXPECT_EQ(big.size(), c->total_sent());
    finish(c);
}

TEST(XConnection, SendQueueIsCapped)
{
    net_test::io_thread t;
    net_test::socket_pair pair;
    auto* c = new probe_connection(t.io, 0xA1000006);
    c->add_ref();
    c->set_send_queue_limit(1 << 20);
    ASSERT_TRUE(c->start(pair.release_a()));
    ASSERT_TRUE(test_support::wait_until([&] { return c->connects.load() == 1; }));
    // The peer reads nothing: the kernel takes some, the queue the rest up
    // to its limit, then sends are refused whole.
    std::vector<char> block(32768, 'b');
    int accepted = 0;
    for (int i = 0; i < 2000; ++i) {
        if (c->send(block.data(), block.data() + block.size()))
            ++accepted;
        else
            break;
    }
    EXPECT_LT(accepted, 2000);
    EXPECT_LE(c->send_queue_size(), std::size_t{1} << 20);
    finish(c);
}

TEST(XConnection, TimerTicksEverySecondAndStopsAfterClose)
{
    test_support::shifted_tick_scope tick;
    net_test::io_thread t;
    net_test::socket_pair pair;
    auto* c = new probe_connection(t.io, 0xA1000007);
    c->add_ref();
    ASSERT_TRUE(c->start(pair.release_a()));
    ASSERT_TRUE(test_support::wait_until([&] { return c->timers.load() >= 1; }, 3000));
    c->close();
    ASSERT_TRUE(test_support::wait_until([&] { return c->refs.load() == 2; }));
    const int ticks = c->timers.load();
    test_support::tick_offset() += 5000;   // seconds of ticks, had the timer stayed
    ASSERT_TRUE(net_test::run_due_timers(t.io));
    EXPECT_EQ(ticks, c->timers.load());
    c->release();
    c->release();
}

TEST(XConnection, SpeedsFollowTheFirstTenSecondsThenStay)
{
    fake_seconds_scope clock;
    net_test::io_thread t;
    net_test::socket_pair pair;
    auto* c = connected(t, pair, 0xA1000008);
    EXPECT_EQ(0.0f, c->get_download_speed());   // nothing received yet
    std::string data(3000, 'd');
    std::uint32_t err = 0;
    platform::send_some(pair.b, data.data(), data.size(), err);
    ASSERT_TRUE(test_support::wait_until([&] { return c->total_received() == 3000; }));
    EXPECT_EQ(0.0f, c->get_download_speed());   // elapsed 0: the stored value
    struct row {
        std::int64_t at;
        float expected;
    };
    const row rows[] = {{1001, 3000.0f}, {1003, 1000.0f}, {1009, 333.0f}, {1010, 333.0f}, {1012, 333.0f}};
    for (const row& r : rows) {
        g_now = r.at;
        EXPECT_EQ(r.expected, c->get_download_speed()) << r.at;
    }
    finish(c);
}

TEST(XConnection, SpeedWithNoCallInTheFirstTenSecondsStaysZero)
{
    fake_seconds_scope clock;
    net_test::io_thread t;
    net_test::socket_pair pair;
    auto* c = connected(t, pair, 0xA1000009);
    std::uint32_t err = 0;
    platform::send_some(pair.b, "abcd", 4, err);
    ASSERT_TRUE(test_support::wait_until([&] { return c->total_received() == 4; }));
    g_now = 1012;
    EXPECT_EQ(0.0f, c->get_download_speed());
    finish(c);
}

TEST(XConnection, PeerInfoRemotePiecesAndInfoString)
{
    net_test::io_thread t;
    auto* c = new probe_connection(t.io, 0xA100000A);
    PeerInfo p{};
    p.clientid = 1234567890123ull;
    p.peertype = 2;
    p.publicip = platform::parse_ipv4("10.1.2.3");
    p.publicport = 9000;
    p.natip = platform::parse_ipv4("1.2.3.4");   // network order, as records hold it
    p.natport = 77;
    c->set_peer_info(p);
    EXPECT_EQ(p.clientid, c->GetPeerInfo()->clientid);
    std::ostringstream os;
    c->get_info_string(os);
    EXPECT_EQ("        client: 1234567890123 peertype: 2         publicip: 10.1.2.3 publicport: 9000"
              "         natip: 1.2.3.4 natport: 77        downloadbytes(kb/s): 0KB/s  0KB/s"
              "        uploadbytes(kb/s): 0KB/s  0KB/s\r\n",
              os.str());
    c->set_remote_pieces(std::vector<std::uint8_t>(4, 0));
    EXPECT_TRUE(c->set_remote_piece(3));
    EXPECT_FALSE(c->set_remote_piece(4));
    EXPECT_EQ((std::vector<std::uint8_t>{0, 0, 0, 1}), c->remote_pieces());
    c->release();
}

TEST(XConnection, FormatAndResolve)
{
    EXPECT_EQ("127.0.0.1", x_connection::format_ipv4(0x7F000001u));
    EXPECT_EQ("255.0.16.1", x_connection::format_ipv4(0xFF001001u));
    EXPECT_EQ(0x7F000001u, x_connection::resolve_host("127.0.0.1"));
    EXPECT_EQ(0x0A000001u, x_connection::resolve_host("10.0.0.1"));
    EXPECT_EQ(0u, x_connection::resolve_host(""));
    // An empty label: the resolver refuses the name itself, so no query leaves the machine.
    EXPECT_EQ(0u, x_connection::resolve_host("no-such-host..invalid"));
}

// Connections closed from another thread while data flows both ways all
// end: every reference is released and the task's live count reaches 0.
TEST(XConnection, CloseFromAnotherThreadDuringTrafficEndsEveryConnection)
{
    net_test::io_thread t;
    net_test::listener l;
    const std::uint64_t task = 0xA100000C;
    constexpr int n = 24;
    std::atomic<int> deleted{0};
    std::vector<probe_connection*> connections;
    std::vector<platform::socket_t> peers;
    for (int i = 0; i < n; ++i) {
        platform::socket_t client = platform::tcp_socket();
        platform::connect_ipv4(client, platform::parse_ipv4("127.0.0.1"), l.port);
        platform::set_non_blocking(client, true);
        peers.push_back(client);
        auto* c = new probe_connection(t.io, task, &deleted);
        c->window = 1024;
        ASSERT_TRUE(c->start(l.accept_one()));
        connections.push_back(c);
    }
    std::atomic<bool> stop{false};
    std::thread pump([&] {
        std::vector<char> data(8192, 'p');
        std::uint32_t err = 0;
        const std::uint64_t end = platform::tick_count64() + 5000;
        while (!stop.load() && platform::tick_count64() < end) {
            for (platform::socket_t p : peers) {
                platform::send_some(p, data.data(), data.size(), err);
                platform::receive_some(p, data.data(), data.size(), err);
            }
        }
    });
    std::vector<char> block(4096, 'c');
    for (int i = 0; i < n; ++i) {
        for (int j = 0; j < 4; ++j)
            connections[i]->send(block.data(), block.data() + block.size());
        platform::sleep_ms(2);   // some of the queue is under way when the close comes
        connections[i]->close();
        connections[i]->release();
    }
    EXPECT_TRUE(test_support::wait_until([&] { return deleted.load() == n; }));
    stop = true;
    pump.join();
    // The base destructor counts out after the derived one has run.
    EXPECT_TRUE(test_support::wait_until([&] { return live_connections::count(task) == 0; }));
    for (platform::socket_t& p : peers)
        platform::close_socket(p);
}

std::size_t heap_in_use()
{
#if defined(__SANITIZE_ADDRESS__)
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

// 1000 connections opened, used and closed in a loop leave no descriptor,
// no live count and (beyond noise) no memory behind.
TEST(XConnection, ThousandConnectionsLeakNothing)
{
    net_test::io_thread t;
    net_test::listener l;
    const std::uint64_t task = 0xA100000B;
    std::atomic<int> deleted{0};
    auto one_round = [&](int i) {
        platform::socket_t client = platform::tcp_socket();
        platform::connect_ipv4(client, platform::parse_ipv4("127.0.0.1"), l.port);
        platform::socket_t server = l.accept_one();
        auto* c = new probe_connection(t.io, task, &deleted);
        c->window = 16;
        if (!c->start(server)) {
            ADD_FAILURE() << "start failed in round " << i;
            c->release();
            return;
        }
        std::uint32_t err = 0;
        platform::send_some(client, "0123456789abcdef", 16, err);
        EXPECT_TRUE(test_support::wait_until([&] { return c->total_received() == 16; }, 5000));
        c->close();
        c->release();
        platform::close_socket(client);
    };
    for (int i = 0; i < 50; ++i)
        one_round(i);   // warm up allocator pools
    ASSERT_TRUE(test_support::wait_until([&] { return live_connections::count(task) == 0; }));
    const std::size_t fds_before = net_test::open_descriptors();
    const std::size_t heap_before = heap_in_use();
    for (int i = 0; i < 1000; ++i)
        one_round(i);
    ASSERT_TRUE(test_support::wait_until([&] { return live_connections::count(task) == 0; }));
    EXPECT_EQ(1050, deleted.load());
    EXPECT_EQ(fds_before, net_test::open_descriptors());
    const std::size_t heap_after = heap_in_use();
    EXPECT_LT(heap_after, heap_before + (256u << 10)) << "heap grew from " << heap_before << " to " << heap_after;
}

}   // namespace
