#include "report/log_connection.h"

#include <chrono>
#include <optional>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/closed_port.h"
#include "test_helpers.h"
#include "foundation/http_get.h"
#include "report/client_id.h"
#include "support/fake_log_server.h"
#include "support/temp_dir.h"

using report_test::FakeTick;
using test_support::wait_until;

namespace {

constexpr std::uint32_t kIp = 16777343;   // 127.0.0.1 as stored in network order on little-endian

std::vector<std::string> record_lines(const FakeLogServer& server)
{
    std::vector<std::string> out;
    for (const std::string& line : server.RequestLines())
        if (line.compare(0, 6, "GET /'") == 0)
            out.push_back(line);
    return out;
}

}   // namespace

TEST(LogConnection, SendsOneGetLinePerRecordWithTheUserAgent)
{
    FakeTick tick;
    FakeLogServer server;
    ASSERT_TRUE(server.Start());
    SetProcessClientId(42);
    CLogConnection log;
    ASSERT_TRUE(log.Init("127.0.0.1", server.port(), nullptr));
    EXPECT_TRUE(log.IsStarted());
    // The switch file is asked for at once.
    ASSERT_TRUE(server.WaitForRequests(1, 5000));
    EXPECT_EQ(server.RequestLines()[0], "GET /clog_switch.txt HTTP/1.1");

    log.AddPeerLog(5, 7, 9, kIp, 9000, 0);
    log.AddPeerLog(5, 7, 9, kIp, 9000, 3);
    log.AddPeerLog(5, 7, 9, kIp, 9000, 0);
    log.AddHttpSvrLog(7, 8, 10, kIp, 80, 7);
    log.AddEvent(9, 0, kIp, 80, 2);
    EXPECT_EQ(log.QueuedRecords(), 3u);

    tick.advance(1000);
    ASSERT_TRUE(server.WaitForRequests(4, 5000));
    const std::vector<std::string> lines = record_lines(server);
    ASSERT_EQ(lines.size(), 3u);
    // Events, HTTP-server records, then peer records; results counted per code.
    const std::regex event("GET /'e,42,9,0,16777343,80,2x1,[0-9]+' HTTP/1\\.1");
    const std::regex http("GET /'h,8,7,10,16777343,80,7x1,[0-9]+' HTTP/1\\.1");
    const std::regex peer("GET /'p,7,5,9,16777343,9000,0x2\\+3x1,[0-9]+' HTTP/1\\.1");
    EXPECT_TRUE(std::regex_match(lines[0], event)) << lines[0];
    EXPECT_TRUE(std::regex_match(lines[1], http)) << lines[1];
    EXPECT_TRUE(std::regex_match(lines[2], peer)) << lines[2];
    for (const std::string& agent : server.UserAgents())
        EXPECT_EQ(agent, "p2sp_client_log 1");
    EXPECT_TRUE(wait_until([&] { return log.SentRecords() == 3u; }));
    EXPECT_EQ(log.QueuedRecords(), 0u);
    log.Stop();
    EXPECT_FALSE(log.IsStarted());
    SetProcessClientId(0);
}

TEST(LogConnection, RepeatsAreCountedPerKeyAndResult)
{
    struct Case {
        std::uint32_t kind;
        std::uint64_t client;
        std::uint32_t ip;
        std::uint16_t port;
        std::uint32_t result;
    };
    // Same client/kind/address/port merge; any difference makes a new record.
    const std::vector<Case> cases = {
        {5, 1, kIp, 100, 0}, {5, 1, kIp, 100, 0},     {5, 1, kIp, 100, 4}, {6, 1, kIp, 100, 0},
        {5, 2, kIp, 100, 0}, {5, 1, kIp + 1, 100, 0}, {5, 1, kIp, 101, 1}, {5, 1, kIp, 101, 1},
    };
    FakeTick tick;
    FakeLogServer server;
    ASSERT_TRUE(server.Start());
    CLogConnection log;
    for (const Case& c : cases)
        log.AddPeerLog(c.kind, c.client, 77, c.ip, c.port, c.result);
    EXPECT_EQ(log.QueuedRecords(), 5u);
    ASSERT_TRUE(log.Init("127.0.0.1", server.port(), ""));
    tick.advance(1000);
    ASSERT_TRUE(server.WaitForRequests(6, 5000));
    const std::vector<std::string> lines = record_lines(server);
    ASSERT_EQ(lines.size(), 5u);
    const std::vector<std::string> expected = {
        "p,1,5,77,16777343,100,0x2+4x1,", "p,1,6,77,16777343,100,0x1,", "p,2,5,77,16777343,100,0x1,",
        "p,1,5,77,16777344,100,0x1,",     "p,1,5,77,16777343,101,1x2,",
    };
    for (std::size_t i = 0; i < expected.size(); ++i)
        EXPECT_EQ(lines[i].compare(6, expected[i].size(), expected[i]), 0) << lines[i];
}

