// A log server for the connection tests and the records it received.
#pragma once

#include "report/log_connection.h"
#include "support/fake_log_server.h"

#include <string>

namespace net_test {

// A log server on 127.0.0.1 installed as the process's log connection for
// the life of the object.
struct installed_log_server {
    FakeLogServer server;
    bool ok = false;

    installed_log_server() { ok = server.Start() && CreateProcessLogConnection("127.0.0.1", server.port(), nullptr); }
    ~installed_log_server() { DestroyProcessLogConnection(); }
};

// True when an HTTP-server record ("GET /'h,...") counted result code
// `result` (its results read "<code>x<count>" joined by '+').
inline bool http_record_with_result(const FakeLogServer& server, int result)
{
    const std::string first = "," + std::to_string(result) + "x";
    const std::string later = "+" + std::to_string(result) + "x";
    for (const std::string& line : server.RequestLines()) {
        if (line.compare(0, 7, "GET /'h") == 0 &&
            (line.find(first) != std::string::npos || line.find(later) != std::string::npos))
            return true;
    }
    return false;
}

}   // namespace net_test
