#include "discovery/upnp_igd_client.h"

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "discovery_test_util.h"
#include "platform/thread.h"
#include "support/temp_dir.h"

namespace {

using test_support::ScopedEnv;

// A gateway on 127.0.0.1 that speaks just enough UPnP: its root
// description and the three WANIPConnection actions the client calls.
class FakeGateway {
public:
    enum class Mode { good, refuse_mapping, wrong_client };

    explicit FakeGateway(Mode mode) : m_mode(mode) {}
    ~FakeGateway()
    {
        m_stop = true;
        m_thread.join();
        platform::close_socket(m_listen);
    }

    bool Start()
    {
        m_listen = platform::tcp_socket();
        std::uint32_t ip = 0;
        if (platform::bind_ipv4(m_listen, discovery_test::Loopback(), 0) != 0 ||
            platform::listen_socket(m_listen, 8) != 0 || !platform::local_endpoint(m_listen, ip, m_port))
            return false;
        return m_thread.start([this] { Run(); });
    }

    std::string RootUrl() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/root.xml"; }

    std::vector<std::string> Actions()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_actions;
    }

private:
    void Run()
    {
        while (!m_stop) {
            if (platform::wait_readable(m_listen, 50) <= 0)
                continue;
            std::uint32_t ip = 0, error = 0;
            std::uint16_t port = 0;
            platform::socket_t s = platform::accept_socket(m_listen, &ip, &port, error);
            if (s == platform::invalid_socket)
                continue;
            Serve(s);
            platform::close_socket(s);
        }
    }

    void Serve(platform::socket_t s)
    {
        std::string request;
        char chunk[2048];
        std::size_t body_at = std::string::npos;
        std::size_t length = 0;
        for (int i = 0; i < 100 && !m_stop; ++i) {
            if (platform::wait_readable(s, 50) != 1)
                continue;
            std::uint32_t error = 0;
            const long n = platform::receive_some(s, chunk, sizeof(chunk), error);
            if (n <= 0)
                return;
            request.append(chunk, static_cast<std::size_t>(n));
            if (body_at == std::string::npos && (body_at = request.find("\r\n\r\n")) != std::string::npos) {
                body_at += 4;
                const std::size_t cl = request.find("Content-Length:");
                length = cl == std::string::npos ? 0 : std::stoul(request.substr(cl + 15));
            }
            if (body_at != std::string::npos && request.size() >= body_at + length)
                break;
        }
        std::string status = "200 OK";
        std::string body;
        if (request.compare(0, 4, "GET ") == 0) {
            body = Root();
        } else {
            const std::size_t hash = request.find('#');
            const std::string action = request.substr(hash + 1, request.find('"', hash) - hash - 1);
            {
                std::lock_guard<std::mutex> guard(m_lock);
                m_actions.push_back(action);
            }
            if (action == "GetExternalIPAddress") {
                body = Soap(action, "<NewExternalIPAddress>203.0.113.5</NewExternalIPAddress>");
            } else if (action == "AddPortMapping" && m_mode == Mode::refuse_mapping) {
                status = "500 Internal Server Error";
                body = "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\">"
                       "<s:Body><s:Fault><detail><UPnPError xmlns=\"urn:schemas-upnp-org:control-1-0\">"
                       "<errorCode>718</errorCode><errorDescription>ConflictInMappingEntry</errorDescription>"
                       "</UPnPError></detail></s:Fault></s:Body></s:Envelope>";
            } else if (action == "AddPortMapping") {
                body = Soap(action, "");
            } else if (action == "GetSpecificPortMappingEntry") {
                const std::string client = m_mode == Mode::wrong_client ? "192.168.9.9" : "127.0.0.1";
                body = Soap(action, "<NewInternalPort>9000</NewInternalPort><NewInternalClient>" + client +
                                        "</NewInternalClient><NewEnabled>1</NewEnabled>"
                                        "<NewPortMappingDescription>x</NewPortMappingDescription>"
                                        "<NewLeaseDuration>0</NewLeaseDuration>");
            } else {
                status = "404 Not Found";
            }
        }
        const std::string reply = "HTTP/1.1 " + status +
                                  "\r\nContent-Type: text/xml\r\nContent-Length: " + std::to_string(body.size()) +
                                  "\r\nConnection: close\r\n\r\n" + body;
        std::uint32_t error = 0;
        platform::send_some(s, reply.data(), reply.size(), error);
    }