TEST(LogConnection, QueueStaysBoundedWhileTheServerIsDownAndKeepsTheNewest)
{
    FakeTick tick;
    std::optional<ClosedPort> closed(std::in_place);
    const std::uint16_t port = closed->port();
    CLogConnection log;
    log.SetQueueLimit(50);
    ASSERT_TRUE(log.Init("127.0.0.1", port, nullptr));
    for (std::uint16_t i = 0; i < 500; ++i)
        log.AddPeerLog(5, 1, 1, kIp, static_cast<std::uint16_t>(1000 + i), 0);
    EXPECT_EQ(log.QueuedRecords(), 50u);
    EXPECT_EQ(log.DroppedRecords(), 450u);
    // Failed passes put the records back without growing past the cap.
    for (int pass = 0; pass < 3; ++pass) {
        tick.advance(1000);
        platform::sleep_ms(120);
        log.AddPeerLog(5, 1, 1, kIp, static_cast<std::uint16_t>(2000 + pass), 0);
        EXPECT_LE(log.QueuedRecords(), 50u);
    }
    EXPECT_EQ(log.SentRecords(), 0u);

    // The server comes back on the same port: the newest 50 records arrive.
    // The port is let go only now; the sender dials nothing until the tick
    // moves on.
    closed.reset();
    FakeLogServer server;
    ASSERT_TRUE(server.Start(port));
    tick.advance(1000);
    ASSERT_TRUE(wait_until([&] { return record_lines(server).size() >= 50u; }));
    const std::vector<std::string> lines = record_lines(server);
    ASSERT_EQ(lines.size(), 50u);
    EXPECT_NE(lines.back().find(",2002,0x1,"), std::string::npos) << lines.back();
    for (const std::string& line : lines)
        EXPECT_EQ(line.find(",1000,0x1,"), std::string::npos) << "oldest record should be dropped: " << line;
    EXPECT_EQ(log.QueuedRecords(), 0u);
}

TEST(LogConnection, SwitchFileTurnsSendingOffAndOn)
{
    FakeTick tick;
    FakeLogServer server;
    server.SetReply("/clog_switch.txt", 200, "0\r\n");
    ASSERT_TRUE(server.Start());
    CLogConnection log;
    ASSERT_TRUE(log.Init("127.0.0.1", server.port(), nullptr));
    ASSERT_TRUE(wait_until([&] { return !log.SendingEnabled(); }));
    log.AddPeerLog(5, 1, 1, kIp, 1, 0);
    log.AddEvent(13, 0, kIp, 9000, 2);
    tick.advance(1000);
    // The pass discards what the server does not want.
    ASSERT_TRUE(wait_until([&] { return log.QueuedRecords() == 0u; }));
    EXPECT_EQ(log.DroppedRecords(), 2u);
    EXPECT_TRUE(record_lines(server).empty());

    // Re-read after 60 s: "1" switches sending back on.
    server.SetReply("/clog_switch.txt", 200, "1");
    log.AddPeerLog(5, 1, 1, kIp, 2, 0);
    tick.advance(60000);
    ASSERT_TRUE(wait_until([&] { return log.SendingEnabled(); }));
    tick.advance(1000);
    ASSERT_TRUE(wait_until([&] { return record_lines(server).size() == 1u; }));
    // A missing switch file (404) leaves the state as it is.
    server.SetReply("/clog_switch.txt", 404, "0");
    tick.advance(60000);
    ASSERT_TRUE(server.WaitForRequests(4, 5000));
    EXPECT_TRUE(log.SendingEnabled());
}

