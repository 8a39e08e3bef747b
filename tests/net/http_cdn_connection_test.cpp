#include "net/conn/http_cdn_connection.h"

#include "io_test_util.h"
#include "log_records.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "support/fake_range_task.h"
#include "support/nginx_server.h"
#include "support/range_server.h"
#include "support/task_fixture.h"
#include "support/temp_dir.h"

#include <gtest/gtest.h>

#include <cstring>

using test_support::FakeRangeTask;
using test_support::NginxServer;
using test_support::RangeServer;
using test_support::TaskFixture;

namespace {

constexpr std::uint32_t kPiece = 262144;
constexpr std::uint64_t kPeerId = 0x7F0000011F90ull;

PeerInfo CdnPeer(std::uint16_t port, std::uint64_t id = kPeerId)
{
    PeerInfo p = test_support::LoopbackHttpPeer(port, PEERTYPE_HTTP_CDN);
    p.clientid = id;
    SetFixedText(p.path, "127.0.0.1");
    return p;
}

// Waits until the connection has closed and every operation it had
// pending has ended: only the test's own reference is left.
bool Closed(zeq::http_cdn_connection* c, std::uint32_t ms)
{
    return test_support::wait_until([&] { return c->is_closing() && c->ref_count() == 1; }, ms);
}

class HttpCdnConnectionTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!NginxServer::Available())
            GTEST_SKIP() << "nginx is not installed";
        fixture = std::make_unique<TaskFixture>(root.path(), 11, kPiece,
                                                std::vector<std::uint64_t>{300000, 0, 2 * kPiece + 12345});
        ASSERT_TRUE(fixture->ok());
        nginx = std::make_unique<NginxServer>(root.path());
        ASSERT_TRUE(nginx->start()) << nginx->last_error();
        task = std::make_unique<FakeRangeTask>(&io.io, kPiece, test_support::FakeFilesOf(*fixture), 11);
    }

    void TearDown() override
    {
        io.stop();
        platform::set_tick_source(nullptr);
    }

    // Connects a new connection to `port` and starts it; the test keeps
    // the creator's reference until release().
    zeq::http_cdn_connection* Open(std::uint16_t port, std::uint64_t id = kPeerId, FakeRangeTask* of = nullptr)
    {
        PeerInfo peer = CdnPeer(port, id);
        const int socket = ConnectHttpPeer(peer, port);
        EXPECT_GE(socket, 0);
        auto* c = new zeq::http_cdn_connection(of ? of : task.get(), peer, 0);
        EXPECT_TRUE(c->start(socket));
        return c;
    }

    test_support::TempDir root;
    net_test::io_thread io;
    std::unique_ptr<TaskFixture> fixture;
    std::unique_ptr<NginxServer> nginx;
    std::unique_ptr<FakeRangeTask> task;
};

}   // namespace

TEST_F(HttpCdnConnectionTest, FetchesRunsFromNginxEachRangeExactlyAndCloses)
{
    task->AddHttpInfo({kPeerId, "127.0.0.1", fixture->files()[0].url_path});
    task->SetTextEnabled(true);
    zeq::http_cdn_connection* c = Open(nginx->port());
    EXPECT_EQ(1, task->HttpConnections(kPeerId));
    ASSERT_TRUE(Closed(c, 10000));
    // Every block arrived intact, and nothing else was written.
    EXPECT_TRUE(task->AllVerified());
    EXPECT_TRUE(task->ReceivedBlocksMatch());
    EXPECT_EQ(0u, task->SpeedEntries());
    EXPECT_EQ(1u, task->Removed());
    const auto served = nginx->AccessLog();
    ASSERT_EQ(c->requests(), served.size());
    std::uint64_t bytes = 0;
    for (const auto& one : served) {
        EXPECT_EQ(206, one.status);
        // Each range covers its run exactly: the server sent nothing we did not take.
        const std::size_t dash = one.range.find('-');
        ASSERT_NE(std::string::npos, dash) << one.range;
        EXPECT_EQ(std::stoull(one.range.substr(dash + 1)) - std::stoull(one.range.substr(6, dash - 6)) + 1,
                  one.bytes_sent)
            << one.range;
        bytes += one.bytes_sent;
    }
    EXPECT_EQ(task->BytesCounted(), bytes);
    bool sent = false;
    for (const std::string& t : task->Texts())
        sent = sent || t.find("zeq::http_cdn_connection: SEND SOCK[") != std::string::npos;
    EXPECT_TRUE(sent);
    c->release();
    // Counted out by the destructor, once the I/O thread let it go.
    EXPECT_TRUE(test_support::wait_until([&] { return task->HttpConnections(kPeerId) == 0; }));
}

