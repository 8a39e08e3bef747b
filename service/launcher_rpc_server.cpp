#include "service/launcher_rpc_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <vector>

#include <flxmlrpc/XmlRpcDispatch.h>
#include <flxmlrpc/XmlRpcException.h>
#include <flxmlrpc/XmlRpcServerConnection.h>

#include "platform/tick.h"
#include "service/xmlrpc_call_markup.h"

namespace kx2dll {

namespace {

bool has_unread_bytes(int fd)
{
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, 0) > 0;
}

}   // namespace

// A client connection that reads its request itself, in bounded steps, so
// neither an endless header, a huge Content-length nor a fast sender can
// grow memory without limit; executing and answering stay the library's.
class bounded_connection : public XmlRpc::XmlRpcServerConnection {
public:
    bounded_connection(XmlRpc::XmlRpcSocket::Socket fd, launcher_rpc_server* server)
        : XmlRpc::XmlRpcServerConnection(fd, server, true), m_owner(server), m_last_activity(platform::tick_count())
    {
    }

    unsigned handleEvent(unsigned event_type) override
    {
        // A call on a worker: nothing is read until its answer is out. Only
        // urgent data can wake the socket meanwhile; it is dropped, or the
        // dispatch loop would spin on it.
        if (m_call != 0) {
            char urgent = 0;
            [[maybe_unused]] const ssize_t n = ::recv(getfd(), &urgent, 1, MSG_OOB | MSG_DONTWAIT);
            return XmlRpc::XmlRpcDispatch::Exception;
        }
        m_last_activity = platform::tick_count();
        if (m_answered && _connectionState == READ_HEADER) {
            // A kept-alive connection starts its next request afresh.
            m_answered = false;
            _header.clear();
            _request.clear();
            _response.clear();
        }
        if (_connectionState == READ_HEADER || _connectionState == READ_REQUEST) {
            if (!read_some())
                return 0;
            if (_connectionState != WRITE_RESPONSE)
                return XmlRpc::XmlRpcDispatch::ReadableEvent;
            m_answered = true;
            m_in_request = false;
            if (_response.empty() && m_owner->begin_call(this, _request))
                return XmlRpc::XmlRpcDispatch::Exception;
        }
        return XmlRpc::XmlRpcServerConnection::handleEvent(event_type);
    }

    // The call its request became runs on a worker as call `id`.
    void wait_for(std::uint64_t id) { m_call = id; }
    // The number of the call it waits for, 0 when none.
    std::uint64_t call() const { return m_call; }
    // The call's answer: written when the socket takes it.
    void answer(std::string response)
    {
        _response = std::move(response);
        _bytesWritten = 0;
        m_call = 0;
        m_last_activity = platform::tick_count();
    }

    bool idle_for(std::uint32_t now, std::uint32_t limit_ms) const { return now - m_last_activity > limit_ms; }

    // Part of a request has come and no answer has started.
    bool in_request() const { return m_in_request; }

    // An answer is being written.
    bool answering() const { return _connectionState == WRITE_RESPONSE; }

    bool request_overdue(std::uint32_t now, std::uint32_t limit_ms) const
    {
        return m_in_request && now - m_request_start > limit_ms;
    }

    std::uint32_t last_activity() const { return m_last_activity; }

    // Marks the connection to be closed by the next sweep.
    void give_up() { m_given_up = true; }
    bool given_up() const { return m_given_up; }

private:
    static constexpr std::size_t read_step = 64 * 1024;

