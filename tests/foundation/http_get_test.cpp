#include "foundation/http_get.h"

#include "foundation/utility.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/tick.h"

#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <tuple>
#include <vector>

namespace {

const std::uint32_t loopback = platform::parse_ipv4("127.0.0.1");

// One scripted answer: pieces sent with a pause before each, then the
// connection is held open for `hold_ms` and closed.
struct Step {
    std::string data;
    std::uint32_t pause_ms = 0;
};

// A one-connection HTTP server on 127.0.0.1 that answers as scripted,
// rightly or wrongly. Every wait in it is bounded.
class ScriptedServer {
public:
    explicit ScriptedServer(std::vector<Step> script, std::uint32_t hold_ms = 0)
        : m_script(std::move(script)), m_hold_ms(hold_ms)
    {
        m_listener = platform::tcp_socket();
        EXPECT_EQ(platform::bind_ipv4(m_listener, loopback, 0), 0u);
        EXPECT_EQ(platform::listen_socket(m_listener, 4), 0u);
        std::uint32_t a = 0;
        EXPECT_TRUE(platform::local_endpoint(m_listener, a, m_port));
        m_thread.start([this] { serve(); }, "http-test");
    }
    ~ScriptedServer()
    {
        m_thread.join();
        platform::close_socket(m_listener);
    }

    std::uint16_t port() const { return m_port; }
    std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(m_port) + path; }
    std::string request()
    {
        m_thread.join();
        return m_request;
    }

private:
    void serve()
    {
        if (platform::wait_readable(m_listener, 3000) != 1)
            return;
        std::uint32_t error = 0;
        platform::socket_t s = platform::accept_socket(m_listener, nullptr, nullptr, error);
        if (s == platform::invalid_socket)
            return;
        char buf[512];
        while (m_request.find("\r\n\r\n") == std::string::npos && platform::wait_readable(s, 2000) == 1) {
            const long n = platform::receive_some(s, buf, sizeof buf, error);
            if (n <= 0)
                break;
            m_request.append(buf, static_cast<std::size_t>(n));
        }
        for (const Step& step : m_script) {
            platform::sleep_ms(step.pause_ms);
            if (platform::send_some(s, step.data.data(), step.data.size(), error) < 0)
                break;   // the client has gone
        }
        platform::sleep_ms(m_hold_ms);
        platform::close_socket(s);
    }

    std::vector<Step> m_script;
    std::uint32_t m_hold_ms;
    platform::socket_t m_listener = platform::invalid_socket;
    std::uint16_t m_port = 0;
    std::string m_request;
    platform::Thread m_thread;
};

using Event = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint16_t>;
std::mutex g_events_mutex;
std::vector<Event> g_events;

void record_event(std::uint32_t kind, std::uint32_t sub, std::uint32_t ipv4, std::uint16_t port)
{
    std::lock_guard<std::mutex> g(g_events_mutex);
    g_events.emplace_back(kind, sub, ipv4, port);
}

class HttpGetTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_events.clear();
        set_http_event_sink(&record_event);
    }
    void TearDown() override { set_http_event_sink(nullptr); }

    std::vector<Event> events()
    {
        std::lock_guard<std::mutex> g(g_events_mutex);
        return g_events;
    }

    // Short waits so the failing cases finish quickly.
    HttpGetOptions fast()
    {
        HttpGetOptions o;
        o.header_wait_ms = 300;
        o.body_wait_ms = 300;
        return o;
    }
};

std::string ok_header(std::size_t length)
{
    return "HTTP/1.0 200 OK\r\nServer: test\r\nContent-Length: " + std::to_string(length) + "\r\n\r\n";
}

}   // namespace

