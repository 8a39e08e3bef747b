// Threads of this process by name, as the system lists them.
#pragma once

#include <cstddef>
#include <filesystem>
#include <fstream>
#include <string>

namespace test_support {

// Live threads of this process named `name` (names are cut to 15 bytes).
inline std::size_t threads_named(const std::string& name)
{
    std::size_t n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream comm(entry.path() / "comm");
        std::string line;
        if (std::getline(comm, line) && line == name.substr(0, 15))
            ++n;
    }
    return n;
}

}   // namespace test_support