TEST_F(HttpCdnConnectionTest, WholeTaskOverSuccessiveConnections)
{
    // One HTTP information names only the first file; the others are
    // fetched from the same folder.
    task->AddHttpInfo({kPeerId, "127.0.0.1", fixture->files()[0].url_path});
    for (int i = 0; i < 20 && !task->AllVerified(); ++i) {
        zeq::http_cdn_connection* c = Open(nginx->port());
        ASSERT_TRUE(Closed(c, 10000));
        c->release();
    }
    EXPECT_TRUE(task->AllVerified());
    for (std::size_t f = 0; f < fixture->files().size(); ++f)
        EXPECT_EQ(fixture->Bytes(f, 0, fixture->files()[f].size), task->Image(f)) << f;
    EXPECT_TRUE(test_support::wait_until([&] { return task->HttpConnections(kPeerId) == 0; }));
}

TEST_F(HttpCdnConnectionTest, RefusedStatusGivesTheRunBack)
{
    task->AddHttpInfo({kPeerId, "127.0.0.1", "/missing/file2.bin"});
    task->SetTextEnabled(true);
    zeq::http_cdn_connection* c = Open(nginx->port());
    ASSERT_TRUE(Closed(c, 10000));
    EXPECT_EQ(0u, task->BlocksWritten());
    for (std::uint32_t p = 0; p < task->PieceCount(); ++p)
        EXPECT_EQ(CBlockRequestMap::kFree, task->Picker().BlockState(std::int32_t(p), 0));
    bool logged = false;
    for (const std::string& t : task->Texts())
        logged = logged || t.find("\n11 http head statecode is not equ 206 and not 200, close!\n") != std::string::npos;
    EXPECT_TRUE(logged);
    c->release();
}

TEST_F(HttpCdnConnectionTest, HeaderSplitOverTwoSendsIsReadOn)
{
    RangeServer server;
    for (std::size_t f = 0; f < fixture->files().size(); ++f)
        server.AddFile(fixture->files()[f].url_path, fixture->Bytes(f, 0, fixture->files()[f].size));
    RangeServer::Behaviour behaviour;
    behaviour.header_split = 20;
    server.SetBehaviour(behaviour);
    ASSERT_TRUE(server.Start());
    const std::uint64_t id = 0x7F000001ull << 16 | server.port();
    task->AddHttpInfo({id, "127.0.0.1", fixture->files()[2].url_path});
    zeq::http_cdn_connection* c = Open(server.port(), id);
    ASSERT_TRUE(Closed(c, 10000));
    EXPECT_GT(task->BlocksWritten(), 0u);
    EXPECT_TRUE(task->ReceivedBlocksMatch());
    c->release();
    server.Stop();
}

TEST_F(HttpCdnConnectionTest, SilentServerTimesOutAfterFourSecondsWithoutAHead)
{
    RangeServer server;
    RangeServer::Behaviour behaviour;
    behaviour.silent = true;
    server.SetBehaviour(behaviour);
    ASSERT_TRUE(server.Start());
    const std::uint64_t id = 0x7F000001ull << 16 | server.port();
    task->AddHttpInfo({id, "127.0.0.1", fixture->files()[2].url_path});
    net_test::tick_offset().store(0);
    platform::set_tick_source(&net_test::shifted_tick);
    zeq::http_cdn_connection* c = Open(server.port(), id);
    ASSERT_TRUE(test_support::wait_until([&] { return server.Requests().size() == 1; }));
    // 2 s on: short of 4 s however long this machine took to get here.
    net_test::tick_offset().store(2000);
    ASSERT_TRUE(net_test::run_due_timers(io.io));
    EXPECT_FALSE(c->is_closing()) << "nothing times out before 4 s";
    net_test::tick_offset().store(5000);
    EXPECT_TRUE(Closed(c, 5000));
    EXPECT_EQ(1u, task->m_sources_failed.load()) << "the source waits out a back-off";
    EXPECT_EQ(CBlockRequestMap::kFree, task->Picker().BlockState(2, 0));
    c->release();
    server.Stop();
}

