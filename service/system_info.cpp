#include "service/system_info.h"

#include <cerrno>
#include <cstring>

#include "platform/paths.h"

namespace kx2dll {

std::string get_system_directory()
{
    return platform::system_dir();
}

std::string get_last_error_text()
{
    const int error = errno;
    if (error == 0)
        return {};
    char buffer[256] = {};
    // GNU strerror_r may return a static text instead of filling the buffer.
    const char* text = strerror_r(error, buffer, sizeof buffer);
    return text != nullptr ? std::string(text) : std::string();
}

}   // namespace kx2dll
