// The launcher's XML-RPC server: XmlRpc++ bound to 127.0.0.1 only, serving in
// bounded time slices so a stop request is seen promptly, with bounded
// request sizes, nesting, connection counts and idle time.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

#include <flxmlrpc/XmlRpcServer.h>

namespace kx2dll {

class bounded_connection;

class launcher_rpc_server : public XmlRpc::XmlRpcServer {
public:
    static constexpr std::size_t max_header_bytes = 16 * 1024;
    static constexpr std::size_t max_body_bytes = 1024 * 1024;
    static constexpr std::size_t max_nesting = 64;
    static constexpr std::size_t max_connections = 32;
    static constexpr std::uint32_t default_idle_limit_ms = 30000;
    static constexpr std::uint32_t default_request_limit_ms = 5000;
    static constexpr std::uint32_t default_yield_silence_ms = 1000;

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

    // Closes the listening socket and every connection.
    void close_all();

    // Number of open client connections (readable from any thread).
    std::size_t connection_count() const { return m_connection_count.load(); }

    // A complete HTTP response carrying an XML-RPC fault with the text.
    std::string fault_response(const std::string& text);

    // Refuses bodies the library's parser could recurse too deep into or
    // leave half parsed (see check_xmlrpc_call).
    std::string executeRequest(std::string const& request) override;

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

    // Open connections (all of them bounded_connection), for the sweep.
    std::set<XmlRpc::XmlRpcServerConnection*> m_connections;
    std::atomic<std::size_t> m_connection_count{0};   // size of m_connections, for other threads
    const std::uint32_t m_idle_limit_ms;
    const std::uint32_t m_request_limit_ms;
    const std::uint32_t m_yield_silence_ms;
};

}   // namespace kx2dll
