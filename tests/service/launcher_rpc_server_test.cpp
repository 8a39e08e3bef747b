#include "service/launcher_rpc_server.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <flxmlrpc/XmlRpcServerMethod.h>

#include "platform/thread.h"
#include "platform/tick.h"
#include "service_test_support.h"
#include "support/shifted_tick.h"

using kx2dll::launcher_rpc_server;

namespace {

// Answers its string argument back.
class echo_method : public XmlRpc::XmlRpcServerMethod {
public:
    explicit echo_method(XmlRpc::XmlRpcServer* server) : XmlRpc::XmlRpcServerMethod("echo", server) {}
    void execute(XmlRpc::XmlRpcValue& params, XmlRpc::XmlRpcValue& result) override
    {
        result = static_cast<std::string&>(params[0]);
    }
};

// A launcher command that holds the network thread: runs what the test
// gave it, standing for a long command.
class hold_method : public XmlRpc::XmlRpcServerMethod {
public:
    explicit hold_method(XmlRpc::XmlRpcServer* server) : XmlRpc::XmlRpcServerMethod("hold", server) {}
    void set(std::function<void()> action)
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_action = std::move(action);
    }
    void execute(XmlRpc::XmlRpcValue&, XmlRpc::XmlRpcValue& result) override
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_action)
            m_action();
        result = "held";
    }

private:
    std::mutex m_mutex;   // guards m_action
    std::function<void()> m_action;
};

