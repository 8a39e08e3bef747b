#pragma once
// A per-process scratch path in $TMPDIR (or /tmp) for targets whose parser
// reads from disk; the file or folder there is removed at a normal exit.

#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace fuzz_scratch {

// "<tmp>/<stem>.<pid><suffix>": one path per process, fixed by the first
// call.
inline const std::string& path(const char* stem, const char* suffix = "")
{
    static const std::string p = [&] {
        const char* dir = std::getenv("TMPDIR");
        return std::string(dir && *dir ? dir : "/tmp") + "/" + stem + "." + std::to_string(getpid()) + suffix;
    }();
    // Registered after `p` is built, so it runs before `p` is destroyed.
    static const bool cleanup = (std::atexit([] {
                                     std::error_code ec;
                                     std::filesystem::remove_all(p, ec);
                                 }),
                                 true);
    (void)cleanup;
    return p;
}

// Replaces the file's content with the bytes; false when it cannot.
inline bool write(const std::string& file, const void* data, size_t size)
{
    std::FILE* f = std::fopen(file.c_str(), "wb");
    if (!f)
        return false;
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

}   // namespace fuzz_scratch
