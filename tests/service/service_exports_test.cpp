#include "service/service_exports.h"
#include "service/service_guard.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "fagex/fagexException.h"
#include "platform/named_event.h"
#include "platform/paths.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "service_test_support.h"
#include "service/net_service.h"
#include "service/service_interface.h"
#include "service/service_log.h"
#include "service/service_version.h"

using test_support::wait_until;

namespace {

// startService on a thread of its own, as a host runs it.
class hosted_service {
public:
    explicit hosted_service(std::string command_line) : m_command_line(std::move(command_line))
    {
        m_thread.start([this] {
            startService(nullptr, nullptr, m_command_line.c_str(), 1);
            m_result.store(startServiceResult());
            m_returned.store(true);
        });
    }
    ~hosted_service()
    {
        if (!m_returned.load())
            shutdownService(nullptr, nullptr, m_command_line.c_str(), 1);
        EXPECT_TRUE(m_thread.join_for(10000));
        m_thread.join();
    }
    bool returned() const { return m_returned.load(); }
    // startServiceResult on the thread that ran it, once it returned.
    int result() const { return m_result.load(); }
    bool wait_returned(std::uint32_t ms)
    {
        return wait_until([this] { return returned(); }, ms);
    }

private:
    std::string m_command_line;
    platform::Thread m_thread;
    std::atomic<bool> m_returned{false};
    std::atomic<int> m_result{VR_START_NONE};
};

std::uint16_t port_of(const service_test::isolated_env& env, int game_id)
{
    const std::string text = service_test::read_text(env.appdata() + "/ZVK/" + kx2dll::service_info_file_name(game_id));
    const std::size_t at = text.find("port=");
    return at == std::string::npos ? 0 : static_cast<std::uint16_t>(std::stoi(text.substr(at + 5)));
}

bool log_has(const service_test::isolated_env& env, const std::string& line)
{
    return service_test::read_text(env.service_log()).find(": " + line + "\n") != std::string::npos;
}

std::size_t count_of(const std::string& text, const std::string& part)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1))
        ++n;
    return n;
}

}   // namespace

TEST(StartService, RunsUntilShutdownAndRefusesASecondStartOfTheSameId)
{
    service_test::isolated_env env;
    const int game = 812;
    hosted_service first(std::to_string(game));
    ASSERT_TRUE(wait_until([&] { return port_of(env, game) != 0; }, 5000));
    const std::uint16_t port = port_of(env, game);
    EXPECT_TRUE(platform::NamedEvent::exists("EVENT_P2SP_DOWNLOAD_DLL_EXISTS812"));

    {
        hosted_service second(std::to_string(game));
        EXPECT_TRUE(second.wait_returned(3000));
    }
    EXPECT_TRUE(log_has(env, "startService - dll is running!"));
    EXPECT_FALSE(first.returned());

    // The first keeps serving.
    const auto out = service_test::call_service(port, service_test::request_doc("unregister_client", game));
    EXPECT_EQ(service_test::decode(out.text),
              kx2dll::ServiceInterface::make_reply("unregister_client", 0, 1, game, "", "Unregister Client OK", ""));

    const std::uint32_t start = platform::tick_count();
    shutdownService(nullptr, nullptr, "812", 1);
    ASSERT_TRUE(first.wait_returned(5000));
    EXPECT_LT(platform::tick_count() - start, 3000u);
    EXPECT_FALSE(platform::NamedEvent::exists("EVENT_P2SP_DOWNLOAD_DLL_EXISTS812"));
    EXPECT_EQ(NetService::Instance(), nullptr);

    const std::string log = service_test::read_text(env.service_log());
    for (const std::string& line :
         std::vector<std::string>{"game id [812] running ...", "create ServiceInterface ...",
                                  "service listen port is " + std::to_string(port) + " ...",
                                  "recv request packet : " + service_test::request_doc("unregister_client", game),
                                  "NetServiceThreadProc exit ...", "~ServiceInterface() ..."}) {
        SCOPED_TRACE(line);
        EXPECT_TRUE(log_has(env, line));
    }
    EXPECT_LT(log.find("NetServiceThreadProc exit ..."), log.find("~ServiceInterface() ..."));
}

TEST(StartService, KeepsThePreviousRunsLogAndTellsTheHostHowTheStartEnded)
{
    service_test::isolated_env env;
    const int game = 816;
    const std::string first_line = ": vr_download " + std::string(kx2dll::service_version()) + "\n";
    // The result is kept per thread: one that never started a service has none
    // (this test's own thread may have run a start in an earlier test).
    int untouched = -1;
    std::thread([&] { untouched = startServiceResult(); }).join();
    EXPECT_EQ(untouched, VR_START_NONE);
    {
        hosted_service first(std::to_string(game));
        ASSERT_TRUE(wait_until([&] { return port_of(env, game) != 0; }, 5000));
        hosted_service again(std::to_string(game));
        ASSERT_TRUE(again.wait_returned(3000));
        EXPECT_EQ(again.result(), VR_START_ALREADY_RUNNING);
        hosted_service refused("x816");
        ASSERT_TRUE(refused.wait_returned(3000));
        EXPECT_EQ(refused.result(), VR_START_NOT_A_NUMBER);
        shutdownService(nullptr, nullptr, "816", 0);
        ASSERT_TRUE(first.wait_returned(5000));
        EXPECT_EQ(first.result(), VR_START_STOPPED);
    }
    const std::string first_run = service_test::read_text(env.service_log());
    // The log's first line names the version.
    EXPECT_EQ(first_run.find(first_line), 8u) << first_run;
    ASSERT_NE(first_run.find("NetServiceThreadProc exit ..."), std::string::npos);

    // The next start keeps the run before in the ".1" file.
    hosted_service second(std::to_string(game));
    ASSERT_TRUE(wait_until(
        [&] { return platform::file_exists(env.service_log() + ".1") && log_has(env, "create ServiceInterface ..."); },
        5000));
    EXPECT_EQ(service_test::read_text(env.service_log() + ".1"), first_run);
    const std::string second_run = service_test::read_text(env.service_log());
    EXPECT_EQ(second_run.find(first_line), 8u) << second_run;
    EXPECT_EQ(second_run.find("NetServiceThreadProc exit ..."), std::string::npos) << second_run;
    ASSERT_TRUE(wait_until([&] { return platform::NamedEvent::exists("EVENT_P2SP_DOWNLOAD_DLL_EXISTS816"); }, 5000));
    shutdownService(nullptr, nullptr, "816", 0);
    EXPECT_TRUE(second.wait_returned(5000));
}

