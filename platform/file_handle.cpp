#include "platform/file_handle.h"

#include <fcntl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>

namespace platform {

file_handle::~file_handle()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

namespace {
// cachestat(2), Linux 6.5 and later.
#ifdef SYS_cachestat
constexpr long kCachestat = SYS_cachestat;
#else
constexpr long kCachestat = 451;
#endif
struct cachestat_range {
    std::uint64_t off;
    std::uint64_t len;
};
struct cachestat_counts {
    std::uint64_t nr_cache;
    std::uint64_t nr_dirty;
    std::uint64_t nr_writeback;
    std::uint64_t nr_evicted;
    std::uint64_t nr_recently_evicted;
};
std::atomic<bool> g_unsupported{false};
}   // namespace

bool in_page_cache(int fd, std::uint64_t offset, std::uint64_t length)
{
    if (fd < 0 || length == 0 || g_unsupported.load(std::memory_order_relaxed))
        return false;
    const long page = ::sysconf(_SC_PAGESIZE);
    const std::uint64_t page_size = page > 0 ? static_cast<std::uint64_t>(page) : 4096;
    cachestat_range range{offset, length};
    cachestat_counts counts{};
    if (::syscall(kCachestat, fd, &range, &counts, 0) != 0) {
        // (Older kernels lack the call; a sandbox may forbid it.)
        if (errno == ENOSYS || errno == EPERM)
            g_unsupported.store(true, std::memory_order_relaxed);
        return false;
    }
    const std::uint64_t pages = (offset + length - 1) / page_size - offset / page_size + 1;
    return counts.nr_cache >= pages;
}

void cache_range(int fd, std::uint64_t offset, std::uint64_t length)
{
    // (The system reads ahead at most a window per call.)
    constexpr std::uint64_t kStep = std::uint64_t(128) << 10;
    for (std::uint64_t at = 0; fd >= 0 && at < length; at += kStep) {
        if (::readahead(fd, static_cast<off64_t>(offset + at),
                        static_cast<std::size_t>(std::min(length - at, kStep))) != 0)
            return;
    }
}

}   // namespace platform