TEST(LogConnection, CustomSwitchUrlIsRequestedAsAPath)
{
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"switch/a.txt", "GET /switch/a.txt HTTP/1.1"},
        {"/b.txt", "GET /b.txt HTTP/1.1"},
        {"http://example.invalid/c.txt", "GET /c.txt HTTP/1.1"},
        {"", "GET /clog_switch.txt HTTP/1.1"},
    };
    for (const auto& c : cases) {
        FakeLogServer server;
        ASSERT_TRUE(server.Start());
        CLogConnection log;
        ASSERT_TRUE(log.Init("127.0.0.1", server.port(), c.first));
        ASSERT_TRUE(server.WaitForRequests(1, 5000)) << c.first;
        EXPECT_EQ(server.RequestLines()[0], c.second);
    }
}

TEST(LogConnection, StopEndsWithinItsBoundWhileTheServerIsSilent)
{
    FakeLogServer server(FakeLogServer::Mode::raw);
    server.SetWithholdClose(true);
    ASSERT_TRUE(server.Start());
    CLogConnection log;
    ASSERT_TRUE(log.Init("127.0.0.1", server.port(), nullptr));
    // The switch request is out and its reply will never come.
    ASSERT_TRUE(wait_until([&] { return server.Connections() >= 1u; }));
    platform::sleep_ms(50);
    const auto start = std::chrono::steady_clock::now();
    log.Stop();
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(took).count(), 1000);
    EXPECT_FALSE(log.IsStarted());
    server.Stop();
}

TEST(LogConnection, MirrorSendsEveryRecordToTheLocalReceiverToo)
{
    FakeTick tick;
    FakeLogServer server;
    FakeLogServer local;
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(local.Start());
    test_support::ScopedEnv env("VR_LOG_LOCAL", "127.0.0.1:" + std::to_string(local.port()));
    CLogConnection log;
    ASSERT_TRUE(log.Init("127.0.0.1", server.port(), nullptr));
    log.SetMirrorToLocal(true);
    log.AddPeerLog(6, 3, 4, kIp, 5, 7);
    tick.advance(1000);
    ASSERT_TRUE(wait_until([&] { return record_lines(local).size() == 1u; }));
    ASSERT_TRUE(wait_until([&] { return record_lines(server).size() == 1u; }));
    EXPECT_EQ(record_lines(local)[0], record_lines(server)[0]);
}

TEST(LogConnection, EmptyHostUsesTheBuiltInServerFromTheEnvironment)
{
    FakeLogServer server;
    ASSERT_TRUE(server.Start());
    test_support::ScopedEnv env("VR_LOG_SERVER", "127.0.0.1:" + std::to_string(server.port()));
    CLogConnection log;
    ASSERT_TRUE(log.Init("", 0, nullptr));
    EXPECT_TRUE(server.WaitForRequests(1, 5000));
}

TEST(LogConnection, ProcessWideInstanceTurnsHttpGetFailuresIntoEvents)
{
    EXPECT_EQ(CLogConnection::GetInstance(), nullptr);
    FakeTick tick;
    FakeLogServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(CreateProcessLogConnection("127.0.0.1", server.port(), nullptr));
    CLogConnection* log = CLogConnection::GetInstance();
    ASSERT_NE(log, nullptr);
    // A second create keeps the same running instance.
    EXPECT_TRUE(CreateProcessLogConnection("127.0.0.1", 1, nullptr));
    EXPECT_EQ(CLogConnection::GetInstance(), log);

    std::vector<char> body;
    const ClosedPort closed;
    const std::string url = "http://127.0.0.1:" + std::to_string(closed.port()) + "/x";
    EXPECT_EQ(HttpGetUrl(url, body), 1);
    EXPECT_EQ(log->QueuedRecords(), 1u);
    tick.advance(1000);
    ASSERT_TRUE(wait_until([&] { return record_lines(server).size() == 1u; }));
    EXPECT_EQ(record_lines(server)[0].compare(0, 8, "GET /'e,"), 0);
    EXPECT_NE(record_lines(server)[0].find(",9,0,"), std::string::npos);

    DestroyProcessLogConnection();
    EXPECT_EQ(CLogConnection::GetInstance(), nullptr);
    // No sink any more: a failing GET must not touch the deleted connection.
    EXPECT_EQ(HttpGetUrl(url, body), 1);
    DestroyProcessLogConnection();
}