TEST(StartService, RefusesACommandLineThatIsNotANumber)
{
    service_test::isolated_env env;
    for (const char* text : {"abc", "", "12a", "1.5"}) {
        SCOPED_TRACE(text);
        hosted_service refused(text);
        EXPECT_TRUE(refused.wait_returned(3000));
    }
    startService(nullptr, nullptr, nullptr, 0);   // returns at once
    EXPECT_TRUE(log_has(env, "startService - 'lpCmdLine' is not number!"));
    shutdownService(nullptr, nullptr, "abc", 0);   // does nothing
    shutdownService(nullptr, nullptr, nullptr, 0);
}

TEST(StartService, ExceptionsOfTheServiceAreLoggedAndGoNoFurther)
{
    service_test::isolated_env env;
    kx2dll::open_service_log();   // as startService does before the body
    bool ran = false;
    kx2dll::run_service_guarded([&] { ran = true; });
    EXPECT_TRUE(ran);
    kx2dll::run_service_guarded(
        [] { FAGEX_EXCEPT(fagex::Exception::ERR_INTERNAL_ERROR, "the test's failure", "ServiceBody"); });
    kx2dll::run_service_guarded([] { throw std::runtime_error("not a fagex exception"); });
    kx2dll::run_service_guarded([] { throw 42; });
    NetService::ReleaseLogManager();
    const std::string log = service_test::read_text(env.service_log());
    const std::size_t fagex_line = log.find(": An exception has occured : ");
    ASSERT_NE(std::string::npos, fagex_line) << log;
    const std::size_t description = log.find("the test's failure", fagex_line);
    const std::size_t last_error = log.find("\nGetLastError() : ", fagex_line);
    EXPECT_NE(std::string::npos, description) << log;
    EXPECT_LT(description, last_error) << log;
    EXPECT_EQ(2u, count_of(log, ": An unkown exception has occured!\n")) << log;
    EXPECT_EQ(1u, count_of(log, "An exception has occured")) << log;
}

TEST(StartService, LeadingZerosNameTheSameGame)
{
    service_test::isolated_env env;
    hosted_service running("0823");
    ASSERT_TRUE(wait_until([&] { return port_of(env, 823) != 0; }, 5000));
    EXPECT_TRUE(platform::NamedEvent::exists("EVENT_P2SP_DOWNLOAD_DLL_EXISTS823"));
    shutdownService(nullptr, nullptr, "823", 0);
    EXPECT_TRUE(running.wait_returned(5000));
}

TEST(ShutdownService, WithoutARunningServiceDoesNothing)
{
    service_test::isolated_env env;
    shutdownService(nullptr, nullptr, "834", 0);
    EXPECT_FALSE(platform::NamedEvent::exists("EVENT_P2SP_DOWNLOAD_DLL_EXISTS834"));
    // A later start is not stopped by that earlier request.
    hosted_service running("834");
    ASSERT_TRUE(wait_until([&] { return port_of(env, 834) != 0; }, 5000));
    platform::sleep_ms(200);
    EXPECT_FALSE(running.returned());
}

TEST(StartService, ServiceLogShowsTheHeadOfLongRequestsAndStaysBounded)
{
    service_test::isolated_env env;
    constexpr std::size_t limit = 8 * 1024;
    kx2dll::set_service_log_limit(limit);
    const int game = 841;
    const std::string request = service_test::request_doc("no_such_command", game,
                                                          {{"file_md5", std::string(100000, 'a')}});
    const std::string long_type = std::string(100000, 't');
    {
        hosted_service running(std::to_string(game));
        ASSERT_TRUE(wait_until([&] { return port_of(env, game) != 0; }, 5000));
        for (int i = 0; i < 20; ++i) {
            const auto out = service_test::call_service(port_of(env, game), request);
            ASSERT_TRUE(out.answered);
        }
        ASSERT_TRUE(
            service_test::call_service(port_of(env, game), service_test::request_doc(long_type, game)).answered);
    }
    kx2dll::set_service_log_limit(kx2dll::default_service_log_limit);
    const std::string log = service_test::read_text(env.service_log());
    const std::string moved = service_test::read_text(env.service_log() + ".1");
    const std::size_t line_room = 2048;
    EXPECT_LE(log.size(), limit + line_room);
    EXPECT_GT(moved.size(), limit);
    EXPECT_LE(moved.size(), limit + line_room);
    EXPECT_TRUE(log_has(env, "recv request packet : " + request.substr(0, 1024) + "... (" +
                                 std::to_string(request.size()) + " bytes)"))
        << log.substr(0, 2000);
    EXPECT_TRUE(log_has(env, "recv request xml parse error : not find function '" + long_type.substr(0, 1024) +
                                 "... (100000 bytes)'"));
    EXPECT_TRUE(log_has(env, "NetServiceThreadProc exit ..."));
}
