#include "net/io/stream_socket.h"

#include "io_test_util.h"
#include "platform/error_codes.h"
#include "platform/file_handle.h"
#include "support/temp_dir.h"

#include <fcntl.h>

#include <gtest/gtest.h>

#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

// Records the handler calls of one socket.
struct calls {
    std::mutex lock;
    std::vector<std::uint32_t> errors;
    std::vector<std::uint32_t> bytes;
    std::vector<std::thread::id> threads;
    void add(std::uint32_t e, std::uint32_t b)
    {
        std::lock_guard<std::mutex> guard(lock);
        errors.push_back(e);
        bytes.push_back(b);
        threads.push_back(std::this_thread::get_id());
    }
    std::size_t size()
    {
        std::lock_guard<std::mutex> guard(lock);
        return errors.size();
    }
    std::uint32_t error(std::size_t i)
    {
        std::lock_guard<std::mutex> guard(lock);
        return errors.at(i);
    }
};

void on_done(void* c, const i_error_code& e)
{
    static_cast<calls*>(c)->add(e.value, 0);
}
void on_transfer(void* c, const i_error_code& e, std::uint32_t n)
{
    static_cast<calls*>(c)->add(e.value, n);
}

TEST(StreamSocket, AssignSendReceiveOnTheIoThread)
{
    net_test::io_thread t;
    net_test::socket_pair pair;
    i_stream_socket s(t.io);
    calls adopted, sent, received;
    const int native = pair.release_a();
    s.assign(native, &on_done, &adopted);
    ASSERT_TRUE(test_support::wait_until([&] { return adopted.size() == 1; }));
    EXPECT_EQ(0u, adopted.error(0));
    EXPECT_EQ(native, s.native());

    const std::string text = "hello over loopback";
    s.async_send(text.data(), static_cast<std::uint32_t>(text.size()), &on_transfer, &sent);
    ASSERT_TRUE(test_support::wait_until([&] { return sent.size() == 1; }));
    EXPECT_EQ(0u, sent.error(0));
    EXPECT_EQ(text.size(), sent.bytes[0]);
    char back[64] = {};
    std::uint32_t err = 0;
    EXPECT_EQ(static_cast<long>(text.size()), platform::receive_some(pair.b, back, sizeof(back), err));

    char buffer[64] = {};
    s.async_receive(buffer, sizeof(buffer), &on_transfer, &received);
    platform::sleep_ms(20);
    EXPECT_EQ(0u, received.size());   // nothing sent yet: pending
    platform::send_some(pair.b, "abc", 3, err);
    ASSERT_TRUE(test_support::wait_until([&] { return received.size() == 1; }));
    EXPECT_EQ(0u, received.error(0));
    EXPECT_EQ(3u, received.bytes[0]);
    EXPECT_EQ(std::string("abc"), std::string(buffer, 3));
    for (auto id : adopted.threads)
        EXPECT_EQ(t.thread_id(), id);
    EXPECT_EQ(t.thread_id(), sent.threads[0]);
    EXPECT_EQ(t.thread_id(), received.threads[0]);
}

