// The task's CDN side: the CDN query by task id and the random HTTP peer.
#include "engine/download_task.h"

#include "engine/cdn_thread.h"
#include "support/range_server.h"
#include "task_harness.h"

#include <gtest/gtest.h>

#include <set>
#include <thread>

using task_test::TaskHarness;
using test_support::RangeServer;

namespace {

const char* const kQueryPath = "/cdnquery.php?taskid=77";

// A CDN query server answering `reply` to the query of task 77.
struct QueryServer {
    explicit QueryServer(const std::string& reply)
    {
        server.AddFile(kQueryPath, reply);
        EXPECT_TRUE(server.Start());
    }
    // The setting value without "http://".
    std::string Prefix() const { return "127.0.0.1:" + std::to_string(server.port()) + "/cdnquery.php?taskid="; }

    RangeServer server;
};

// The id of 127.0.0.1:port: its address as the record holds it (network
// order) above the port.
std::uint64_t UrlId(std::uint16_t port)
{
    return (std::uint64_t(platform::parse_ipv4("127.0.0.1")) << 16) | port;
}

const HttpPeerInfo* FindInfo(const std::vector<HttpPeerInfo>& infos, std::uint64_t id)
{
    for (const auto& info : infos) {
        if (info.peerid == id)
            return &info;
    }
    return nullptr;
}

// HTTP peers of the given ids, all 127.0.0.1:8080.
bool AddHttpPeers(CDownload_Task* task, std::initializer_list<std::uint64_t> ids)
{
    for (std::uint64_t id : ids) {
        PeerInfo p{};
        p.clientid = id;
        p.publicport = 8080;
        p.peertype = PEERTYPE_HTTP;
        SetFixedText(p.hostname, "127.0.0.1");
        if (!task->GetHttpPeerList().AddHttpPeer(&p))
            return false;
    }
    return true;
}

}   // namespace

TEST(DownloadTaskCdn, QueryTurnsEveryUrlLineIntoAnHttpPeer)
{
    TaskHarness h;
    // Two URLs with CR LF line ends and an empty line between them.
    QueryServer query("http://127.0.0.1:8081/game/data/file0.bin\r\n\r\nhttp://127.0.0.1:8082/mirror/file1.bin\r\n");
    CDownload_Task* task = h.MakeTask();
    // Set once the task's own timer (due at its construction) has stopped.
    g_Settings.Set("only_cdn_by_id", query.Prefix());
    EXPECT_TRUE(task->try_cdn_download());
    // What the query found is stored by the I/O thread (the test runs it).
    EXPECT_EQ(0, task->GetHttpPeerList().GetCount());
    EXPECT_EQ(1u, h.io.poll());

    const auto requests = query.server.Requests();
    ASSERT_EQ(1u, requests.size());
    EXPECT_EQ(0u, requests[0].find(std::string("GET ") + kQueryPath + " HTTP/1.0\r\n")) << requests[0];

    std::vector<HttpPeerInfo> infos;
    task->GetHttpPeerInfoList(infos);
    const HttpPeerInfo* first = FindInfo(infos, UrlId(8081));
    const HttpPeerInfo* second = FindInfo(infos, UrlId(8082));
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ("127.0.0.1", first->host);
    EXPECT_EQ("/game/data/file0.bin", first->path);
    EXPECT_EQ("/mirror/file1.bin", second->path);

    // The peers keep the ports of their URLs.
    std::vector<PeerInfo> peers;
    task->GetHttpPeerList().GetAll(peers);
    std::set<std::uint16_t> ports;
    for (const PeerInfo& p : peers) {
        const std::uint16_t port = p.publicport;   // packed fields are copied out, never bound
        const std::uint32_t ip = p.publicip;
        ports.insert(port);
        EXPECT_EQ(platform::parse_ipv4("127.0.0.1"), ip);
    }
    EXPECT_EQ((std::set<std::uint16_t>{8081, 8082}), ports);
    // Each URL's server is one source under one id: the query's record and
    // the expansion of its host name meet under it.
    EXPECT_EQ(2, task->GetHttpPeerList().GetCount());
    EXPECT_EQ(2u, infos.size());
    EXPECT_EQ(2u, h.events.With("text http peer,id:").size());
    for (const PeerInfo& p : peers)
        EXPECT_TRUE(+p.clientid == UrlId(8081) || +p.clientid == UrlId(8082)) << +p.clientid;
}

