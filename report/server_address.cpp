#include "report/server_address.h"

#include <cstdlib>

#include "platform/socket.h"

bool ParseServerAddress(const std::string& text, std::uint16_t default_port, ServerAddress& out)
{
    std::string host = text;
    std::uint16_t port = default_port;
    const std::size_t colon = text.rfind(':');
    if (colon != std::string::npos) {
        host = text.substr(0, colon);
        const std::string digits = text.substr(colon + 1);
        if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos)
            return false;
        const long value = std::strtol(digits.c_str(), nullptr, 10);
        if (value < 1 || value > 65535)
            return false;
        port = static_cast<std::uint16_t>(value);
    }
    const std::size_t first = host.find_first_not_of(" \t");
    const std::size_t last = host.find_last_not_of(" \t");
    if (first == std::string::npos)
        return false;
    out.host = host.substr(first, last - first + 1);
    out.port = port;
    return true;
}

ServerAddress ServerAddressFromEnv(const char* variable, std::uint16_t default_port)
{
    ServerAddress address{"127.0.0.1", default_port};
    const char* value = variable ? std::getenv(variable) : nullptr;
    if (value && *value) {
        ServerAddress parsed;
        if (ParseServerAddress(value, default_port, parsed))
            address = parsed;
    }
    return address;
}

std::uint32_t ResolveServerHost(const std::string& host)
{
    const std::uint32_t dotted = platform::parse_ipv4(host);
    if (dotted != platform::ipv4_none)
        return dotted;
    return platform::resolve_first_ipv4(host);
}
