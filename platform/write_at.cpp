#include "platform/write_at.h"

#include <atomic>
#include <unistd.h>

namespace platform {

namespace {
std::atomic<write_at_source> g_source{nullptr};
}

long write_at(int fd, const void* data, std::size_t size, std::int64_t offset)
{
    if (write_at_source s = g_source.load(std::memory_order_acquire))
        return s(fd, data, size, offset);
    return static_cast<long>(::pwrite(fd, data, size, static_cast<off_t>(offset)));
}

void set_write_at_source(write_at_source source)
{
    g_source.store(source, std::memory_order_release);
}

}   // namespace platform