// A raw TCP client of 127.0.0.1 with bounded reads.
class raw_client {
public:
    explicit raw_client(std::uint16_t port)
    {
        m_fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        m_connected = ::connect(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~raw_client() { ::close(m_fd); }
    bool connected() const { return m_connected; }
    bool send_all(const std::string& data)
    {
        std::size_t sent = 0;
        while (sent < data.size()) {
            const ssize_t n = ::send(m_fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    // True when the peer has sent something or closed (checked without waiting).
    bool heard_from()
    {
        pollfd p{m_fd, POLLIN, 0};
        return ::poll(&p, 1, 0) > 0;
    }
    // Reads until the peer closes or `ms` pass; `closed` tells which.
    std::string read_until_closed(std::uint32_t ms, bool& closed)
    {
        std::string data;
        closed = false;
        const std::uint32_t deadline = platform::tick_count() + ms;
        while (!platform::tick_reached(platform::tick_count(), deadline)) {
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0) {
                closed = true;
                break;
            }
            data.append(buffer, static_cast<std::size_t>(n));
        }
        return data;
    }
    // Reads one HTTP response with a Content-length body (bounded by `ms`).
    std::string read_response(std::uint32_t ms)
    {
        std::string data;
        const std::uint32_t deadline = platform::tick_count() + ms;
        while (!platform::tick_reached(platform::tick_count(), deadline)) {
            const std::size_t end = data.find("\r\n\r\n");
            if (end != std::string::npos) {
                const std::size_t at = data.find("Content-length: ");
                if (at != std::string::npos && data.size() >= end + 4 + std::stoul(data.substr(at + 16)))
                    return data;
            }
            pollfd p{m_fd, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0)
                continue;
            char buffer[4096];
            const ssize_t n = ::recv(m_fd, buffer, sizeof buffer, 0);
            if (n <= 0)
                break;
            data.append(buffer, static_cast<std::size_t>(n));
        }
        return data;
    }

private:
    int m_fd = -1;
    bool m_connected = false;
};

std::string post(const std::string& body, const std::string& extra_header = "")
{
    return "POST /RPC2 HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\n" + extra_header +
           "Content-length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

std::string echo_call(const std::string& text)
{
    return "<?xml version=\"1.0\"?><methodCall><methodName>echo</methodName><params><param>"
           "<value><string>" +
           text + "</string></value></param></params></methodCall>";
}

class LauncherRpcServerTest : public ::testing::Test {
protected:
    void start(std::uint32_t idle_limit_ms = launcher_rpc_server::default_idle_limit_ms,
               std::uint32_t request_limit_ms = launcher_rpc_server::default_request_limit_ms,
               std::uint32_t yield_silence_ms = launcher_rpc_server::default_yield_silence_ms)
    {
        m_server = std::make_unique<launcher_rpc_server>(idle_limit_ms, request_limit_ms, yield_silence_ms);
        m_echo = std::make_unique<echo_method>(m_server.get());
        m_hold = std::make_unique<hold_method>(m_server.get());
        ASSERT_TRUE(m_server->bind_loopback(0));
        m_port = static_cast<std::uint16_t>(m_server->getPort());
        ASSERT_TRUE(m_thread.start([this] {
            while (!m_stop.load())
                m_server->serve_for(20);
            m_server->close_all();
        }));
    }
    void TearDown() override
    {
        m_stop.store(true);
        EXPECT_TRUE(m_thread.join_for(5000));
        m_thread.join();
        m_echo.reset();
        m_hold.reset();
        m_server.reset();
    }
    // A normal call still answers: the server survived what came before.
    void expect_serving()
    {
        XmlRpc::XmlRpcValue params;
        params[0] = "still here";
        const auto out = service_test::call(m_port, "echo", params);
        EXPECT_TRUE(out.answered);
        EXPECT_EQ(out.text, "still here");
    }

    std::unique_ptr<launcher_rpc_server> m_server;
    std::unique_ptr<echo_method> m_echo;
    std::unique_ptr<hold_method> m_hold;
    platform::Thread m_thread;
    std::atomic<bool> m_stop{false};
    std::uint16_t m_port = 0;
};

}   // namespace

TEST_F(LauncherRpcServerTest, ListensOnLoopbackOnly)
{
    start();
    sockaddr_in address{};
    socklen_t size = sizeof address;
    ASSERT_EQ(::getsockname(m_server->getfd(), reinterpret_cast<sockaddr*>(&address), &size), 0);
    EXPECT_EQ(ntohl(address.sin_addr.s_addr), INADDR_LOOPBACK);
    // A second server cannot take the same port.
    launcher_rpc_server other;
    EXPECT_FALSE(other.bind_loopback(m_port));
    EXPECT_EQ(other.getfd(), -1);
    expect_serving();
}

TEST_F(LauncherRpcServerTest, RefusesRequestsBeyondTheBounds)
{
    start();
    std::string deep;
    for (int i = 0; i < 200; ++i)
        deep += "<value><array><data>";
    // The library finds its tags by plain search, so markup an XML parser
    // skips hides nothing from it: 45000 levels overflowed its stack.
    std::string hidden;
    for (int i = 0; i < 45000; ++i)
        hidden += "<value><array><data>";
    const std::string call = "<?xml version=\"1.0\"?><methodCall><methodName>echo</methodName>";
    // Each member's "<name>" lies past its end, where the library's forward
    // search still finds it and descends into the next value.
    std::string name_outside;
    for (int i = 0; i < 100; ++i)
        name_outside += "<value><struct><member></member></struct></value><name>n</name>";
    struct row {
        const char* what;
        std::string request;
        const char* fault;
        bool closes;   // refused before the body was read, so the connection ends
    };
    const row rows[] = {
        {"huge Content-length", "POST /RPC2 HTTP/1.1\r\nContent-length: 100000000\r\n\r\n<?xml", "request too large",
         true},
        {"endless header", "POST /RPC2 HTTP/1.1\r\nX: " + std::string(20000, 'a'), "request header too large", true},
        {"no Content-length", "POST /RPC2 HTTP/1.1\r\nHost: x\r\n\r\n<x/>", "no Content-length", true},
        {"negative Content-length", "POST /RPC2 HTTP/1.1\r\nContent-length: -5\r\n\r\n", "no Content-length", true},
        {"nested too deeply",
         post("<?xml version=\"1.0\"?><methodCall><methodName>echo</methodName><params><param>" + deep),
         "nested too deeply", false},
        {"nesting in a comment", post(call + "<!-- <params><param>" + hidden + " --></methodCall>"), "markup malformed",
         false},
        {"nesting in CDATA", post(call + "<![CDATA[<params><param>" + hidden + "]]></methodCall>"), "markup malformed",
         false},
        {"nesting in an attribute", post(call + "<x a=\"<params><param>" + hidden + "\"/></methodCall>"),
         "markup malformed", false},
        {"member name outside the member",
         post(call + "<params><param>" + name_outside + "</param></params></methodCall>"), "markup malformed", false},
        {"mismatched closing tag",
         post(call + "<params><param><value><i4>1</value></i4></param></params></methodCall>"), "markup malformed",
         false},
        // Values the library leaves half parsed, and never frees.
        {"value left open", post(call + "<params><param><value><array><data>"), "markup malformed", false},
        {"text inside a struct",
         post(call + "<params><param><value><struct>A</struct></value></param></params></methodCall>"),
         "markup malformed", false},
    };
    for (const row& r : rows) {
        SCOPED_TRACE(r.what);
        raw_client client(m_port);
        ASSERT_TRUE(client.connected());
        ASSERT_TRUE(client.send_all(r.request));
        bool closed = false;
        const std::string answer = r.closes ? client.read_until_closed(5000, closed) : client.read_response(5000);
        EXPECT_EQ(closed, r.closes);
        EXPECT_NE(answer.find("HTTP/1.1 200"), std::string::npos) << answer;
        EXPECT_NE(answer.find("<name>faultCode</name>"), std::string::npos) << answer;
        EXPECT_NE(answer.find(r.fault), std::string::npos) << answer;
        expect_serving();
    }
}

TEST_F(LauncherRpcServerTest, GarbageBodyGetsAFault)
{
    start();
    for (const std::string& body : {std::string("hello"), std::string(5000, '\xff'),
                                    std::string("<methodCall><methodName>nothing</methodName></methodCall>")}) {
        raw_client client(m_port);
        ASSERT_TRUE(client.send_all(post(body, "Connection: close\r\n")));
        const std::string answer = client.read_response(5000);
        EXPECT_NE(answer.find("faultCode"), std::string::npos) << answer;
    }
    expect_serving();
}

TEST_F(LauncherRpcServerTest, KeptAliveConnectionServesOneRequestAfterAnother)
{
    start();
    raw_client client(m_port);
    for (const char* text : {"first", "second", "third"}) {
        ASSERT_TRUE(client.send_all(post(echo_call(text))));
        const std::string answer = client.read_response(5000);
        EXPECT_NE(answer.find(std::string("<value>") + text + "</value>"), std::string::npos) << answer;
    }
    // Two requests in one write: the first is answered (the rest of the
    // bytes are not a second request the client may count on).
    ASSERT_TRUE(client.send_all(post(echo_call("fourth"))));
    EXPECT_NE(client.read_response(5000).find("<value>fourth</value>"), std::string::npos);
}

TEST_F(LauncherRpcServerTest, RequestArrivingInPiecesIsServed)
{
    start();
    raw_client client(m_port);
    const std::string request = post(echo_call("pieces"));
    for (std::size_t i = 0; i < request.size(); i += 7) {
        ASSERT_TRUE(client.send_all(request.substr(i, 7)));
        platform::sleep_ms(1);   // pieces arrive as separate reads
    }
    EXPECT_NE(client.read_response(5000).find("<value>pieces</value>"), std::string::npos);
}

TEST_F(LauncherRpcServerTest, IdleConnectionsAreClosed)
{
    start(200);
    raw_client silent(m_port);
    ASSERT_TRUE(silent.connected());
    bool closed = false;
    silent.read_until_closed(5000, closed);
    EXPECT_TRUE(closed);
    expect_serving();
}

TEST_F(LauncherRpcServerTest, CrowdsAndSlowSendersCannotLockTheLauncherOut)
{
    // Time jumps on through the shifted tick; the idle limit stays out of reach.
    platform::set_tick_source(&test_support::shifted_tick);
    struct restore_tick {
        ~restore_tick() { platform::set_tick_source(nullptr); }
    } restore;
    const std::uint32_t yield_silence_ms = 60000;
    const std::uint32_t request_limit_ms = 2 * yield_silence_ms;
    start(20 * yield_silence_ms, request_limit_ms, yield_silence_ms);
    const std::size_t cap = launcher_rpc_server::max_connections;

    // A sender trickling one byte after another is cut off at the request
    // deadline, however recently it sent.
    {
        raw_client slow(m_port);
        const std::string request = post(echo_call("slow"));
        bool closed = false;
        std::string answer;
        for (std::size_t i = 0; i < request.size() && !closed; ++i) {
            if (i == 10)
                test_support::tick_offset() += request_limit_ms;
            if (!slow.send_all(request.substr(i, 1)))
                break;
            answer += slow.read_until_closed(20, closed);
        }
        EXPECT_TRUE(closed);
        EXPECT_NE(answer.find("request took too long"), std::string::npos) << answer;
    }
    // The rest of a request that came while a long command held the server
    // is still read: the delay was the server's.
    {
        raw_client parted(m_port);
        const std::string request = post(echo_call("parted"));
        ASSERT_TRUE(parted.send_all(request.substr(0, 40)));
        ASSERT_TRUE(test_support::wait_until([&] { return m_server->connection_count() == 1; }, 5000));
        m_hold->set([&] {
            test_support::tick_offset() += request_limit_ms;
            parted.send_all(request.substr(40));
            platform::sleep_ms(50);   // the command outlasts the serving slice
        });
        XmlRpc::XmlRpcValue none;
        EXPECT_TRUE(service_test::call(m_port, "hold", none).answered);
        EXPECT_NE(parted.read_response(5000).find("<value>parted</value>"), std::string::npos);
    }

    // Every slot held by a request that has gone silent a while: a new
    // connection is served in place of one of them, which gets the fault.
    std::vector<std::unique_ptr<raw_client>> crowd;
    const auto fill = [&] {
        for (std::size_t i = 0; i < cap; ++i) {
            crowd.push_back(std::make_unique<raw_client>(m_port));
            ASSERT_TRUE(crowd.back()->send_all("POST /RPC2 HTTP/1.1\r\n"));
            ASSERT_TRUE(test_support::wait_until([&] { return m_server->connection_count() == i + 1; }, 5000));
        }
    };
    const auto heard = [&] {
        std::vector<raw_client*> out;
        for (const auto& c : crowd)
            if (c->heard_from())
                out.push_back(c.get());
        return out;
    };
    fill();
    test_support::tick_offset() += yield_silence_ms + 1;
    expect_serving();
    ASSERT_TRUE(test_support::wait_until([&] { return !heard().empty(); }, 5000));
    ASSERT_EQ(heard().size(), 1u);
    bool closed = false;
    EXPECT_NE(heard()[0]->read_until_closed(5000, closed).find("request took too long"), std::string::npos);
    EXPECT_TRUE(closed);
    crowd.clear();
    ASSERT_TRUE(test_support::wait_until([&] { return m_server->connection_count() == 0; }, 5000));

    // Every slot taken by a connection heard from just now: a new one gets
    // the fault and the others stay.
    fill();
    raw_client one_more(m_port);
    const std::string answer = one_more.read_until_closed(5000, closed);
    EXPECT_TRUE(closed);
    EXPECT_NE(answer.find("too many connections"), std::string::npos) << answer;
    EXPECT_TRUE(heard().empty());
    crowd.clear();
    ASSERT_TRUE(test_support::wait_until([&] { return m_server->connection_count() == 0; }, 5000));
    expect_serving();
}