    // Reads what is available, at most one step. False closes the connection.
    bool read_some()
    {
        char buffer[8192];
        std::size_t total = 0;
        while (total < read_step) {
            const ssize_t n = ::recv(getfd(), buffer, sizeof buffer, 0);
            if (n > 0) {
                total += static_cast<std::size_t>(n);
                if (!take(buffer, static_cast<std::size_t>(n)))
                    return true;   // an answer is queued
                if (_connectionState == WRITE_RESPONSE)
                    return true;
                continue;
            }
            if (n == 0)
                return false;   // the client went away before a full request
            if (errno == EINTR)
                continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
        return true;
    }

    // Adds received bytes; false when the request was refused with a fault.
    bool take(const char* data, std::size_t size)
    {
        if (!m_in_request) {
            m_in_request = true;
            m_request_start = m_last_activity;
        }
        if (_connectionState == READ_HEADER) {
            _header.append(data, size);
            const std::size_t end = _header.find("\r\n\r\n");
            if (end == std::string::npos) {
                if (_header.size() > launcher_rpc_server::max_header_bytes)
                    return refuse("request header too large");
                return true;
            }
            if (end + 4 > launcher_rpc_server::max_header_bytes)
                return refuse("request header too large");
            std::string head = _header.substr(0, end + 4);
            std::string rest = _header.substr(end + 4);
            _header.swap(head);
            long length = -1;
            if (!parse_header(length))
                return refuse("no Content-length in the request");
            if (length > static_cast<long>(launcher_rpc_server::max_body_bytes))
                return refuse("request too large");
            _contentLength = static_cast<int>(length);
            _request.clear();
            _connectionState = READ_REQUEST;
            data = rest.data();
            size = rest.size();
            return append_body(data, size);
        }
        return append_body(data, size);
    }

    bool append_body(const char* data, std::size_t size)
    {
        const std::size_t want = static_cast<std::size_t>(_contentLength);
        const std::size_t room = want > _request.size() ? want - _request.size() : 0;
        _request.append(data, std::min(size, room));
        if (_request.size() >= want) {
            _response.clear();
            _bytesWritten = 0;
            _connectionState = WRITE_RESPONSE;
        }
        return true;
    }

    // Reads Content-length and whether the client keeps the connection.
    bool parse_header(long& length)
    {
        std::string lower = _header;
        std::transform(lower.begin(), lower.end(), lower.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        // HTTP/1.0 closes unless asked to keep the connection; 1.1 keeps it.
        _keepAlive = lower.substr(0, lower.find("\r\n")).find("http/1.0") == std::string::npos;
        const std::size_t conn = lower.find("\r\nconnection:");
        if (conn != std::string::npos) {
            const std::size_t eol = lower.find("\r\n", conn + 2);
            const std::string value = lower.substr(conn + 13, eol - (conn + 13));
            if (value.find("close") != std::string::npos)
                _keepAlive = false;
            else if (value.find("keep-alive") != std::string::npos)
                _keepAlive = true;
        }
        const std::size_t pos = lower.find("\r\ncontent-length:");
        if (pos == std::string::npos)
            return false;
        const char* start = lower.c_str() + pos + 17;
        char* end = nullptr;
        errno = 0;
        length = std::strtol(start, &end, 10);
        if (end == start || errno != 0 || length <= 0)
            return false;
        return true;
    }

    // Answers a fault and closes once it is written.
    bool refuse(const std::string& why)
    {
        _header.clear();
        _request.clear();
        _response = m_owner->fault_response(why);
        _bytesWritten = 0;
        _keepAlive = false;
        _connectionState = WRITE_RESPONSE;
        m_in_request = false;
        return false;
    }

    launcher_rpc_server* m_owner;
    std::uint32_t m_last_activity;       // tick of the last event, for the idle sweep
    std::uint32_t m_request_start = 0;   // tick of the request's first byte
    bool m_in_request = false;           // see in_request()
    bool m_answered = false;             // a response was started since the last request
    bool m_given_up = false;             // closed by the next sweep to free a slot
    std::uint64_t m_call = 0;            // see call()
};

// Wakes the dispatch loop when a worker has finished a call: an eventfd
// among the dispatcher's sources.
class call_completions : public XmlRpc::XmlRpcSource {
public:
    explicit call_completions(launcher_rpc_server* server)
        : XmlRpc::XmlRpcSource(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), m_server(server)
    {
    }
    ~call_completions() override { close(); }

    bool valid() const { return getfd() >= 0; }

    // Any thread, while the source is open.
    void notify()
    {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(getfd(), &one, sizeof one);
    }

    unsigned handleEvent(unsigned) override
    {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(getfd(), &count, sizeof count);
        m_server->deliver_answers();
        return XmlRpc::XmlRpcDispatch::ReadableEvent;
    }

private:
    launcher_rpc_server* m_server;
};

launcher_rpc_server::launcher_rpc_server(std::uint32_t idle_limit_ms, std::uint32_t request_limit_ms,
                                         std::uint32_t yield_silence_ms)
    : m_idle_limit_ms(idle_limit_ms), m_request_limit_ms(request_limit_ms), m_yield_silence_ms(yield_silence_ms)
{
}

launcher_rpc_server::~launcher_rpc_server()
{
    close_all();
}

bool launcher_rpc_server::bind_loopback(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // Lets a restarted service take its port back while old connections
    // linger in TIME_WAIT, as the original platform allowed; a live listener
    // still keeps the port taken.
    int on = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // A launcher may open many calls at once: a short accept queue overflows
    // and the dropped client waits out TCP's one-second retry.
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, SOMAXCONN) != 0) {
        ::close(fd);
        return false;
    }
    setfd(fd);
    _disp.addSource(this, XmlRpc::XmlRpcDispatch::ReadableEvent);
    auto completions = std::make_unique<call_completions>(this);
    if (completions->valid()) {
        _disp.addSource(completions.get(), XmlRpc::XmlRpcDispatch::ReadableEvent);
        m_completions = std::move(completions);
        m_workers = std::make_unique<call_workers>(max_waiting_calls, "launcher_call");
    }
    return true;
}

