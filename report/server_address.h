// Built-in server addresses of the reporting uploads. Each defaults to the
// local machine and is overridden by an environment variable holding
// "host[:port]":
//   VR_LOG_SERVER      connection log server      (default 127.0.0.1:80)
//   VR_DATALOG_SERVER  download-data upload       (default 127.0.0.1:5113)
//   VR_BOOTLOG_SERVER  run-time and exception log (default 127.0.0.1:5113)
#pragma once

#include <cstdint>
#include <string>

struct ServerAddress {
    std::string host;
    std::uint16_t port = 0;
};

// The address named by environment variable `variable` ("host[:port]"), or
// 127.0.0.1 and `default_port` when it is unset, empty or malformed; a
// missing or invalid port gives `default_port`.
ServerAddress ServerAddressFromEnv(const char* variable, std::uint16_t default_port);

// Splits "host[:port]"; false when the host is empty or the port is not a
// number in 1..65535.
bool ParseServerAddress(const std::string& text, std::uint16_t default_port, ServerAddress& out);

// The IPv4 address (network order) of a dotted address or host name; 0 when
// it cannot be resolved. A name may block for the resolver's time.
std::uint32_t ResolveServerHost(const std::string& host);
