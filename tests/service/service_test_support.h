// Helpers of the service tests: an isolated environment (data, runtime and
// system folders, current directory), a real XML-RPC client on 127.0.0.1,
// request documents and bounded waits.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <flxmlrpc/XmlRpcValue.h>

#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace service_test {

// Points the service's folders into a fresh temporary folder and makes it
// the current directory (where the service log lands) for the test's life.
class isolated_env {
public:
    isolated_env();
    ~isolated_env();
    const std::string& root() const { return m_dir.path(); }
    std::string appdata() const { return m_dir.file("appdata"); }
    std::string system_dir() const { return m_dir.file("system"); }
    // The service log of the current directory.
    std::string service_log() const { return m_dir.file("vr_download_dll.log"); }

private:
    test_support::TempDir m_dir;
    std::unique_ptr<test_support::ScopedEnv> m_appdata;
    std::unique_ptr<test_support::ScopedEnv> m_runtime;
    std::unique_ptr<test_support::ScopedEnv> m_system;
    std::string m_old_cwd;
};

using fields = std::vector<std::pair<std::string, std::string>>;

// "<p2spcmd type='TYPE'><version>1</version><gameid>ID</gameid>...".
std::string request_doc(const std::string& type, int game_id, const fields& extra = {});

struct call_result {
    bool answered = false;   // a complete XML-RPC response came back
    bool fault = false;
    std::string text;   // the string result (empty for other types)
};

// One XML-RPC call to 127.0.0.1:port with a 10 s limit.
call_result call(std::uint16_t port, const std::string& method, const XmlRpc::XmlRpcValue& params);

// "ServiceInterface" with the document Base64-encoded; the text is the raw
// result string.
call_result call_service(std::uint16_t port, const std::string& document);

// The same call written on a plain socket: a second caller at the same
// time as call_service (the XML-RPC client's resolver is not thread-safe).
call_result post_service(std::uint16_t port, const std::string& document);

// Base64-decodes a reply; empty when it is not Base64 (a clear-text reply).
std::string decode(const std::string& text);

// The shared bounded wait.
using test_support::wait_until;

// How often `needle` occurs in `text` (overlaps counted).
std::size_t occurrences(const std::string& text, const std::string& needle);

// Whole file, or empty when missing.
std::string read_text(const std::string& path);

// True when 127.0.0.1:port can be bound right now.
bool port_free(std::uint16_t port);

// A listening socket on 127.0.0.1:port that keeps the port taken; invalid
// (fd -1) when the port could not be taken.
class port_blocker {
public:
    explicit port_blocker(std::uint16_t port);
    ~port_blocker();
    port_blocker(const port_blocker&) = delete;
    port_blocker& operator=(const port_blocker&) = delete;
    bool held() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

}   // namespace service_test