void launcher_rpc_server::serve_for(std::uint32_t ms)
{
    if (getfd() == XmlRpc::XmlRpcSocket::Invalid) {
        platform::sleep_ms(ms);
        return;
    }
    work(static_cast<double>(ms) / 1000.0);
    close_spent_connections();
}

void launcher_rpc_server::close_all()
{
    // The calls under way end first: they answer through the sources.
    if (m_workers)
        m_workers->stop();
    m_workers.reset();
    // shutdown() closes every source; each connection's destructor comes
    // back through removeConnection.
    shutdown();
    m_completions.reset();
    {
        std::lock_guard<std::mutex> guard(m_answers_lock);
        m_answers.clear();
    }
    m_connections.clear();
    m_connection_count.store(0);
    setfd(XmlRpc::XmlRpcSocket::Invalid);
}

std::string launcher_rpc_server::fault_response(const std::string& text)
{
    return generateFaultResponse(text);
}

std::string launcher_rpc_server::executeRequest(std::string const& request)
{
    switch (check_xmlrpc_call(request, max_nesting)) {
    case xmlrpc_call_markup::too_deep:
        return generateFaultResponse("request nested too deeply");
    case xmlrpc_call_markup::malformed:
        return generateFaultResponse("request markup malformed");
    case xmlrpc_call_markup::well_formed:
        break;
    }
    return XmlRpc::XmlRpcServer::executeRequest(request);
}

bool launcher_rpc_server::begin_call(bounded_connection* connection, const std::string& request)
{
    if (!m_wait_test || !m_workers || check_xmlrpc_call(request, max_nesting) != xmlrpc_call_markup::well_formed)
        return false;
    XmlRpc::XmlRpcValue params;
    std::string method;
    try {
        method = parseRequest(request, params);
        if (!m_wait_test(method, params))
            return false;
    } catch (const XmlRpc::XmlRpcException&) {
        return false;   // answered at once, with the library's fault
    }
    const std::uint64_t id = ++m_next_call;
    const bool posted = m_workers->post([this, id, request] {
        std::string response = executeRequest(request);
        {
            std::lock_guard<std::mutex> guard(m_answers_lock);
            m_answers.emplace_back(id, std::move(response));
        }
        m_completions->notify();
    });
    if (posted)
        connection->wait_for(id);
    return posted;
}