TEST(DownloadTaskCdn, PeersTheQueryFoundAreDialledWithoutWaitingForTimerOnesPeriod)
{
    // The clocks stand still: timer 1 runs at the task's start and after
    // that only when woken. The task is not ready, so its CDN thread dials
    // nothing and every dial is the task's.
    task_test::FakeClocks clocks;
    TaskHarness h;
    QueryServer query("http://127.0.0.1:8081/game/data/file0.bin\n");
    g_Settings.Set("only_cdn_by_id", query.Prefix());
    std::thread io_thread([&] { h.io.run(); });
    h.MakeTask(true)->Start(std::uint32_t(h.fx.files().size()), h.fx.file_list(), h.dir.file("save"));
    const bool dialled = test_support::wait_until([&] { return !task_test::MakerJournal::Get().Of('d').empty(); });
    h.io.stop();
    io_thread.join();
    EXPECT_EQ(1u, query.server.Requests().size());
    ASSERT_TRUE(dialled) << "the peer waits for timer 1's next period";
    const auto dials = task_test::MakerJournal::Get().Of('d');
    EXPECT_EQ(PEERTYPE_HTTP_CDN, +dials[0].peer.peertype);
    EXPECT_EQ(8081, dials[0].port);
}

TEST(DownloadTaskCdn, QueryIsSkippedOrFailsCleanly)
{
    struct Case {
        const char* what;
        bool set_prefix;
        const char* reply;
        bool peer_known;
        std::size_t requests;
        std::int32_t peers;
    };
    const Case cases[] = {
        {"a task with HTTP peers asks nobody", true, "http://127.0.0.1:8081/a.bin\n", true, 0, 1},
        {"a reply of 7 bytes names nobody", true, "http://", false, 1, 0},
        {"lines that are not URLs are dropped", true, "\r\n\r\n/just/a/path\r\n", false, 1, 0},
    };
    for (const Case& c : cases) {
        TaskHarness h;
        QueryServer query(c.reply);
        CDownload_Task* task = h.MakeTask();
        g_Settings.Set("only_cdn_by_id", query.Prefix());
        if (c.peer_known) {
            PeerInfo known{};
            known.clientid = 5;
            known.peertype = PEERTYPE_HTTP;
            SetFixedText(known.hostname, "127.0.0.1");
            ASSERT_TRUE(task->GetHttpPeerList().AddHttpPeer(&known));
        }
        task->try_cdn_download();
        h.io.poll();
        EXPECT_EQ(c.requests, query.server.Requests().size()) << c.what;
        EXPECT_EQ(c.peers, task->GetHttpPeerList().GetCount()) << c.what;
    }
}

TEST(DownloadTaskCdn, MissingSettingIsReported)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeTask();
    task->try_cdn_download();
    h.io.poll();
    EXPECT_EQ(0, task->GetHttpPeerList().GetCount());
    EXPECT_FALSE(h.events.With("error not find 'only_cdn_by_id' item, try_cdn_download() failed!\n").empty());
}

TEST(DownloadTaskCdn, ReplyLinesAreCapped)
{
    TaskHarness h;
    std::string reply;
    for (int i = 0; i < 200; ++i)
        reply += "http://127.0.0.1:" + std::to_string(9000 + i) + "/f.bin\n";
    reply += "http://127.0.0.1:8999/" + std::string(2000, 'x') + "\n";   // too long: skipped
    QueryServer query(reply);
    CDownload_Task* task = h.MakeTask();
    // Set once the task's own timer (due at its construction) has stopped.
    g_Settings.Set("only_cdn_by_id", query.Prefix());
    task->try_cdn_download();
    h.io.poll();
    std::vector<HttpPeerInfo> infos;
    task->GetHttpPeerInfoList(infos);
    std::size_t from_urls = 0;
    for (const auto& info : infos) {
        if ((info.peerid >> 16) == platform::parse_ipv4("127.0.0.1"))
            ++from_urls;
    }
    EXPECT_EQ(64u, from_urls);
    EXPECT_EQ(nullptr, FindInfo(infos, UrlId(9064)));
    EXPECT_EQ(nullptr, FindInfo(infos, UrlId(8999)));
}

