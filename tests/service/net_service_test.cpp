#include "service/net_service.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <vector>

#include "fagex/fagexException.h"
#include "fagex/fagexLogManager.h"
#include "foundation/base64.h"
#include "platform/named_event.h"
#include "platform/paths.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "service_test_support.h"
#include "service/service_interface.h"

using service_test::port_blocker;
using service_test::port_free;
using test_support::wait_until;

namespace {

// A NetService of its own game id running on a thread, as startService
// runs it, with the named event held by the test.
class running_service {
public:
    explicit running_service(int game_id) : m_game_id(game_id)
    {
        bool existed = true;
        EXPECT_TRUE(m_event.create(kx2dll::service_event_name(game_id), existed));
        EXPECT_FALSE(existed);
        m_service = std::make_unique<NetService>(game_id);
        m_host.start([this] {
            m_service->Run();
            m_returned.store(true);
        });
    }
    ~running_service() { stop(); }

    // Signals the event as shutdownService does and waits for Run to end;
    // the milliseconds it took.
    std::uint32_t stop()
    {
        const std::uint32_t start = platform::tick_count();
        if (!m_host.joinable())
            return 0;
        EXPECT_TRUE(platform::NamedEvent::signal(kx2dll::service_event_name(m_game_id)));
        EXPECT_TRUE(m_host.join_for(10000));
        m_host.join();
        return platform::tick_count() - start;
    }

    NetService& service() { return *m_service; }
    bool returned() const { return m_returned.load(); }

private:
    int m_game_id;
    platform::NamedEvent m_event;
    std::unique_ptr<NetService> m_service;
    platform::Thread m_host;
    std::atomic<bool> m_returned{false};
};

std::string info_file(const service_test::isolated_env& env, int game_id)
{
    return env.appdata() + "/ZVK/velmar_game" + std::to_string(game_id) + ".ini";
}

bool ports_free(std::uint16_t first, std::uint16_t last)
{
    for (unsigned p = first; p <= last; ++p)
        if (!port_free(static_cast<std::uint16_t>(p)))
            return false;
    return true;
}

}   // namespace

TEST(ServiceInfoFile, NamesAndBytes)
{
    EXPECT_EQ(kx2dll::service_event_name(12), "EVENT_P2SP_DOWNLOAD_DLL_EXISTS12");
    EXPECT_EQ(kx2dll::service_info_file_name(12), "velmar_game12.ini");
    EXPECT_EQ(kx2dll::service_info_file_text(8012), "[server info]\r\r\nport=8012\r\nip=127.0.0.1\r\n");
}

TEST(NetServiceTest, ListensOnTheGamePortOfLoopbackAndWritesTheInformationFile)
{
    service_test::isolated_env env;
    const int game = 741;
    if (!port_free(8741))
        GTEST_SKIP() << "port 8741 is in use on this machine";
    running_service running(game);
    ASSERT_TRUE(wait_until([&] { return running.service().Port() != 0; }, 5000));
    EXPECT_EQ(running.service().Port(), 8741);
    ASSERT_TRUE(wait_until([&] { return platform::file_exists(info_file(env, game)); }, 5000));
    EXPECT_EQ(service_test::read_text(info_file(env, game)), "[server info]\r\r\nport=8741\r\nip=127.0.0.1\r\n");
    // A launcher call is served.
    const auto out = service_test::call_service(8741, service_test::request_doc("unregister_client", game));
    EXPECT_EQ(service_test::decode(out.text),
              kx2dll::ServiceInterface::make_reply("unregister_client", 0, 1, game, "", "Unregister Client OK", ""));
    EXPECT_LT(running.stop(), 3000u);
    EXPECT_EQ(running.service().NetworkExitCode(), 0);
    EXPECT_TRUE(port_free(8741)) << "the listening socket is closed at stop";
}

TEST(NetServiceTest, ProbesUpwardPastTakenPorts)
{
    service_test::isolated_env env;
    const int game = 752;
    if (!ports_free(8752, 8754))
        GTEST_SKIP() << "ports 8752-8754 are in use on this machine";
    port_blocker first(8752);
    port_blocker second(8753);
    ASSERT_TRUE(first.held() && second.held());
    running_service running(game);
    ASSERT_TRUE(wait_until([&] { return running.service().Port() != 0; }, 5000));
    EXPECT_EQ(running.service().Port(), 8754);
    ASSERT_TRUE(wait_until([&] { return platform::file_exists(info_file(env, game)); }, 5000));
    EXPECT_EQ(service_test::read_text(info_file(env, game)), "[server info]\r\r\nport=8754\r\nip=127.0.0.1\r\n");
}

