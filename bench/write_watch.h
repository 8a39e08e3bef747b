// When this process's writes of a download begin and end: a thread reads
// the process's written-bytes count (/proc/self/io, wchar) every few
// milliseconds, so that a download's time splits into set-up (until the
// first piece is written), transfer (first to last write) and completion
// (last write to the completion event), and the transfer's own rate shows
// beside the rate over the whole time.
#pragma once

#include "platform/thread.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>
#include <thread>

namespace bench {

// Bytes this process has written so far (files and sockets); -1 unknown.
inline std::int64_t WrittenBytes()
{
    std::ifstream io("/proc/self/io");
    std::string key;
    std::int64_t value = 0;
    while (io >> key >> value) {
        if (key == "wchar:")
            return value;
    }
    return -1;
}

class WriteWatch {
public:
    using clock = std::chrono::steady_clock;

    // Starts watching; writes of `threshold` bytes or more since now mark
    // the first write (small log lines before do not).
    explicit WriteWatch(std::int64_t threshold) : m_threshold(threshold), m_start(clock::now())
    {
        m_base = WrittenBytes();
        m_thread.start([this] { run(); }, "write watch");
    }
    ~WriteWatch() { Stop(); }
    WriteWatch(const WriteWatch&) = delete;
    WriteWatch& operator=(const WriteWatch&) = delete;

    void Stop()
    {
        m_stop.store(true);
        m_thread.join_for(10000);
    }
    // False when nothing as large as the threshold was written.
    bool Seen() const { return m_seen; }
    // Seconds from the start to the first and to the last write.
    double FirstSeconds() const { return std::chrono::duration<double>(m_first - m_start).count(); }
    double LastSeconds() const { return std::chrono::duration<double>(m_last - m_start).count(); }
    // Bytes written from the first write to the last.
    std::int64_t Bytes() const { return m_last_bytes - m_first_bytes; }

private:
    void run()
    {
        std::int64_t previous = m_base;
        while (!m_stop.load() && m_base >= 0) {
            const std::int64_t now = WrittenBytes();
            const clock::time_point at = clock::now();
            if (!m_seen && now - m_base >= m_threshold) {
                m_seen = true;
                m_first = at;
                m_first_bytes = now;
            }
            if (m_seen && now != previous) {
                m_last = at;
                m_last_bytes = now;
            }
            previous = now;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    const std::int64_t m_threshold;
    const clock::time_point m_start;
    std::int64_t m_base = -1;
    // Written by the watching thread, read after Stop.
    bool m_seen = false;
    clock::time_point m_first{};
    clock::time_point m_last{};
    std::int64_t m_first_bytes = 0;
    std::int64_t m_last_bytes = 0;
    std::atomic<bool> m_stop{false};
    platform::Thread m_thread;
};

}   // namespace bench