void launcher_rpc_server::deliver_answers()
{
    std::deque<std::pair<std::uint64_t, std::string>> answers;
    {
        std::lock_guard<std::mutex> guard(m_answers_lock);
        answers.swap(m_answers);
    }
    for (auto& a : answers) {
        for (XmlRpc::XmlRpcServerConnection* c : m_connections) {
            auto* connection = static_cast<bounded_connection*>(c);
            if (connection->call() != a.first)
                continue;
            connection->answer(std::move(a.second));
            _disp.setSourceEvents(connection, XmlRpc::XmlRpcDispatch::WritableEvent);
            break;
        }
    }
}

XmlRpc::XmlRpcServerConnection* launcher_rpc_server::createConnection(XmlRpc::XmlRpcSocket::Socket socket)
{
    // select() cannot watch a descriptor at or above FD_SETSIZE; a launcher
    // needs one or two connections, so a crowd is refused.
    if (socket >= FD_SETSIZE) {
        XmlRpc::XmlRpcSocket::close(socket);
        return nullptr;
    }
    // Connections that sit silent, between requests or inside a slow one,
    // must not lock a launcher out.
    std::size_t kept = 0;
    for (XmlRpc::XmlRpcServerConnection* c : m_connections)
        kept += static_cast<bounded_connection*>(c)->given_up() ? 0 : 1;
    if (kept >= max_connections && !give_up_a_silent_connection()) {
        refuse_socket(socket, "too many connections");
        XmlRpc::XmlRpcSocket::close(socket);
        return nullptr;
    }
    auto* connection = new bounded_connection(socket, this);
    m_connections.insert(connection);
    m_connection_count.store(m_connections.size());
    return connection;
}

void launcher_rpc_server::removeConnection(XmlRpc::XmlRpcServerConnection* connection)
{
    // Called from the connection's base destructor too: compare addresses
    // only, the derived part may be gone already.
    m_connections.erase(connection);
    m_connection_count.store(m_connections.size());
    XmlRpc::XmlRpcServer::removeConnection(connection);
}

void launcher_rpc_server::close_spent_connections()
{
    const std::uint32_t now = platform::tick_count();
    std::vector<bounded_connection*> idle;
    std::vector<bounded_connection*> overdue;
    for (XmlRpc::XmlRpcServerConnection* c : m_connections) {
        auto* connection = static_cast<bounded_connection*>(c);
        if (connection->call() != 0)
            continue;   // its call is running: the wait is ours
        // Bytes still unread may have come while a long command held this
        // thread: the delay was ours, so they are read first.
        if ((connection->request_overdue(now, m_request_limit_ms) && !has_unread_bytes(c->getfd())) ||
            (connection->given_up() && connection->in_request()))
            overdue.push_back(connection);
        else if (connection->given_up() || connection->idle_for(now, m_idle_limit_ms))
            idle.push_back(connection);
    }
    // close() deletes the connection, which unregisters it.
    for (bounded_connection* c : overdue) {
        refuse_socket(c->getfd(), "request took too long");
        c->close();
    }
    for (bounded_connection* c : idle)
        c->close();
}

bool launcher_rpc_server::give_up_a_silent_connection()
{
    const std::uint32_t now = platform::tick_count();
    bounded_connection* oldest = nullptr;
    for (XmlRpc::XmlRpcServerConnection* c : m_connections) {
        auto* connection = static_cast<bounded_connection*>(c);
        if (connection->given_up() || connection->answering() || connection->call() != 0 ||
            !connection->idle_for(now, m_yield_silence_ms))
            continue;
        if (oldest == nullptr || static_cast<std::int32_t>(connection->last_activity() - oldest->last_activity()) < 0)
            oldest = connection;
    }
    if (oldest == nullptr)
        return false;
    // Closed after this dispatch round: the dispatcher may be walking its
    // sources right now.
    oldest->give_up();
    return true;
}

void launcher_rpc_server::refuse_socket(int fd, const std::string& why)
{
    const std::string response = fault_response(why);
    [[maybe_unused]] const ssize_t sent = ::send(fd, response.data(), response.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::shutdown(fd, SHUT_WR);
}

}   // namespace kx2dll