TEST_F(HttpCdnConnectionTest, RefusedConnectionEndsWithoutARequest)
{
    const std::uint16_t port = net_test::unused_port();   // held closed for the process
    task->AddHttpInfo({kPeerId, "127.0.0.1", fixture->files()[0].url_path});
    PeerInfo peer = CdnPeer(port);
    const int socket = ConnectHttpPeer(peer, port);
    if (socket >= 0) {
        // The refusal came after the zero wait: the connection sees it
        // before sending anything.
        auto* c = new zeq::http_cdn_connection(task.get(), peer, 0);
        ASSERT_TRUE(c->start(socket));
        ASSERT_TRUE(Closed(c, 5000));
        c->release();
    }
    EXPECT_EQ(0u, task->BlocksWritten());
    EXPECT_EQ(CBlockRequestMap::kFree, task->Picker().BlockState(2, 0));
}

TEST_F(HttpCdnConnectionTest, ServerEndingMidRunKeepsWrittenBlocksAndTheEventsAreLogged)
{
    net_test::installed_log_server log;
    ASSERT_TRUE(log.ok);
    // One whole block and part of the next, then the server ends the answer.
    RangeServer server;
    RangeServer::Behaviour behaviour;
    behaviour.raw_answer = "HTTP/1.1 206 Partial Content\r\nContent-Length: 300000\r\n\r\n" +
                           fixture->Bytes(0, 0, kBlockSize + 1000);
    server.SetBehaviour(behaviour);
    ASSERT_TRUE(server.Start());
    const std::uint64_t id = 0x7F000001ull << 16 | server.port();
    task->AddHttpInfo({id, "127.0.0.1", fixture->files()[0].url_path});
    zeq::http_cdn_connection* c = Open(server.port(), id);
    ASSERT_TRUE(Closed(c, 10000));
    EXPECT_EQ(1u, task->BlocksWritten());
    EXPECT_TRUE(task->ReceivedBlocksMatch());
    EXPECT_EQ(CBlockRequestMap::kReceived, task->Picker().BlockState(0, 0));
    EXPECT_EQ(CBlockRequestMap::kFree, task->Picker().BlockState(0, 1)) << "the missing blocks went back";
    EXPECT_EQ(1u, task->m_partials.size()) << "the part of the next block is kept";
    EXPECT_EQ(0u, task->SpeedEntries());
    c->release();
    // First request (7), header accepted (0), closed by the server (3).
    for (int result : {7, 0, 3})
        EXPECT_TRUE(
            test_support::wait_until([&] { return net_test::http_record_with_result(log.server, result); }, 10000))
            << result;

    // A refused connect gives no socket and is logged with result 1.
    PeerInfo refused = CdnPeer(net_test::unused_port());
    int socket = ConnectHttpPeer(refused, net_test::unused_port());
    if (socket < 0)
        EXPECT_TRUE(test_support::wait_until([&] { return net_test::http_record_with_result(log.server, 1); }, 10000));
    else
        platform::close_socket(socket);   // refused only after the zero wait
    server.Stop();
}

TEST_F(HttpCdnConnectionTest, ConnectHttpPeerResolvesTypeThreeRecords)
{
    PeerInfo peer = CdnPeer(nginx->port());
    peer.peertype = PEERTYPE_HTTP;
    peer.publicip = 0;
    int socket = ConnectHttpPeer(peer, nginx->port());
    EXPECT_GE(socket, 0);
    const std::uint32_t resolved = peer.publicip;
    EXPECT_EQ(platform::parse_ipv4("127.0.0.1"), resolved);
    platform::close_socket(socket);
    // A record without a host name gives no socket.
    SetFixedText(peer.hostname, "");
    EXPECT_EQ(-1, ConnectHttpPeer(peer, nginx->port()));
}

