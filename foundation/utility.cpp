#include "foundation/utility.h"

#include "platform/paths.h"

#include <cstdlib>

int CUtility::CreateDirectoryRecursive(const std::string& path)
{
    const std::string folder = platform::from_windows_path(path);
    if (folder.empty())
        return -1;
    return platform::create_folder(folder) ? 0 : -1;
}

bool CUtility::ParseUrl(const std::string& url, std::string& host, std::uint16_t& port, std::string& path)
{
    host.clear();
    path = "/";
    port = 80;
    std::string rest = url;
    const std::size_t scheme = rest.find("://");
    if (scheme != std::string::npos)
        rest = rest.substr(scheme + 3);
    const std::size_t slash = rest.find('/');
    std::string authority = rest.substr(0, slash);
    if (slash != std::string::npos)
        path = rest.substr(slash);
    const std::size_t colon = authority.find(':');
    if (colon != std::string::npos) {
        const std::string digits = authority.substr(colon + 1);
        authority.resize(colon);
        char* end = nullptr;
        const long value = std::strtol(digits.c_str(), &end, 10);
        if (!digits.empty() && end && *end == '\0' && value > 0 && value <= 65535)
            port = static_cast<std::uint16_t>(value);
    }
    host = authority;
    return !host.empty();
}