// A patch's answer names every one of its 5,003 files (over 256 KB): it is
// taken whole, its one server looked up once, and each file keeps its own
// URL. An answer past the bound is refused with the reason told.
TEST(DownloadTaskCdn, AnswerNamingEveryFileOfALargePatchIsTaken)
{
    {
        TaskHarness h;
        std::string reply;
        for (int i = 0; i < 5003; ++i) {
            reply += "http://127.0.0.1:8081/patch/v2/data/maps/" + std::to_string(i % 40) + "/f" +
                     std::to_string(10000 + i % 1000) + ".res\r\n";
        }
        ASSERT_GT(reply.size(), 256u * 1024);
        QueryServer query(reply);
        CDownload_Task* task = h.MakeTask();
        g_Settings.Set("only_cdn_by_id", query.Prefix());
        EXPECT_TRUE(task->try_cdn_download());
        h.io.poll();
        EXPECT_EQ(1u, query.server.Requests().size());
        // The server and its one address, not a record per URL.
        EXPECT_GE(task->GetHttpPeerList().GetCount(), 1);
        EXPECT_LE(task->GetHttpPeerList().GetCount(), 2);
        std::string url;
        EXPECT_EQ(zeq::file_url_table::match::found,
                  task->FindFileUrl("127.0.0.1", "data/maps/1/f10041.res", "/patch/v2/data/maps/0/", url));
        EXPECT_EQ("/patch/v2/data/maps/1/f10041.res", url);
        EXPECT_EQ(zeq::file_url_table::match::found,
                  task->FindFileUrl("127.0.0.1", "data/maps/2/f10002.res", "/patch/v2/data/maps/0/", url));
        EXPECT_EQ("/patch/v2/data/maps/2/f10002.res", url);
    }
    {
        TaskHarness h;
        QueryServer query("http://127.0.0.1:8081/a.bin\n" + std::string((16u << 20) + 1, '#'));
        CDownload_Task* task = h.MakeTask();
        g_Settings.Set("only_cdn_by_id", query.Prefix());
        EXPECT_FALSE(task->try_cdn_download());
        h.io.poll();
        EXPECT_EQ(0, task->GetHttpPeerList().GetCount());
        const auto said = h.events.With("error task 77: the CDN query http://" + query.Prefix() + "77 failed: ");
        ASSERT_EQ(said.size(), 1u);
        EXPECT_NE(said[0].find("the answer is larger than 16777216 bytes"), std::string::npos) << said[0];
    }
}

TEST(DownloadTaskCdn, PickHttpPeerSpreadsOverThePeers)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeTask();
    PeerInfo out{};
    EXPECT_FALSE(task->PickHttpPeer(out));
    ASSERT_TRUE(AddHttpPeers(task, {11, 12, 13}));
    // Many picks within the same second still reach every peer.
    std::set<std::uint64_t> seen;
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(task->PickHttpPeer(out));
        const std::uint64_t id = out.clientid;
        seen.insert(id);
    }
    EXPECT_EQ((std::set<std::uint64_t>{11, 12, 13}), seen);
}

// The first source to answer does not keep the task to itself: every other
// source still gets one connection, and one that has not answered gets no
// second while a proven one serves.
TEST(DownloadTaskCdn, PickHttpPeerTriesEachSourceOnceBeforeTheProvenOnes)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeTask();
    ASSERT_TRUE(AddHttpPeers(task, {21, 22, 23}));
    PeerInfo out{};
    ASSERT_TRUE(task->PickHttpPeer(out));
    const std::uint64_t first = out.clientid;
    task->ReportHttpSource(first, true);
    std::set<std::uint64_t> probed;
    for (int i = 0; i < 2; ++i) {
        ASSERT_TRUE(task->PickHttpPeer(out));
        probed.insert(out.clientid);
    }
    std::set<std::uint64_t> others{21, 22, 23};
    others.erase(first);
    EXPECT_EQ(others, probed);
    // The probes have not answered: the proven source takes the rest.
    for (int i = 0; i < 50; ++i) {
        ASSERT_TRUE(task->PickHttpPeer(out));
        EXPECT_EQ(first, out.clientid);
    }
}

TEST(DownloadTaskCdn, TaskStopWaitsForItsCdnThread)
{
    TaskHarness h;
    CDownload_Task* task = h.MakeTask();
    ASSERT_NE(nullptr, task->GetCdnThread());
    task->MarkStopping();
    task->ReapThreads();
    EXPECT_TRUE(task->GetCdnThread()->IsStopped());
    EXPECT_TRUE(task->IsStopFinished());
}
