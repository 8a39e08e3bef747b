// The longest pause between two file writes of the engine: with every
// block a piece of its own, how long a running download's blocks stopped
// arriving. Install Write with platform::set_write_at_source.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unistd.h>

namespace test_support {

struct WriteGaps {
    static inline std::atomic<bool> watching{false};
    static inline std::atomic<std::int64_t> last_us{0};
    static inline std::atomic<std::int64_t> longest_us{0};   // while watching
    static inline std::atomic<std::uint32_t> writes{0};

    // Forgets every write seen so far: call before installing Write, so a
    // test repeated in one process starts from nothing.
    static void Reset()
    {
        watching.store(false);
        writes.store(0);
        last_us.store(0);
        longest_us.store(0);
    }
    // Starts a new watch: the pauses from now on count.
    static void Watch()
    {
        longest_us.store(0);
        watching.store(true);
    }
    static void Unwatch() { watching.store(false); }

    static long Write(int fd, const void* data, std::size_t size, std::int64_t offset)
    {
        const std::int64_t now =
            std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
                .count();
        ++writes;
        const std::int64_t last = last_us.exchange(now);
        if (watching.load() && last != 0) {
            std::int64_t longest = longest_us.load();
            while (now - last > longest && !longest_us.compare_exchange_weak(longest, now - last)) {
            }
        }
        return ::pwrite(fd, data, size, off_t(offset));
    }
};

}   // namespace test_support
