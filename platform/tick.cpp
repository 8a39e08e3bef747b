#include "platform/tick.h"
#include "platform/tick_source.h"

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>

namespace platform {

namespace {
std::atomic<tick_source> g_source{nullptr};
}

std::uint64_t tick_count64()
{
    using namespace std::chrono;
    return static_cast<std::uint64_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

std::uint32_t tick_count()
{
    if (tick_source s = g_source.load(std::memory_order_acquire))
        return s();
    return static_cast<std::uint32_t>(tick_count64());
}

void set_tick_source(tick_source source)
{
    g_source.store(source, std::memory_order_release);
}

bool tick_source_replaced()
{
    return g_source.load(std::memory_order_acquire) != nullptr;
}

std::int64_t unix_time()
{
    return static_cast<std::int64_t>(std::time(nullptr));
}

void sleep_ms(std::uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

}   // namespace platform
