// The launcher's XML-RPC server: XmlRpc++ bound to 127.0.0.1 only, serving in
// bounded time slices so a stop request is seen promptly, with bounded
// request sizes, nesting, connection counts and idle time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <flxmlrpc/XmlRpcServer.h>

#include "service/call_workers.h"

namespace kx2dll {

class bounded_connection;
class call_completions;

class launcher_rpc_server : public XmlRpc::XmlRpcServer {
public:
    static constexpr std::size_t max_header_bytes = 16 * 1024;
    static constexpr std::size_t max_body_bytes = 1024 * 1024;
    static constexpr std::size_t max_nesting = 64;
    static constexpr std::size_t max_connections = 32;
    static constexpr std::uint32_t default_idle_limit_ms = 30000;
    static constexpr std::uint32_t default_request_limit_ms = 5000;
    static constexpr std::uint32_t default_yield_silence_ms = 1000;
    // Calls that may wait run on at most this many threads at once.
    static constexpr std::size_t max_waiting_calls = 4;

    // Tells from a call's method name and parameters whether it may wait
    // (for a server, for the engine); such calls run on the call workers
    // and are answered when they end, the others at once.
    using wait_test = std::function<bool(const std::string& method, XmlRpc::XmlRpcValue& params)>;

    // Connections silent for longer than `idle_limit_ms` are closed, and so
    // are those whose request (header and body) is not complete within
    // `request_limit_ms` of its first byte, however steadily it trickles.
    // With every slot taken, a new connection takes the place of the one
    // silent longest, when that has been silent for `yield_silence_ms`.
    explicit launcher_rpc_server(std::uint32_t idle_limit_ms = default_idle_limit_ms,
                                 std::uint32_t request_limit_ms = default_request_limit_ms,
                                 std::uint32_t yield_silence_ms = default_yield_silence_ms);
    ~launcher_rpc_server() override;

    // Listens on 127.0.0.1:port (non-blocking). False when the port cannot
    // be bound; the server is then left without a socket.
    bool bind_loopback(std::uint16_t port);

    // Serves calls for about `ms` milliseconds, then closes connections
    // idle for longer than the idle limit, past their request deadline or
    // given up for a newer one.
    void serve_for(std::uint32_t ms);

    // Closes the listening socket and every connection; a call still
    // running on a worker is waited for, those not begun are dropped.
    void close_all();

    // Set before serving (network thread).
    void set_wait_test(wait_test test) { m_wait_test = std::move(test); }

    // Number of open client connections (readable from any thread).
    std::size_t connection_count() const { return m_connection_count.load(); }

    // A complete HTTP response carrying an XML-RPC fault with the text.
    std::string fault_response(const std::string& text);

    // Refuses bodies the library's parser could recurse too deep into or
    // leave half parsed (see check_xmlrpc_call).
    std::string executeRequest(std::string const& request) override;

    // Network thread: runs a complete request of the connection, at once
    // or on a worker; true when the answer is left for later.
    bool begin_call(bounded_connection* connection, const std::string& request);

protected:
    XmlRpc::XmlRpcServerConnection* createConnection(XmlRpc::XmlRpcSocket::Socket socket) override;
    void removeConnection(XmlRpc::XmlRpcServerConnection* connection) override;

private:
    void close_spent_connections();
    // With every slot taken, gives up the connection silent longest; false
    // when none has been silent for the yield silence.
    bool give_up_a_silent_connection();
    // Writes the fault straight to the socket, as far as it takes it at
    // once, and ends the sending side; the caller closes the socket.
    void refuse_socket(int fd, const std::string& why);
    // Network thread: hands each finished call's answer to its connection,
    // when that is still open.
    void deliver_answers();

    friend class call_completions;

    // Open connections (all of them bounded_connection), for the sweep.
    std::set<XmlRpc::XmlRpcServerConnection*> m_connections;
    std::atomic<std::size_t> m_connection_count{0};   // size of m_connections, for other threads
    const std::uint32_t m_idle_limit_ms;
    const std::uint32_t m_request_limit_ms;
    const std::uint32_t m_yield_silence_ms;

    wait_test m_wait_test;
    std::uint64_t m_next_call = 0;   // numbers the calls given to workers (network thread)
    // Answers of calls that ended on a worker, by call number.
    std::mutex m_answers_lock;   // guards m_answers
    std::deque<std::pair<std::uint64_t, std::string>> m_answers;
    std::unique_ptr<call_completions> m_completions;   // wakes the dispatch loop for them
    std::unique_ptr<call_workers> m_workers;
};

}   // namespace kx2dll