TEST(NetServiceTest, GivesUpAfterPort9001)
{
    service_test::isolated_env env;
    const int game = 1000;   // starts at 9000, the last port that may fail and go on
    std::vector<std::unique_ptr<port_blocker>> blockers;
    for (unsigned p = 9000; p <= 9001; ++p)
        blockers.push_back(std::make_unique<port_blocker>(static_cast<std::uint16_t>(p)));
    // A port some other program holds is just as taken; 9002 must stay
    // untried, so it has to be free for the check to mean anything.
    if (!port_free(9002))
        GTEST_SKIP() << "port 9002 is in use on this machine";
    running_service running(game);
    ASSERT_TRUE(wait_until([&] { return running.service().NetworkExitCode() == 1; }, 10000));
    EXPECT_EQ(running.service().Port(), 0);
    EXPECT_FALSE(platform::file_exists(info_file(env, game)));
    // The host still waits for the event, and stops when told.
    EXPECT_FALSE(running.returned());
    EXPECT_LT(running.stop(), 3000u);
}

TEST(NetServiceTest, StartAbove9000TriesOnePort)
{
    service_test::isolated_env env;
    const int game = 1500;   // 9500
    if (!ports_free(9500, 9501))
        GTEST_SKIP() << "ports 9500-9501 are in use on this machine";
    port_blocker taken(9500);
    ASSERT_TRUE(taken.held());
    running_service running(game);
    ASSERT_TRUE(wait_until([&] { return running.service().NetworkExitCode() == 1; }, 5000));
    EXPECT_TRUE(port_free(9501));
}

TEST(NetServiceTest, PortIsSixteenBitArithmetic)
{
    service_test::isolated_env env;
    const int game = 60000;   // 8000 + 60000 - 65536
    if (!port_free(2464))
        GTEST_SKIP() << "port 2464 is in use on this machine";
    running_service running(game);
    ASSERT_TRUE(wait_until([&] { return running.service().Port() != 0; }, 5000));
    EXPECT_EQ(running.service().Port(), 2464);
}

TEST(NetServiceTest, InformationFileFallsBackToTheSystemDirectory)
{
    service_test::isolated_env env;
    std::ofstream(env.root() + "/not_a_folder") << "x";
    test_support::ScopedEnv appdata("VR_APPDATA_DIR", env.root() + "/not_a_folder/appdata");
    const int game = 763;
    running_service running(game);
    ASSERT_TRUE(wait_until([&] { return running.service().Port() != 0; }, 5000));
    const std::string file = env.system_dir() + "/velmar_game763.ini";
    ASSERT_TRUE(wait_until([&] { return platform::file_exists(file); }, 5000));
    EXPECT_EQ(service_test::read_text(file), kx2dll::service_info_file_text(running.service().Port()));
}

TEST(NetServiceTest, StopEndsTheNetworkThreadWhileAClientHoldsAConnection)
{
    service_test::isolated_env env;
    const int game = 774;
    running_service running(game);
    ASSERT_TRUE(wait_until([&] { return running.service().Port() != 0; }, 5000));
    // A client that connects and says nothing must not hold the stop up.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(running.service().Port());
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    EXPECT_LT(running.stop(), 3000u);
    ::close(fd);
}

TEST(NetServiceTest, LogFollowsTheLoggingSwitch)
{
    service_test::isolated_env env;
    {
        fagex::LogManager manager;
        manager.createLog("vr_download_dll.log", true);
        bool existed = false;
        platform::NamedEvent event;
        ASSERT_TRUE(event.create(kx2dll::service_event_name(785), existed));
        NetService service(785);
        EXPECT_EQ(NetService::Instance(), &service);
        service.Log("line while on");
        service.SetLogging(false);
        service.Log("line while off");
        NetService::LogLine("static line while off");
        service.SetLogging(true);
        NetService::LogLine("static line while on");
    }
    EXPECT_EQ(NetService::Instance(), nullptr);
    const std::string log = service_test::read_text(env.service_log());
    EXPECT_NE(log.find(": game id [785] running ...\n"), std::string::npos);
    EXPECT_NE(log.find(": create ServiceInterface ...\n"), std::string::npos);
    EXPECT_NE(log.find(": line while on\n"), std::string::npos);
    EXPECT_EQ(log.find("while off"), std::string::npos);
    EXPECT_NE(log.find(": static line while on\n"), std::string::npos);
    EXPECT_NE(log.find(": ~ServiceInterface() ...\n"), std::string::npos);
}

TEST(NetServiceTest, RefusesToBuildWithoutTheNamedEvent)
{
    service_test::isolated_env env;
    EXPECT_THROW(NetService(796), fagex::Exception);
    EXPECT_EQ(NetService::Instance(), nullptr);
}
