// Positional writes to files through one replaceable function, so that a
// test can make the disk fail (full, say) without a small file system.
#pragma once

#include <cstddef>
#include <cstdint>

namespace platform {

// pwrite(2): bytes written, or -1 with errno set.
long write_at(int fd, const void* data, std::size_t size, std::int64_t offset);

// Replaces the function behind write_at() (tests: return -1 with errno
// ENOSPC to fill the disk); nullptr restores pwrite.
using write_at_source = long (*)(int fd, const void* data, std::size_t size, std::int64_t offset);
void set_write_at_source(write_at_source source);

}   // namespace platform
