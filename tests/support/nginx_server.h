// A real nginx for the HTTP tests: it writes its own configuration on a
// free 127.0.0.1 port with a temporary prefix, serves a folder (its own
// temporary one unless given) with byte ranges, and answers the CDN query
// "/cdnquery.php?taskid=<id>" with a text set per task id. Started by
// start(), stopped by stop() or the destructor (bounded waits, the process
// is killed when it does not end).
#pragma once

#include <cstdint>
#include <string>
#include <vector>
#include <sys/types.h>

namespace test_support {

class NginxServer {
public:
    // The nginx binary (VR_NGINX overrides it).
    static std::string Binary();
    // True when the binary exists and can be run.
    static bool Available();

    // `root`: the folder served at "/" (empty: a temporary folder the
    // server owns and removes).
    explicit NginxServer(const std::string& root = std::string());
    ~NginxServer();
    NginxServer(const NginxServer&) = delete;
    NginxServer& operator=(const NginxServer&) = delete;

    // Starts nginx and waits (bounded) until it accepts connections. False
    // with a reason in last_error() when it does not come up. nginx is
    // killed when the thread that started it ends (the test process dying
    // included): start it from the thread that outlives its use.
    bool start();
    // Stops nginx (SIGTERM, then SIGKILL after a bound) and reaps it.
    void stop();
    bool running() const { return m_pid > 0; }

    std::uint16_t port() const { return m_port; }
    const std::string& root() const { return m_root; }
    // Its temporary folder: configuration and logs.
    const std::string& prefix() const { return m_prefix; }
    // "http://127.0.0.1:<port>"
    std::string base_url() const;
    // "127.0.0.1:<port>/cdnquery.php?taskid=" (the setting value of the
    // CDN query, without "http://").
    std::string cdn_query_prefix() const;

    // The text the CDN query of `task_id` answers (one URL per line).
    bool SetCdnAnswer(std::uint64_t task_id, const std::string& text);

    // Limits every answer to `rate` ("256k": bytes per second, nginx's
    // units); set before start().
    void SetRateLimit(const std::string& rate) { m_rate = rate; }
    // Requests one connection may carry ("keepalive_requests"; 0: nginx's
    // default); set before start().
    void SetKeepaliveRequests(std::uint32_t requests) { m_keepalive_requests = requests; }

    // One served request as the access log has it.
    struct Served {
        std::string uri;
        std::string range;   // the Range header ("-" when none)
        std::int64_t range_start = -1;
        int status = 0;
        std::uint64_t bytes_sent = 0;   // body bytes written to the client
        std::uint64_t connection = 0;   // nginx's serial number of the connection it came on
    };
    std::vector<Served> AccessLog() const;
    // Lines of the access log that contain `needle` (requests served).
    std::size_t CountAccessLog(const std::string& needle) const;
    std::string ErrorLog() const;
    const std::string& last_error() const { return m_error; }

private:
    bool write_config();
    bool wait_ready(std::uint32_t ms);

    std::string m_prefix;   // temporary folder: configuration, logs, temp paths
    std::string m_root;
    bool m_own_root = false;
    std::uint16_t m_port = 0;
    std::string m_rate;
    std::uint32_t m_keepalive_requests = 0;
    pid_t m_pid = -1;
    std::string m_error;
};

}   // namespace test_support