TEST_F(HttpGetTest, ScriptedAnswersGiveTheirResultCodes)
{
    struct Case {
        const char* what;
        std::vector<Step> script;
        std::uint32_t hold_ms;
        int expected;
        std::uint32_t event_kind, event_sub;   // 0/0: no event expected
    };
    const std::string big_header = "HTTP/1.0 200 OK\r\nX-Pad: " + std::string(1100, 'p');
    const std::vector<Case> cases = {
        {"success", {{ok_header(5) + "hello"}}, 0, 0, 10, 0},
        {"status 404", {{"HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n"}}, 0, 201, 0, 0},
        {"status line of one field", {{"HTTP/1.0\r\n\r\n"}}, 0, 201, 0, 0},
        {"no content-length", {{"HTTP/1.0 200 OK\r\nServer: x\r\n\r\nbody"}}, 0, 302, 0, 0},
        {"content-length not a number", {{"HTTP/1.0 200 OK\r\nContent-Length: abc\r\n\r\n"}}, 0, 302, 0, 0},
        {"short body, then closed", {{ok_header(10) + "12345"}}, 0, 404, 10, 5},
        {"longer body than announced", {{ok_header(3) + "123456"}}, 0, 3, 10, 6},
        {"slow header", {{"HTTP/1.0 200"}}, 1000, 103, 0, 0},
        {"header never ends", {{big_header}}, 0, 104, 0, 0},
        {"closed in the header", {{"HTTP/1.0 200 OK\r\n"}}, 0, 105, 0, 0},
        {"body stalls", {{ok_header(10) + "12345"}}, 1000, 403, 10, 4},
        {"body in pieces", {{ok_header(8) + "ab"}, {"cdef", 30}, {"gh", 30}}, 0, 0, 10, 0},
        {"empty body", {{ok_header(0)}}, 0, 0, 10, 0},
    };
    for (const Case& c : cases) {
        g_events.clear();
        ScriptedServer server(c.script, c.hold_ms);
        std::vector<char> body;
        EXPECT_EQ(http_get(server.url("/x"), fast(), body), c.expected) << c.what;
        const std::vector<Event> ev = events();
        if (c.event_kind == 0) {
            EXPECT_TRUE(ev.empty()) << c.what;
        } else {
            ASSERT_EQ(ev.size(), 1u) << c.what;
            EXPECT_EQ(ev[0], Event(c.event_kind, c.event_sub, loopback, server.port())) << c.what;
        }
    }
}

// A response cut at every byte and then closed: a cut in the header is a
// closed header (105), a cut in the body a short body (404); only the whole
// response succeeds.
TEST_F(HttpGetTest, EveryTruncationOfAResponseFails)
{
    const std::string whole = ok_header(5) + "hello";
    const std::size_t body_at = whole.find("\r\n\r\n") + 4;
    for (std::size_t cut = 0; cut <= whole.size(); ++cut) {
        ScriptedServer server({{whole.substr(0, cut)}});
        std::vector<char> body;
        const int expected = cut == whole.size() ? 0 : cut < body_at ? 105 : 404;
        EXPECT_EQ(http_get(server.url("/t"), fast(), body), expected) << cut;
        EXPECT_LE(body.size(), 5u) << cut;
    }
}

TEST_F(HttpGetTest, SuccessGivesTheExactBodyAndKeepsThePathsCase)
{
    std::string payload;
    for (int i = 0; i < 20000; ++i)
        payload += static_cast<char>('A' + i % 26);
    ScriptedServer server({{ok_header(payload.size()) + payload}});
    std::vector<char> body;
    const std::string url = "HTTP://127.0.0.1:" + std::to_string(server.port()) + "/Update_DLL/P2SP_Config.INI";
    ASSERT_EQ(HttpGetUrl(url, body), 0);
    EXPECT_EQ(std::string(body.begin(), body.end()), payload);
    EXPECT_EQ(server.request(), "GET /Update_DLL/P2SP_Config.INI HTTP/1.0\r\n"
                                "Accept: */*\r\n"
                                "Connection: Keep-Alive\r\n"
                                "Host: 127.0.0.1\r\n"
                                "\r\n");
}

TEST_F(HttpGetTest, CaseCanBeKeptAndUtilityShareTheGet)
{
    ScriptedServer keep({{ok_header(2) + "ok"}});
    HttpGetOptions o;
    o.lower_case_url = false;
    std::vector<char> body;
    ASSERT_EQ(http_get(keep.url("/Seeds/A.txt"), o, body), 0);
    EXPECT_EQ(keep.request().substr(0, 23), "GET /Seeds/A.txt HTTP/1");

    ScriptedServer util({{ok_header(2) + "ok"}});
    ASSERT_EQ(CUtility::HttpGet(util.url("/Q"), body), 0);
    EXPECT_EQ(util.request().substr(0, 6), "GET /Q");
}