    std::string Root() const
    {
        return "<?xml version=\"1.0\"?><root xmlns=\"urn:schemas-upnp-org:device-1-0\">"
               "<URLBase>http://127.0.0.1:" +
               std::to_string(m_port) +
               "/</URLBase><device>"
               "<deviceType>urn:schemas-upnp-org:device:InternetGatewayDevice:1</deviceType><deviceList><device>"
               "<deviceType>urn:schemas-upnp-org:device:WANDevice:1</deviceType><serviceList><service>"
               "<serviceType>urn:schemas-upnp-org:service:WANCommonInterfaceConfig:1</serviceType>"
               "<controlURL>/cif</controlURL><SCPDURL>/cif.xml</SCPDURL></service></serviceList>"
               "<deviceList><device><deviceType>urn:schemas-upnp-org:device:WANConnectionDevice:1</deviceType>"
               "<serviceList><service><serviceType>urn:schemas-upnp-org:service:WANIPConnection:1</serviceType>"
               "<controlURL>/ctl</controlURL><SCPDURL>/ipc.xml</SCPDURL></service></serviceList>"
               "</device></deviceList></device></deviceList></device></root>";
    }

    static std::string Soap(const std::string& action, const std::string& inner)
    {
        return "<?xml version=\"1.0\"?><s:Envelope xmlns:s=\"http://schemas.xmlsoap.org/soap/envelope/\"><s:Body>"
               "<u:" +
               action + "Response xmlns:u=\"urn:schemas-upnp-org:service:WANIPConnection:1\">" + inner +
               "</u:" + action + "Response></s:Body></s:Envelope>";
    }

    Mode m_mode;
    platform::socket_t m_listen = platform::invalid_socket;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::mutex m_lock;   // guards m_actions
    std::vector<std::string> m_actions;
    platform::Thread m_thread;
};

TEST(UpnpIgdClientTest, MapsBothProtocolsAndReportsTheExternalAddress)
{
    FakeGateway gateway(FakeGateway::Mode::good);
    ASSERT_TRUE(gateway.Start());
    ScopedEnv root("VR_UPNP_ROOTDESC", gateway.RootUrl());
    CUpnpIgdClient client;
    std::string external = "stale";
    ASSERT_EQ(0, client.DiscoverAndRedirect(9000, 9000, external));
    EXPECT_EQ("203.0.113.5", external);
    const std::vector<std::string> expected{"GetExternalIPAddress", "AddPortMapping", "GetSpecificPortMappingEntry",
                                            "AddPortMapping", "GetSpecificPortMappingEntry"};
    EXPECT_EQ(expected, gateway.Actions());
}

TEST(UpnpIgdClientTest, RefusedOrMisdirectedMappingsAndMissingGatewaysFail)
{
    const struct {
        const char* name;
        FakeGateway::Mode mode;
        int result;
    } cases[] = {
        {"mapping refused", FakeGateway::Mode::refuse_mapping, 3},
        {"redirected elsewhere", FakeGateway::Mode::wrong_client, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeGateway gateway(c.mode);
        ASSERT_TRUE(gateway.Start());
        ScopedEnv root("VR_UPNP_ROOTDESC", gateway.RootUrl());
        CUpnpIgdClient client;
        std::string external = "stale";
        EXPECT_EQ(c.result, client.DiscoverAndRedirect(9000, 9000, external));
        EXPECT_TRUE(external.empty());
    }
    ScopedEnv nobody("VR_UPNP_ROOTDESC",
                     "http://127.0.0.1:" + std::to_string(discovery_test::ClosedPort()) + "/root.xml");
    CUpnpIgdClient client;
    std::string external;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(1, client.DiscoverAndRedirect(9000, 9000, external));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

}   // namespace