TEST_F(HttpCdnConnectionTest, ConnectionTheSetRefusesIsCountedOut)
{
    // Deleted without ever being started or closed.
    for (int i = 0; i < 3; ++i) {
        auto* c = new zeq::http_cdn_connection(task.get(), CdnPeer(80), 0);
        EXPECT_EQ(1, task->HttpConnections(kPeerId));
        EXPECT_FALSE(c->assign_task(0));
        c->release();
        EXPECT_EQ(0, task->HttpConnections(kPeerId));
    }
}

TEST_F(HttpCdnConnectionTest, KeptConnectionCarriesRunAfterRunWhereTheServerAllows)
{
    TaskFixture files(root.path(), 12, 65536, {70000, 5000, 140000, 30000}, "kept");   // a run or more each
    ASSERT_TRUE(files.ok());
    // server_answers: on one connection before it closes unannounced (0: nginx).
    const struct {
        const char* what;
        std::uint32_t server_answers, nginx_keepalive_requests, requests, redials;
    } cases[] = {
        {"nginx keeps the connection: the whole task", 0, 0, 4, 0},
        {"nginx answers \"Connection: close\"", 0, 1, 1, 0},
        {"a server closes the kept connection unannounced", 1, 0, 2, 1},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.what);
        NginxServer closing(root.path());
        closing.SetKeepaliveRequests(k.nginx_keepalive_requests);
        RangeServer server;
        for (std::size_t f = 0; f < files.files().size(); ++f)
            server.AddFile(files.files()[f].url_path, files.Bytes(f, 0, files.files()[f].size));
        RangeServer::Behaviour behaviour;
        behaviour.keep_alive_answers = k.server_answers;
        server.SetBehaviour(behaviour);
        ASSERT_TRUE(k.nginx_keepalive_requests == 0 || closing.start());
        ASSERT_TRUE(k.server_answers == 0 || server.Start());
        const std::uint16_t port = k.server_answers             ? server.port()
                                   : k.nginx_keepalive_requests ? closing.port()
                                                                : nginx->port();
        const std::uint64_t id = 0x7F000001ull << 16 | port;
        FakeRangeTask kept(&io.io, 65536, test_support::FakeFilesOf(files), 12);
        kept.AddHttpInfo({id, "127.0.0.1", files.files()[0].url_path});
        zeq::http_cdn_connection* c = Open(port, id, &kept);
        ASSERT_TRUE(Closed(c, 10000));
        const bool whole = k.requests == 4;
        EXPECT_TRUE(whole ? c->requests() >= 4 : c->requests() == k.requests) << c->requests();
        EXPECT_EQ(whole, kept.AllVerified());
        EXPECT_TRUE(kept.ReceivedBlocksMatch());
        EXPECT_EQ(CBlockRequestMap::kReceived, kept.Picker().BlockState(0, 0));
        // Neither a task with no run left nor a dropped kept connection is
        // the source's fault; the unanswered run went back and the fresh
        // connection is not held up by the count.
        EXPECT_EQ(0u, kept.m_sources_failed.load());
        EXPECT_EQ(k.redials, kept.m_redials.load());
        if (k.redials != 0) {
            EXPECT_EQ(CBlockRequestMap::kFree, kept.Picker().BlockState(2, 0));
            EXPECT_EQ(0, kept.HttpConnections(id));
            ASSERT_EQ(1u, server.Requests().size());
            EXPECT_NE(std::string::npos,
                      server.Requests()[0].find("\r\nConnection: keep-alive\r\nPragma: no-cache\r\n"));
        } else {
            const auto served = (k.nginx_keepalive_requests != 0 ? closing : *nginx).AccessLog();
            ASSERT_EQ(c->requests(), served.size());
            for (const auto& one : served)
                EXPECT_EQ(served[0].connection, one.connection) << "one connection";
        }
        c->release();
    }
}