// A range of a file is sent from the file, in part when the socket takes
// less; a range past the file's end ends with 38; a peer that went away is
// an error, never a signal that ends the process.
TEST(StreamSocket, FileRangesAreSentFromTheFile)
{
    test_support::TempDir dir;
    std::string bytes(100000, '\0');
    for (std::size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7 + i / 251);
    const std::string path = dir.file("data.bin");
    {
        std::ofstream(path, std::ios::binary) << bytes;
    }
    auto file = std::make_shared<const platform::file_handle>(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    ASSERT_GE(file->fd(), 0);

    net_test::io_thread t;
    net_test::socket_pair pair;
    i_stream_socket s(t.io);
    calls adopted, sent;
    s.assign(pair.release_a(), &on_done, &adopted);
    auto send_and_read = [&](std::uint64_t offset, std::uint32_t length) {
        const std::size_t before = sent.size();
        s.async_send_file(file, offset, length, &on_transfer, &sent);
        EXPECT_TRUE(test_support::wait_until([&] { return sent.size() == before + 1; }));
        std::string got(sent.bytes.at(before), '\0');
        std::size_t have = 0;
        std::uint32_t err = 0;
        while (have < got.size()) {
            const long n = platform::receive_some(pair.b, &got[have], got.size() - have, err);
            if (n <= 0)
                break;
            have += std::size_t(n);
        }
        return got;
    };
    std::uint64_t offset = 1000;
    while (offset < 51000) {
        const std::string got = send_and_read(offset, std::uint32_t(51000 - offset));
        ASSERT_EQ(0u, sent.error(sent.size() - 1));
        ASSERT_FALSE(got.empty());
        EXPECT_EQ(bytes.substr(offset, got.size()), got);
        offset += got.size();
    }
    EXPECT_EQ(bytes.substr(bytes.size() - 10), send_and_read(bytes.size() - 10, 100));
    send_and_read(bytes.size(), 100);
    EXPECT_EQ(platform::err::handle_eof, sent.error(sent.size() - 1));

    platform::close_socket(pair.b);
    std::uint32_t error = 0;
    for (int i = 0; i < 50 && error == 0; ++i) {
        const std::size_t before = sent.size();
        s.async_send_file(file, 0, std::uint32_t(bytes.size()), &on_transfer, &sent);
        ASSERT_TRUE(test_support::wait_until([&] { return sent.size() == before + 1; }));
        error = sent.error(before);
    }
    EXPECT_NE(0u, error);
}

TEST(StreamSocket, ZeroLengthTransfersCompleteWithoutTouchingTheSocket)
{
    net_test::io_thread t;
    i_stream_socket closed(t.io);   // not even open
    calls c;
    char b[1];
    closed.async_receive(b, 0, &on_transfer, &c);
    closed.async_send(b, 0, &on_transfer, &c);
    ASSERT_TRUE(test_support::wait_until([&] { return c.size() == 2; }));
    EXPECT_EQ(0u, c.error(0));
    EXPECT_EQ(0u, c.error(1));
    EXPECT_EQ(0u, c.bytes[0]);
}

TEST(StreamSocket, PeerCloseGives38)
{
    net_test::io_thread t;
    net_test::socket_pair pair;
    i_stream_socket s(t.io);
    calls adopted, received;
    s.assign(pair.release_a(), &on_done, &adopted);
    char buffer[16];
    s.async_receive(buffer, sizeof(buffer), &on_transfer, &received);
    platform::close_socket(pair.b);
    ASSERT_TRUE(test_support::wait_until([&] { return received.size() == 1; }));
    EXPECT_EQ(platform::err::handle_eof, received.error(0));
    EXPECT_EQ(0u, received.bytes[0]);
}

TEST(StreamSocket, CloseAbortsPendingTransfersWith995)
{
    net_test::io_thread t;
    net_test::socket_pair pair;
    i_stream_socket s(t.io);
    calls adopted, received;
    s.assign(pair.release_a(), &on_done, &adopted);
    char buffer[16];
    s.async_receive(buffer, sizeof(buffer), &on_transfer, &received);
    s.close();
    EXPECT_EQ(i_stream_socket::invalid_native, s.native());
    ASSERT_TRUE(test_support::wait_until([&] { return received.size() == 1; }));
    EXPECT_EQ(platform::err::operation_aborted, received.error(0));
    s.close();   // already closed: nothing
    // Operations on a closed socket fail at once with "not a socket".
    s.async_receive(buffer, sizeof(buffer), &on_transfer, &received);
    ASSERT_TRUE(test_support::wait_until([&] { return received.size() == 2; }));
    EXPECT_EQ(platform::err::not_socket, received.error(1));
}

TEST(StreamSocket, SecondTransferOfAKindWhileOneIsInFlightIsRefused)
{
    net_test::io_thread t;
    net_test::socket_pair pair;
    i_stream_socket s(t.io);
    calls adopted, first, second;
    s.assign(pair.release_a(), &on_done, &adopted);
    char a[8], b[8];
    s.async_receive(a, sizeof(a), &on_transfer, &first);
    s.async_receive(b, sizeof(b), &on_transfer, &second);
    ASSERT_TRUE(test_support::wait_until([&] { return second.size() == 1; }));
    EXPECT_EQ(platform::err::in_progress, second.error(0));
    EXPECT_EQ(0u, first.size());
    s.close();
    ASSERT_TRUE(test_support::wait_until([&] { return first.size() == 1; }));
}

TEST(StreamSocket, AssignOfAnInvalidSocketDoesNothing)
{
    net_test::io_thread t;
    i_stream_socket s(t.io);
    calls adopted;
    s.assign(i_stream_socket::invalid_native, &on_done, &adopted);
    // A completion assign queued would have run before this barrier's posts.
    ASSERT_TRUE(net_test::run_due_timers(t.io));
    EXPECT_EQ(0u, adopted.size());
    EXPECT_FALSE(s.is_open());
}

TEST(StreamSocket, ConnectOutcomes)
{
    net_test::io_thread t;
    {
        // Accepted connect.
        net_test::listener l;
        i_stream_socket s(t.io);
        calls c;
        s.async_connect(i_tcp_endpoint(net_test::loopback_host_order(), l.port), &on_done, &c);
        ASSERT_TRUE(test_support::wait_until([&] { return c.size() == 1; }));
        EXPECT_EQ(0u, c.error(0));
        EXPECT_TRUE(s.is_open());
    }
    {
        // Refused: nobody listens.
        i_stream_socket s(t.io);
        calls c;
        s.async_connect(i_tcp_endpoint(net_test::loopback_host_order(), net_test::unused_port()), &on_done, &c);
        ASSERT_TRUE(test_support::wait_until([&] { return c.size() == 1; }));
        EXPECT_EQ(platform::err::connection_refused, c.error(0));
    }
}

TEST(StreamSocket, CloseDuringConnectGives995)
{
    net_test::io_thread t;
    // The connect stays pending on a listener whose accept queue is full.
    net_test::full_listener full;
    i_stream_socket s(t.io);
    calls c;
    s.async_connect(i_tcp_endpoint(net_test::loopback_host_order(), full.l.port), &on_done, &c);
    platform::sleep_ms(50);
    const bool pending = c.size() == 0;
    s.close();
    ASSERT_TRUE(test_support::wait_until([&] { return c.size() == 1; }));
    if (!pending)
        GTEST_SKIP() << "the loopback listener did not leave the connect pending";
    EXPECT_EQ(platform::err::operation_aborted, c.error(0));
}

TEST(StreamSocket, LargeTransferArrivesIntact)
{
    net_test::io_thread t;
    net_test::socket_pair pair;
    i_stream_socket s(t.io);
    calls adopted;
    s.assign(pair.release_a(), &on_done, &adopted);
    std::vector<std::uint8_t> data(4 << 20);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>(i * 7 + (i >> 12));
    // The reader drains on a plain thread while the socket sends in pieces.
    std::vector<std::uint8_t> got;
    std::thread reader([&] {
        std::vector<std::uint8_t> buf(65536);
        std::uint32_t err = 0;
        while (got.size() < data.size()) {
            if (platform::wait_readable(pair.b, 5000) != 1)
                break;
            long n = platform::receive_some(pair.b, buf.data(), buf.size(), err);
            if (n <= 0)
                break;
            got.insert(got.end(), buf.begin(), buf.begin() + n);
        }
    });
    struct sender {
        i_stream_socket* s;
        std::vector<std::uint8_t>* data;
        std::atomic<std::size_t> offset{0};
        std::atomic<bool> failed{false};
        static void handle(void* p, const i_error_code& e, std::uint32_t n)
        {
            auto* x = static_cast<sender*>(p);
            if (e) {
                x->failed = true;
                return;
            }
            x->offset += n;
            x->next();
        }
        void next()
        {
            const std::size_t o = offset.load();
            if (o < data->size())
                s->async_send(data->data() + o, static_cast<std::uint32_t>(data->size() - o), &handle, this);
        }
    } snd{&s, &data};
    snd.next();
    reader.join();
    // The reader can have every byte before the I/O thread has run the last
    // send's handler; that handler still uses snd.
    EXPECT_TRUE(test_support::wait_until([&] { return snd.failed.load() || snd.offset.load() == data.size(); }));
    EXPECT_FALSE(snd.failed.load());
    EXPECT_EQ(data.size(), snd.offset.load());
    EXPECT_TRUE(got == data);
}

}   // namespace

// Once the I/O thread has ended for good, a receive still waiting for data
// is completed as cancelled by run_abandoned on the caller's thread, so its
// handler can release what it holds.
TEST(StreamSocket, AWaitingReceiveIsCancelledWhenTheServiceAbandonsIt)
{
    net_test::io_thread t;
    net_test::socket_pair pair;
    i_stream_socket s(t.io);
    calls adopted, received;
    s.assign(pair.release_a(), &on_done, &adopted);
    ASSERT_TRUE(test_support::wait_until([&] { return adopted.size() == 1; }));
    char buffer[16];
    s.async_receive(buffer, sizeof(buffer), &on_transfer, &received);
    ASSERT_TRUE(t.stop());
    EXPECT_EQ(0u, received.size());

    EXPECT_EQ(1u, t.io.run_abandoned());
    ASSERT_EQ(1u, received.size());
    EXPECT_EQ(platform::err::operation_aborted, received.error(0));
    EXPECT_EQ(0u, received.bytes[0]);
    EXPECT_EQ(std::this_thread::get_id(), received.threads[0]);
    s.close();   // nothing is pending any more: no second completion
    EXPECT_EQ(0u, t.io.run_abandoned());
    EXPECT_EQ(1u, received.size());
}
