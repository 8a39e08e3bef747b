// An open file descriptor shared by its owners and closed when the last
// lets go, so a send queued from a file keeps the file open until it has
// gone out, whatever its first owner does meanwhile.
#pragma once

#include <cstdint>

namespace platform {

class file_handle {
public:
    explicit file_handle(int fd) : m_fd(fd) {}
    ~file_handle();
    file_handle(const file_handle&) = delete;
    file_handle& operator=(const file_handle&) = delete;

    int fd() const { return m_fd; }

private:
    const int m_fd;
};

// True when every byte of [offset, offset + length) of the file is in the
// system's page cache, so reading it cannot wait for the disk. False when
// any is not, or when the system cannot tell.
bool in_page_cache(int fd, std::uint64_t offset, std::uint64_t length);

// Has the system set up its page cache for [offset, offset + length) of the
// file (reading what the file holds there; a hole comes as zeros), without
// the file's write lock: a write there afterwards only copies. Best effort.
void cache_range(int fd, std::uint64_t offset, std::uint64_t length);

}   // namespace platform
