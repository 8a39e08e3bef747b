#include "support/heap_peak.h"

#include <algorithm>
#include <atomic>
#include <cstdint>

#if defined(__SANITIZE_ADDRESS__)
extern "C" {
int __sanitizer_install_malloc_and_free_hooks(void (*malloc_hook)(const volatile void*, std::size_t),
                                              void (*free_hook)(const volatile void*));
std::size_t __sanitizer_get_allocated_size(const volatile void* p);
}
#endif

namespace test_support {
namespace {

std::atomic<bool> g_armed{false};
std::atomic<std::int64_t> g_in_use{0};   // bytes above the start
std::atomic<std::int64_t> g_peak{0};

#if defined(__SANITIZE_ADDRESS__)
void on_malloc(const volatile void*, std::size_t size)
{
    if (!g_armed.load(std::memory_order_relaxed))
        return;
    const std::int64_t now = g_in_use.fetch_add(std::int64_t(size), std::memory_order_relaxed) + std::int64_t(size);
    std::int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}

// Runs before the block is released, so its size is still known.
void on_free(const volatile void* p)
{
    if (p && g_armed.load(std::memory_order_relaxed))
        g_in_use.fetch_sub(std::int64_t(__sanitizer_get_allocated_size(p)), std::memory_order_relaxed);
}

bool install()
{
    static const bool installed = __sanitizer_install_malloc_and_free_hooks(&on_malloc, &on_free) != 0;
    return installed;
}
#else
bool install()
{
    return false;
}
#endif

}   // namespace

bool HeapPeak::supported()
{
    return install();
}

HeapPeak::HeapPeak()
{
    if (!install())
        return;
    g_in_use = 0;
    g_peak = 0;
    g_armed = true;
}

HeapPeak::~HeapPeak()
{
    g_armed = false;
}

std::size_t HeapPeak::peak() const
{
    return std::size_t(std::max<std::int64_t>(0, g_peak.load()));
}

std::size_t HeapPeak::now() const
{
    return std::size_t(std::max<std::int64_t>(0, g_in_use.load()));
}

}   // namespace test_support