TEST_F(HttpGetTest, BodyCapRefusesLargeAnnouncements)
{
    ScriptedServer server({{ok_header(1000) + std::string(1000, 'z')}});
    HttpGetOptions o = fast();
    o.body_cap = 100;
    std::vector<char> body;
    EXPECT_EQ(http_get(server.url("/big"), o, body), 304);
    EXPECT_TRUE(body.empty());
    ASSERT_EQ(events().size(), 1u);
    EXPECT_EQ(std::get<1>(events()[0]), 7u);

    // A server that sends more than the cap under an allowed length.
    ScriptedServer more({{ok_header(100) + std::string(300, 'z')}});
    g_events.clear();
    EXPECT_EQ(http_get(more.url("/more"), o, body), 405);
    EXPECT_LE(body.size(), o.body_cap);
    ASSERT_EQ(events().size(), 1u);
    EXPECT_EQ(std::get<1>(events()[0]), 7u);

    // A length too long to hold in 64 bits is over any cap too.
    ScriptedServer huge({{"HTTP/1.0 200 OK\r\nContent-Length: 99999999999999999999999\r\n\r\n"}});
    EXPECT_EQ(http_get(huge.url("/huge"), o, body), 304);
}

TEST_F(HttpGetTest, TotalDeadlineBoundsATricklingServer)
{
    // One header byte every 50 ms never trips the per-byte wait.
    std::vector<Step> trickle;
    for (char c : std::string("HTTP/1.0 200 OK\r\nX: aaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaaa"))
        trickle.push_back({std::string(1, c), 50});
    ScriptedServer server(trickle);
    HttpGetOptions o;
    o.total_ms = 400;
    std::vector<char> body;
    const std::uint64_t start = platform::tick_count64();
    EXPECT_EQ(http_get(server.url("/slow"), o, body), 103);
    const std::uint64_t took = platform::tick_count64() - start;
    EXPECT_GE(took, 350u);
    EXPECT_LT(took, 1500u);
}

TEST_F(HttpGetTest, ConnectFailuresAreResultOne)
{
    platform::socket_t s = platform::tcp_socket();
    platform::bind_ipv4(s, loopback, 0);
    std::uint32_t a = 0;
    std::uint16_t port = 0;
    platform::local_endpoint(s, a, port);
    platform::close_socket(s);   // nothing listens there now

    std::vector<char> body;
    EXPECT_EQ(HttpGetUrl("http://127.0.0.1:" + std::to_string(port) + "/x", body), 1);
    ASSERT_EQ(events().size(), 1u);
    EXPECT_EQ(events()[0], Event(9, 2, loopback, port));

    // Host names with an empty label: the resolver refuses them itself, so
    // no query leaves the machine.
    EXPECT_EQ(HttpGetUrl("http:///no..host", body), 1);
    EXPECT_EQ(HttpGetUrl("http://unknown..host/x", body), 1);
    EXPECT_EQ(HttpGetUrl("", body), 1);
}

TEST(HttpUrl, SplitsAsTheGetDoes)
{
    struct Case {
        const char* url;
        bool ok;
        const char* host;
        std::uint16_t port;
        const char* path;
    };
    const Case cases[] = {
        {"http://a.b/c/d", true, "a.b", 80, "/c/d"},
        {"http://a.b:8080", true, "a.b", 8080, ""},
        {"  //a.b/x", true, "a.b", 80, "/x"},
        {"a.b/x", true, "x", 80, ""},   // everything before the first '/' goes
        {"http://a.b:99999/x", false, "a.b", 0, "/x"},
        {"http://", false, "", 80, ""},
        // Line breaks or blanks would smuggle text into the request.
        {"http://a.b/x\r\nHost: evil", false, "a.b", 80, "/x\r\nHost: evil"},
        {"http://a.b/x y", false, "a.b", 80, "/x y"},
        {"http://a\tb/x", false, "a\tb", 80, "/x"},
    };
    for (const Case& c : cases) {
        std::string host, path;
        std::uint16_t port = 1;
        EXPECT_EQ(split_http_url(c.url, host, port, path), c.ok) << c.url;
        EXPECT_EQ(host, c.host) << c.url;
        EXPECT_EQ(port, c.port) << c.url;
        EXPECT_EQ(path, c.path) << c.url;
    }
}
