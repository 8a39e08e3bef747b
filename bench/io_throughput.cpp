// Pushes a volume of data (1 GiB by default) over loopback between two
// x_connection endpoints on one i_io_service with 64 KiB windows, then the
// same volume through a plain blocking socket copy, and prints bytes per
// second for both and completions per second for the I/O service.
//
// Usage: io_throughput [MiB]
#include "loopback_pair.h"
#include "net/conn/x_connection.h"
#include "net/io/io_service.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/tick.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

constexpr std::uint32_t window = 64 * 1024;

// Both endpoints: the sender keeps its queue topped up, the receiver reads
// full windows and counts.
class endpoint : public x_connection {
public:
    endpoint(i_io_service& io, std::uint64_t total, bool sender)
        : x_connection(new i_stream_socket(io), 0xBE7C4), m_total(total), m_sender(sender), m_chunk(window, 0x5A)
    {
    }

    bool assign_task(std::uint32_t) override { return false; }
    void add_ref() override { ++m_refs; }
    void release() override
    {
        if (--m_refs == 0)
            delete this;
    }
    void on_connect() override
    {
        if (m_sender) {
            top_up();
        } else {
            set_receive_window(0, window);
            start_receive();
        }
    }
    void on_close() override { mark_closing(); }
    void on_timer() override {}
    void on_receive(const i_error_code& error, std::uint32_t bytes) override
    {
        if (error) {
            failed = true;
            return;
        }
        received += bytes;
        if (receive_complete())
            set_receive_window(0, window);
        if (received.load() >= m_total)
            done = true;
    }
    void send_have(std::uint32_t) override {}
    void on_send(const i_error_code& error, std::uint32_t) override
    {
        if (error)
            failed = true;
        else
            top_up();
    }

    std::atomic<std::uint64_t> received{0};
    std::atomic<bool> done{false};
    std::atomic<bool> failed{false};

private:
    // Keeps a few windows queued so the socket never waits for the queue.
    void top_up()
    {
        while (m_queued < m_total && send_queue_size() < 4 * window) {
            const std::uint64_t n = std::min<std::uint64_t>(window, m_total - m_queued);
            if (!send(m_chunk.data(), m_chunk.data() + n))
                break;
            m_queued += n;
        }
    }

    std::atomic<int> m_refs{1};
    std::uint64_t m_total;
    bool m_sender;
    std::uint64_t m_queued = 0;
    std::vector<std::uint8_t> m_chunk;
};

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

bool run_io_service(std::uint64_t total, double& seconds, std::uint32_t& completions)
{
    i_io_service io;
    std::atomic<std::uint32_t> count{0};
    platform::Thread thread;
    thread.start([&] { count = io.run(); }, "io");
    platform::socket_t a, b;
    loopback_pair(a, b);
    auto* sender = new endpoint(io, total, true);
    auto* receiver = new endpoint(io, total, false);
    const auto start = std::chrono::steady_clock::now();
    receiver->start(b);
    sender->start(a);
    const std::uint64_t limit_ms = 600000;
    const std::uint64_t begin = platform::tick_count64();
    while (!receiver->done.load() && !receiver->failed.load() && !sender->failed.load() &&
           platform::tick_count64() - begin < limit_ms)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    seconds = seconds_since(start);
    const bool ok = receiver->done.load();
    sender->close();
    receiver->close();
    sender->release();
    receiver->release();
    io.set_stopped();
    io.stop();
    thread.join_for(10000);
    completions = count.load();
    return ok;
}

bool run_blocking_copy(std::uint64_t total, double& seconds)
{
    platform::socket_t a, b;
    loopback_pair(a, b);
    std::atomic<std::uint64_t> got{0};
    const auto start = std::chrono::steady_clock::now();
    std::thread reader([&] {
        std::vector<std::uint8_t> buf(window);
        std::uint32_t error = 0;
        while (got.load() < total) {
            const long n = platform::receive_some(b, buf.data(), buf.size(), error);
            if (n <= 0)
                break;
            got += static_cast<std::uint64_t>(n);
        }
    });
    std::vector<std::uint8_t> chunk(window, 0x5A);
    std::uint64_t sent = 0;
    std::uint32_t error = 0;
    while (sent < total) {
        const long n = platform::send_some(a, chunk.data(), std::min<std::uint64_t>(window, total - sent), error);
        if (n <= 0)
            break;
        sent += static_cast<std::uint64_t>(n);
    }
    reader.join();
    seconds = seconds_since(start);
    platform::close_socket(a);
    platform::close_socket(b);
    return got.load() == total;
}

}   // namespace

int main(int argc, char** argv)
{
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const std::uint64_t total = (mib == 0 ? 1 : mib) << 20;
    std::printf("io_throughput: %llu MiB over 127.0.0.1, %u KiB windows\n",
                static_cast<unsigned long long>(total >> 20), window / 1024);

    double io_seconds = 0;
    std::uint32_t completions = 0;
    if (!run_io_service(total, io_seconds, completions)) {
        std::fprintf(stderr, "x_connection transfer did not finish\n");
        return 1;
    }
    double copy_seconds = 0;
    if (!run_blocking_copy(total, copy_seconds)) {
        std::fprintf(stderr, "blocking copy did not finish\n");
        return 1;
    }
    const double io_rate = static_cast<double>(total) / io_seconds;
    const double copy_rate = static_cast<double>(total) / copy_seconds;
    std::printf("x_connection pair : %8.3f s  %10.1f MiB/s  %12.0f completions/s (%u completions)\n", io_seconds,
                io_rate / (1 << 20), completions / io_seconds, completions);
    std::printf("blocking copy     : %8.3f s  %10.1f MiB/s\n", copy_seconds, copy_rate / (1 << 20));
    std::printf("ratio             : %.2f of the blocking copy\n", io_rate / copy_rate);
    return 0;
}
