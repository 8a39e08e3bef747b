#include "engine/p2sp_engine.h"

#include "discovery/server_list.h"
#include "engine/client_main.h"
#include "engine/engine_flags.h"
#include "engine/engine_settings.h"
#include "engine/p2sp_engine_impl.h"
#include "engine/task_state_mgr.h"
#include "foundation/engine_log_manager.h"
#include "net/io/transfer_limits.h"
#include "report/log_connection.h"
#include "support/channel_fixture.h"
#include "support/ends_within.h"
#include "support/engine_test_env.h"
#include "support/fake_ris_server.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <fstream>
#include <initializer_list>
#include <limits>
#include <thread>

using test_support::ChannelFixture;
using test_support::EngineCallbackLog;
using test_support::EngineEvent;
using test_support::EngineTestEnv;
using test_support::FakeDownloadSession;
using test_support::NoUpnp;
using test_support::wait_until;

namespace {

// Serves one canned HTTP reply on 127.0.0.1 and keeps the request line.
class OneShotHttpServer {
public:
    explicit OneShotHttpServer(std::string reply) : m_reply(std::move(reply))
    {
        m_listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(m_listener, reinterpret_cast<sockaddr*>(&addr), sizeof(addr));
        ::listen(m_listener, 1);
        socklen_t len = sizeof(addr);
        ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&addr), &len);
        m_port = ntohs(addr.sin_port);
        m_thread = std::thread([this] { Serve(); });
    }
    ~OneShotHttpServer()
    {
        m_thread.join();
        ::close(m_listener);
    }
    std::uint16_t port() const { return m_port; }
    std::string request() const { return m_request; }

private:
    void Serve()
    {
        pollfd p{m_listener, POLLIN, 0};
        if (::poll(&p, 1, 5000) != 1)
            return;
        const int s = ::accept(m_listener, nullptr, nullptr);
        char buf[2048];
        while (m_request.find("\r\n\r\n") == std::string::npos) {
            pollfd q{s, POLLIN, 0};
            if (::poll(&q, 1, 5000) != 1)
                break;
            const ssize_t n = ::recv(s, buf, sizeof(buf), 0);
            if (n <= 0)
                break;
            m_request.append(buf, std::size_t(n));
        }
        ::send(s, m_reply.data(), m_reply.size(), MSG_NOSIGNAL);
        ::close(s);
    }

    std::string m_reply;
    std::string m_request;
    int m_listener = -1;
    std::uint16_t m_port = 0;
    std::thread m_thread;
};

std::string U32(std::uint32_t v)
{
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i)
        s[i] = char(v >> (8 * i));
    return s;
}

std::string Bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(char(v));
    return s;
}

void WriteFile(const std::string& path, const std::string& bytes)
{
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

// Each engine of these tests uses the session double unless a test asks
// for the real one.
void UseFakeSession(CClientMain& client)
{
    SessionFactory factory;
    factory.create = &FakeDownloadSession::Create;
    factory.destroy = &FakeDownloadSession::Destroy;
    client.SetSessionFactory(factory);
    NoUpnp(client);
}

class EngineFacadeTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        engine_flags::reset();
        transfer_limits::reset();
        CTaskStateMgr::Instance().Clear();
        CServerList::Instance().Clear();
        g_Settings.Clear();
        FakeDownloadSession::AddResult() = 1;
        FakeDownloadSession::StopDelayMs() = 0;
        FakeDownloadSession::Destroyed() = 0;
        env.reset(new EngineTestEnv());
        engine = CreateP2SPEngine();
        ASSERT_NE(engine, nullptr);
    }
    void TearDown() override
    {
        DestroyP2SPEngine(engine);
        DestroyLogConnection();
        env.reset();
        CTaskStateMgr::Instance().Clear();
        CServerList::Instance().Clear();
        g_Settings.Clear();
        engine_flags::reset();
        transfer_limits::reset();
    }
    CP2SP_EngineImpl& impl() { return *static_cast<CP2SP_EngineImpl*>(engine); }

    EngineInitBlock Block()
    {
        EngineInitBlock block{};
        std::strncpy(block.data_folder, env->file("data").c_str(), sizeof(block.data_folder) - 1);
        std::strncpy(block.bitmap_folder, env->file("launcher").c_str(), sizeof(block.bitmap_folder) - 1);
        block.listen_port = 0;
        return block;
    }
    // An initialised engine over the session double, its session built.
    void InitWithFakeSession()
    {
        impl().SetClientSetup(&UseFakeSession);
        const EngineInitBlock block = Block();
        ASSERT_EQ(engine->Init(&block, &EngineCallbackLog::Callback, &log), 0);
        ASSERT_TRUE(impl().GetClientMain()->WaitForSession(5000));
    }

    std::unique_ptr<EngineTestEnv> env;
    IP2SP_Engine* engine = nullptr;
    EngineCallbackLog log;
};

TEST_F(EngineFacadeTest, SpeedLimitsAreStoredAsWholeBytesPerSecond)
{
    struct Case {
        float down, up;
        float want_down, want_up;
    };
    const Case cases[] = {
        {1.5f, 0.25f, 1536.0f, 256.0f},
        {10.0f, 5.0f, 10240.0f, 5120.0f},
        {0.0009f, 0.5f, 0.0f, 512.0f},   // truncated toward zero
        {102400.0f, 1.0f, 104857600.0f, 1024.0f},
        {std::nanf(""), std::numeric_limits<float>::infinity(), 0.0f, 0.0f},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(engine->SetSpeedLimitOn(0), 0);
        EXPECT_EQ(engine->SetSpeedLimit(c.down, c.up), 0);
        float d = -1, u = -1;
        std::uint8_t on = 0;
        EXPECT_EQ(engine->GetSpeedLimit(&d, &u, &on), 0);
        EXPECT_FLOAT_EQ(d, c.want_down) << c.down;
        EXPECT_FLOAT_EQ(u, c.want_up) << c.up;
        EXPECT_EQ(on, 1) << "setting the limits switches them on";
    }
    EXPECT_EQ(engine->SetSpeedLimitOn(0), 0);
    std::uint8_t on = 1;
    EXPECT_EQ(engine->GetSpeedLimit(nullptr, nullptr, &on), 0);
    EXPECT_EQ(on, 0);
}

TEST_F(EngineFacadeTest, TaskLimitIsClampedToOneToOneHundred)
{
    const std::pair<std::int32_t, std::uint32_t> cases[] = {{0, 1}, {101, 100}, {-7, 1}, {1, 1}, {50, 50}, {100, 100}};
    std::uint32_t n = 0;
    EXPECT_EQ(engine->GetMaxTaskNum(&n), 0);
    EXPECT_EQ(n, 10u);
    for (const auto& c : cases) {
        EXPECT_EQ(engine->SetMaxTaskNum(c.first), 0);
        EXPECT_EQ(engine->GetMaxTaskNum(&n), 0);
        EXPECT_EQ(n, c.second) << c.first;
    }
    EXPECT_EQ(engine->GetMaxTaskNum(nullptr), -1);
}

TEST_F(EngineFacadeTest, StandAloneValuesWorkWithoutAClient)
{
    EXPECT_EQ(engine->SetConfigValue("only_cdn_by_id", "http://127.0.0.1/cdnquery.php?taskid="), 0);
    EXPECT_EQ(engine->SetConfigValue("only_cdn_by_id", "http://127.0.0.1:81/cdnquery.php?taskid="), 0);
    EXPECT_EQ(g_Settings.Get("only_cdn_by_id"), "http://127.0.0.1:81/cdnquery.php?taskid=");
    EXPECT_EQ(g_Settings.Get("limit_use_p2p_size"), "");

    EXPECT_EQ(engine->SetDataFolder(env->file("a/b/c")), 0);
    EXPECT_TRUE(platform::folder_exists(env->file("a/b/c")));
    std::string folder;
    EXPECT_EQ(engine->GetDataFolder(folder), 0);
    EXPECT_EQ(folder, env->file("a/b/c"));

    EXPECT_EQ(engine->SetProgressEverySecond(0), 0);
    EXPECT_FALSE(engine_flags::progress_every_second());
    EXPECT_EQ(engine->SetProgressEverySecond(1), 0);
    EXPECT_TRUE(engine_flags::progress_every_second());

    EXPECT_EQ(engine->AddServer(1, nullptr, 3334), 1);
    EXPECT_EQ(engine->AddServer(1, " 127.0.0.1\t", 3334), 0);
    EXPECT_EQ(engine->AddServer(1, "127.0.0.1", 3334), 0);
    EXPECT_EQ(engine->AddServer(2, "127.0.0.1", 3334), 0);   // another type
    EXPECT_EQ(engine->AddServer(1, "127.0.0.1", 3335), 0);   // another port
    EXPECT_EQ(engine->AddServer(1, " \t\r\n", 3334), 0);     // only blanks: nothing
    std::vector<ServerRecord> south;
    CServerList::Instance().GetByType(1, south);
    ASSERT_EQ(south.size(), 2u);
    EXPECT_EQ(south[0].host, "127.0.0.1");
    EXPECT_EQ(south[0].port, 3334u);
    EXPECT_EQ(south[1].port, 3335u);
    EXPECT_EQ(CServerList::Instance().Size(), 3u);

    std::string md5;
    const std::uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(engine->GetMd5String(abc, 3, md5), 0);
    EXPECT_EQ(md5, "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(engine->GetMd5String(nullptr, 0, md5), 0);
    EXPECT_EQ(md5, "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(engine->GetMd5String(nullptr, 5, md5), -1);
    EXPECT_EQ(StartPingSvr("127.0.0.1", 80, nullptr), 1);
}

TEST_F(EngineFacadeTest, WithoutAClientTaskOperationsAnswerOne)
{
    std::uint32_t count = 99;
    EXPECT_EQ(engine->GetTaskCount(&count), 1);
    EXPECT_EQ(count, 0u);
    std::vector<std::uint64_t> ids = {1, 2};
    EXPECT_EQ(engine->GetTaskList(ids), 1);
    EXPECT_TRUE(ids.empty());
    ids = {3};
    EXPECT_EQ(engine->GetTaskListDetail(ids), 1);
    EXPECT_TRUE(ids.empty());
    std::uint32_t state = 77;
    EXPECT_EQ(engine->QueryTask(5, &state), 1);
    EXPECT_EQ(state, 77u);
    EXPECT_EQ(engine->Start(), 1);
    EXPECT_EQ(engine->Uninit(), 1);
    EXPECT_EQ(engine->AddNewTask("<task/>", env->path().c_str()), 1);
    EXPECT_EQ(engine->AddNewTask("<task/>", nullptr), -1);
    EXPECT_EQ(engine->AddResumedTask(nullptr, env->path().c_str(), {}, {}), -1);
    EXPECT_EQ(engine->StopTask(0), -1);
    EXPECT_EQ(engine->StopTask(5), 1);
    EXPECT_EQ(engine->Init(nullptr, &EngineCallbackLog::Callback, &log), 1);
}

TEST_F(EngineFacadeTest, StopTaskRefusalsRaiseTwelveEvenAfterUninit)
{
    InitWithFakeSession();
    log.Clear();
    EXPECT_EQ(engine->StopTask(0), -1);
    EXPECT_EQ(engine->StopTask(777), 2) << "not running";
    ASSERT_EQ(engine->Uninit(), 0);
    EXPECT_EQ(engine->StopTask(0), -1);
    EXPECT_EQ(engine->StopTask(778), 1);
    const std::vector<EngineEvent> ev = log.Events();
    std::vector<std::uint64_t> refused;
    for (const EngineEvent& e : ev)
        if (e.code == 12)
            refused.push_back(e.U64());
    EXPECT_EQ(refused, (std::vector<std::uint64_t>{0, 777, 0, 778}));
}

TEST_F(EngineFacadeTest, HttpGetLowerCasesOnlySchemeAndHostAndTheTextFormAddsANul)
{
    {
        OneShotHttpServer server("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nHeLLo");
        std::vector<char> body;
        const std::string url = "HTTP://127.0.0.1:" + std::to_string(server.port()) + "/Update_Task/Task_List.TXT";
        EXPECT_EQ(engine->HttpGetText(url.c_str(), body), 0);
        EXPECT_EQ(std::string(body.begin(), body.end()), std::string("HeLLo\0", 6));
        EXPECT_EQ(server.request().rfind("GET /Update_Task/Task_List.TXT HTTP/1.0\r\n", 0), 0u) << server.request();
        EXPECT_NE(server.request().find("Host: 127.0.0.1\r\n"), std::string::npos);
    }
    {
        OneShotHttpServer server("HTTP/1.0 200 OK\r\nContent-Length: 5\r\n\r\nHeLLo");
        std::vector<char> body = {'x'};
        const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/a";
        EXPECT_EQ(engine->HttpGet(url.c_str(), body), 0);
        EXPECT_EQ(std::string(body.begin(), body.end()), "HeLLo");
    }
    {
        OneShotHttpServer server("HTTP/1.0 404 Not Found\r\nContent-Length: 0\r\n\r\n");
        std::vector<char> body;
        const std::string url = "http://127.0.0.1:" + std::to_string(server.port()) + "/missing";
        EXPECT_EQ(engine->HttpGetText(url.c_str(), body), 201);
        EXPECT_TRUE(body.empty() || body.back() != '\0');
    }
    std::vector<char> body = {'x'};
    EXPECT_EQ(engine->HttpGet(nullptr, body), -1);
    EXPECT_TRUE(body.empty());
    EXPECT_EQ(engine->HttpGetText("http://127.0.0.1:1/closed", body), 1);
}

TEST_F(EngineFacadeTest, RecordFilesNeverTrustTheirLengths)
{
    struct Case {
        const char* what;
        std::string bytes;
        std::int32_t result;
        std::size_t pieces;
        std::size_t tables;
    };
    const Case cases[] = {
        {"only the length 0", U32(0), 0, 0, 0},
        {"complete", U32(2) + Bytes({1, 0}) + U32(1) + Bytes({1}) + U32(2) + Bytes({0, 1}), 0, 2, 2},
        {"cut after the bitmap", U32(3) + Bytes({1, 1, 0}), 0, 3, 3},
        {"cut inside a record length", U32(2) + Bytes({1, 1}) + U32(1) + Bytes({1}) + Bytes({2, 0}), 0, 2, 2},
        {"bitmap length past the data", U32(0xFFFFFFFFu) + Bytes({1, 1}), 2, 0, 0},
        {"record length past the data", U32(1) + Bytes({1}) + U32(0x7FFFFFFFu) + Bytes({1}), 3, 0, 0},
        {"empty file", std::string(), 0, 0, 0},
    };
    for (const Case& c : cases) {
        const std::string path = env->file("record.bbm");
        WriteFile(path, c.bytes);
        std::vector<std::uint8_t> bitmap = {9};
        std::vector<std::vector<std::uint8_t>> tables = {{9}};
        EXPECT_EQ(engine->ReadRecordFile(path.c_str(), bitmap, tables), c.result) << c.what;
        EXPECT_EQ(bitmap.size(), c.pieces) << c.what;
        EXPECT_EQ(tables.size(), c.tables) << c.what;
    }
    std::vector<std::uint8_t> bitmap;
    std::vector<std::vector<std::uint8_t>> tables;
    EXPECT_EQ(engine->ReadRecordFile(env->file("missing.bbm").c_str(), bitmap, tables), 1);
    EXPECT_EQ(engine->ReadRecordFile(nullptr, bitmap, tables), -1);
}

TEST_F(EngineFacadeTest, ReadWholeFileReadsEveryByte)
{
    std::string content(10000, '\0');
    for (std::size_t i = 0; i < content.size(); ++i)
        content[i] = char(i * 7);
    WriteFile(env->file("whole.txt"), content);
    std::vector<char> data = {'x'};
    EXPECT_EQ(engine->ReadWholeFile(env->file("whole.txt").c_str(), data), 0);
    EXPECT_EQ(std::string(data.begin(), data.end()), content);
    EXPECT_EQ(engine->ReadWholeFile(env->file("nothing.txt").c_str(), data), 1);
    EXPECT_TRUE(data.empty());
    // A folder cannot be read: not an empty file.
    data = {'x'};
    EXPECT_EQ(engine->ReadWholeFile(env->path().c_str(), data), 1);
    EXPECT_TRUE(data.empty());
    EXPECT_EQ(engine->ReadWholeFile(nullptr, data), -1);
}

TEST_F(EngineFacadeTest, FullSeedReadingSumsTheCompleteFiles)
{
    auto file = [](const char* size, bool with_md5) {
        return std::string("<file><fileindex>0</fileindex><filemd5>M</filemd5><filename>a</filename><filesize>") +
               size + "</filesize><fileblock_md5len>0</fileblock_md5len>" +
               (with_md5 ? "<fileblock_md5></fileblock_md5>" : "") + "</file>";
    };
    const std::string head =
        "<taskid>77</taskid><blocksize>65536</blocksize><srcdir>dir</srcdir><filecount>2</filecount>";
    struct Case {
        const char* what;
        std::string seed;
        std::int32_t result;
        std::uint32_t game;
        std::uint64_t total;
    };
    const Case cases[] = {
        {"no files", "<task gameid=\"3\">" + head + "<filelist></filelist></task>", 0, 3, 0},
        {"two files",
         "<task gameid=\"3\">" + head + "<filelist>" + file("10", true) + file("20", true) + "</filelist></task>", 0, 3,
         30},
        {"second lacks block digests",
         "<task gameid=\"x\">" + head + "<filelist>" + file("10", true) + file("20", false) + "</filelist></task>", 2,
         0, 10},
        {"no gameid", "<task>" + head + "<filelist></filelist></task>", 0, 0, 0},
        {"srcdir before taskid",
         "<task gameid=\"3\"><srcdir>dir</srcdir><taskid>77</taskid><blocksize>1</blocksize><filecount>0</filecount>"
         "<filelist></filelist></task>",
         2, 3, 0},
        {"not well formed", "<task gameid=\"3\"><taskid>", 1, 0, 0},
    };
    for (const Case& c : cases) {
        std::uint32_t game = 99;
        std::uint64_t id = 0, total = 99;
        std::string src;
        EXPECT_EQ(engine->ParseTaskXml(c.seed.c_str(), &game, &id, &total, src), c.result) << c.what;
        if (c.result != 1) {
            EXPECT_EQ(game, c.game) << c.what;
            EXPECT_EQ(total, c.total) << c.what;
        }
    }
    std::string src;
    EXPECT_EQ(engine->ParseTaskXml(nullptr, nullptr, nullptr, nullptr, src), -1);
}

TEST_F(EngineFacadeTest, AddNewTaskRefusesUnsafeAndMalformedSeeds)
{
    InitWithFakeSession();
    ChannelFixture fx({1000}, 65536);
    std::string good = fx.seed(5001, "game");
    auto with_srcdir = [&](const std::string& srcdir) {
        std::string s = good;
        const std::size_t a = s.find("<srcdir>") + 8;
        s.replace(a, s.find("</srcdir>") - a, srcdir);
        return s;
    };
    std::string block_after_srcdir = good;
    {
        const std::size_t a = block_after_srcdir.find("<blocksize>");
        const std::size_t b = block_after_srcdir.find("</blocksize>") + 12;
        const std::string element = block_after_srcdir.substr(a, b - a);
        block_after_srcdir.erase(a, b - a);
        block_after_srcdir.insert(block_after_srcdir.find("</srcdir>") + 9, element);
    }
    std::string climbing_file = good;
    climbing_file.replace(climbing_file.find("dir\\file0.bin"), 13, "..\\..\\evil.bin");
    const std::pair<const char*, std::string> refused[] = {
        {"blocksize after srcdir", block_after_srcdir},
        {"srcdir of 50 characters", with_srcdir(std::string(50, 'a'))},
        {"srcdir climbing out", with_srcdir("../outside")},
        {"absolute srcdir", with_srcdir("/etc")},
        {"file name climbing out", climbing_file},
        {"not a seed", "hello"},
    };
    const std::string save = env->file("s");
    for (const auto& r : refused)
        EXPECT_EQ(engine->AddNewTask(r.second.c_str(), save.c_str()), 3) << r.first;
    EXPECT_EQ(engine->AddNewTask(with_srcdir(std::string(49, 'a')).c_str(), save.c_str()), 0);
    EXPECT_FALSE(platform::path_exists(env->file("outside")));
}

TEST_F(EngineFacadeTest, AddedTasksReachTheSessionOnceAndDuplicatesAreRefusedQuietly)
{
    InitWithFakeSession();
    ChannelFixture fx({70000, 10}, 65536);
    const std::string save = env->file("games");
    log.Clear();
    EXPECT_EQ(engine->AddNewTask(fx.seed(6001, "g").c_str(), (" " + save + "\\ ").c_str()), 0);
    EXPECT_TRUE(platform::folder_exists(save)) << "a new task's save folder is created";
    EngineEvent e;
    ASSERT_TRUE(log.Last(5, e));
    EXPECT_EQ(e.U64(), 6001u);

    // Known to the registry: 5, and no callback.
    log.Clear();
    EXPECT_EQ(engine->AddNewTask(fx.seed(6001, "g").c_str(), save.c_str()), 5);
    EXPECT_EQ(log.Count(5), 0u);

    // An empty save folder means the data folder.
    EXPECT_EQ(engine->AddNewTask(fx.seed(6002, "h").c_str(), " \t"), 0);

    FakeDownloadSession* session = FakeDownloadSession::Current().load();
    ASSERT_NE(session, nullptr);
    ASSERT_TRUE(wait_until([&] { return session->Adds().size() == 2; }, 3000));
    EXPECT_EQ(session->Adds()[0].folder, save + "/g");
    EXPECT_EQ(session->Adds()[1].folder, env->file("data") + "/h");

    std::uint32_t count = 0;
    EXPECT_EQ(engine->GetTaskCount(&count), 0);
    EXPECT_EQ(count, 2u);
    std::uint32_t state = 0;
    EXPECT_EQ(engine->QueryTask(6001, &state), 0);
    EXPECT_EQ(state, 1u);
    EXPECT_EQ(engine->StopTask(6001), 0);
    std::vector<std::uint64_t> ids;
    EXPECT_EQ(engine->GetTaskListDetail(ids), 0);
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{6001, 6002}));
}

TEST_F(EngineFacadeTest, ResumedTasksNeedTheirFolderAndCarryTheirBitmap)
{
    InitWithFakeSession();
    ChannelFixture fx({1000}, 65536);
    const std::string save = env->file("games");
    EXPECT_EQ(engine->AddResumedTask(fx.seed(7001, "r").c_str(), save.c_str(), {1}, {{1}}), 2) << "no save folder";
    ASSERT_TRUE(platform::create_folder(save));
    EXPECT_FALSE(platform::folder_exists(save + "/r"));
    EXPECT_EQ(engine->AddResumedTask(fx.seed(7001, "r").c_str(), save.c_str(), {1}, {{1}}), 2) << "no task folder";
    ASSERT_TRUE(platform::create_folder(save + "/r"));
    log.Clear();
    EXPECT_EQ(engine->AddResumedTask(fx.seed(7001, " r ").c_str(), save.c_str(), {1}, {{1}}), 0);
    EXPECT_EQ(log.Count(5), 1u);
    FakeDownloadSession* session = FakeDownloadSession::Current().load();
    ASSERT_TRUE(wait_until([&] { return session->Adds().size() == 1; }, 3000));
    EXPECT_TRUE(session->Adds()[0].history);
    EXPECT_EQ(session->Adds()[0].bitmap, (std::vector<std::uint8_t>{1}));
    platform::sleep_ms(150);
    EXPECT_EQ(log.Count(14), 0u) << "a resumed task raises no save-path event";
}

TEST_F(EngineFacadeTest, InitTwiceIsRefusedAndUninitAllowsANewInit)
{
    InitWithFakeSession();
    const EngineInitBlock block = Block();
    EXPECT_EQ(engine->Init(&block, &EngineCallbackLog::Callback, &log), 2);
    EXPECT_EQ(engine->Start(), 2) << "a session exists already";
    EXPECT_EQ(engine->Uninit(), 0);
    EXPECT_EQ(engine->Uninit(), 1);
    EXPECT_EQ(impl().GetClientMain(), nullptr);
    ASSERT_EQ(engine->Init(&block, &EngineCallbackLog::Callback, &log), 0);
    EXPECT_TRUE(impl().GetClientMain()->WaitForSession(5000));
}

// A launcher that calls the engine's Init and Uninit from the callback
// Init itself raises (2, on the calling thread) is refused, not deadlocked.
struct ReenteringLauncher {
    static std::uint32_t Callback(std::uint32_t code, std::uintptr_t data, void* user)
    {
        auto* self = static_cast<ReenteringLauncher*>(user);
        EngineCallbackLog::Callback(code, data, self->log);
        if (code == 2 && self->uninit == -1) {
            self->uninit = self->engine->Uninit();
            self->init = self->engine->Init(&self->block, &Callback, self);
        }
        return 0;
    }
    IP2SP_Engine* engine = nullptr;
    EngineCallbackLog* log = nullptr;
    EngineInitBlock block{};
    std::atomic<int> uninit{-1};
    std::atomic<int> init{-1};
};

TEST_F(EngineFacadeTest, ALauncherCallingBackFromInitIsRefusedNotDeadlocked)
{
    impl().SetClientSetup(&UseFakeSession);
    ReenteringLauncher launcher;
    launcher.engine = engine;
    launcher.log = &log;
    launcher.block = Block();
    test_support::ends_within(
        [&] { EXPECT_EQ(engine->Init(&launcher.block, &ReenteringLauncher::Callback, &launcher), 0); }, 5000,
        "Init whose callback calls Uninit and Init");
    EXPECT_EQ(launcher.uninit.load(), 1);
    EXPECT_EQ(launcher.init.load(), 2);
    ASSERT_TRUE(impl().GetClientMain()->WaitForSession(5000));
    EXPECT_EQ(engine->Uninit(), 0);
}

// A service stopped and started again in one process hands the engine the
// same tasks again: the second life must not find the first life's.
TEST_F(EngineFacadeTest, UninitForgetsTheTasksSoANewInitTakesThemAgain)
{
    InitWithFakeSession();
    ChannelFixture fx({70000}, 65536);
    const std::string save = env->file("games");
    ASSERT_EQ(engine->AddNewTask(fx.seed(6101, "g").c_str(), save.c_str()), 0);
    ASSERT_EQ(engine->AddNewTask(fx.seed(6101, "g").c_str(), save.c_str()), 5) << "known while the engine runs";
    EXPECT_TRUE(CTaskStateMgr::Instance().Exists(6101));
    ASSERT_EQ(engine->Uninit(), 0);
    EXPECT_EQ(CTaskStateMgr::Instance().Size(), 0u);

    const EngineInitBlock block = Block();
    ASSERT_EQ(engine->Init(&block, &EngineCallbackLog::Callback, &log), 0);
    ASSERT_TRUE(impl().GetClientMain()->WaitForSession(5000));
    EXPECT_EQ(engine->AddNewTask(fx.seed(6101, "g").c_str(), save.c_str()), 0);
}

TEST_F(EngineFacadeTest, UninitWaitsForACallUnderWayOnAnotherThread)
{
    InitWithFakeSession();
    ChannelFixture fx({1000}, 65536);
    ASSERT_EQ(engine->AddNewTask(fx.seed(9001, "g").c_str(), env->file("s").c_str()), 0);
    ASSERT_TRUE(wait_until([&] { return impl().GetClientMain()->GetRunningCount() == 1; }, 3000));
    FakeDownloadSession::StopDelayMs() = 600;
    std::atomic<std::int32_t> stopped{99};
    std::atomic<int> destroyed_when_stopped{-1};
    std::thread stopper([&] {
        stopped = engine->StopTask(9001);
        destroyed_when_stopped = FakeDownloadSession::Destroyed().load();
    });
    ASSERT_TRUE(wait_until([] { return FakeDownloadSession::StopDelayMs().load() == 0; }, 2000));
    const std::uint32_t start = platform::tick_count();
    EXPECT_EQ(engine->Uninit(), 0);
    EXPECT_GE(platform::tick_count() - start, 300u) << "Uninit waited for the stop under way";
    stopper.join();
    EXPECT_EQ(stopped.load(), 0);
    EXPECT_EQ(destroyed_when_stopped.load(), 0) << "the session outlived the call that used it";
    std::uint32_t count = 5;
    EXPECT_EQ(engine->GetTaskCount(&count), 1);
}

TEST_F(EngineFacadeTest, DestroyingTheEngineDeletesTheEngineLogs)
{
    // The engine's log manager and its logs belong to the engine from now on.
    auto* logs = new EngineLogManager();
    logs->createLog("engine_facade_test.log", false, false, true);
    ASSERT_EQ(logs, EngineLogManager::getSingletonPtr());
    InitWithFakeSession();
    DestroyP2SPEngine(engine);   // uninitialises first
    engine = nullptr;
    EXPECT_EQ(nullptr, EngineLogManager::getSingletonPtr());
    // Without one, destroying an engine is still fine.
    DestroyP2SPEngine(CreateP2SPEngine());
    EXPECT_EQ(nullptr, EngineLogManager::getSingletonPtr());
}

TEST_F(EngineFacadeTest, LogConnectionOutlivesTheEngineThatUsesIt)
{
    ASSERT_TRUE(CreateLogConnection("127.0.0.1", 1, nullptr));
    EXPECT_NE(GetLogConnection(), nullptr);
    InitWithFakeSession();
    DestroyLogConnection();   // too early: the engine still runs
    EXPECT_NE(GetLogConnection(), nullptr);
    EXPECT_EQ(engine->Uninit(), 0);
    EXPECT_EQ(GetLogConnection(), nullptr);
}

// The real session over the real managers: offline, a new task goes in,
// runs, is stopped and retired, and the engine uninitialises in order.
TEST_F(EngineFacadeTest, OfflineEngineRunsAndStopsATaskEndToEnd)
{
    impl().SetClientSetup(&NoUpnp);
    const EngineInitBlock block = Block();
    const std::uint32_t start = platform::tick_count();
    ASSERT_EQ(engine->Init(&block, &EngineCallbackLog::Callback, &log), 0);
    ASSERT_TRUE(log.WaitFor(4, 5000, 2)) << "offline session within seconds";
    EXPECT_LT(platform::tick_count() - start, 5000u);
    std::vector<EngineEvent> ev = log.Events();
    ASSERT_GE(ev.size(), 4u);
    EXPECT_EQ(ev[0].code, 2u);
    EXPECT_EQ(ev[1].code, 4u);
    EXPECT_EQ(ev[1].value, -1);
    EXPECT_EQ(ev[2].code, 16u);
    EXPECT_EQ(ev[3].code, 3u);
    EXPECT_EQ(ev[3].value, 0);

    ChannelFixture fx({100000}, 65536);
    const std::string save = env->file("games");
    ASSERT_EQ(engine->AddNewTask(fx.seed(8001, "game").c_str(), save.c_str()), 0);
    ASSERT_TRUE(log.WaitFor(14, 3000));
    ASSERT_TRUE(log.WaitFor(13, 3000));
    EngineEvent e;
    ASSERT_TRUE(log.Last(13, e));
    EXPECT_EQ(e.U64(), 8001u);
    std::vector<std::uint64_t> ids;
    EXPECT_EQ(engine->GetTaskList(ids), 0);
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{8001}));
    ASSERT_TRUE(wait_until([&] { return platform::folder_exists(save + "/game/dir"); }, 5000))
        << "the task's files are prepared (each is made by its first write)";

    EXPECT_EQ(engine->StopTask(8001), 0);
    ASSERT_TRUE(log.WaitFor(11, 10000)) << "the stopped task is retired";
    ASSERT_TRUE(log.Last(11, e));
    EXPECT_EQ(e.U64(), 8001u);
    EXPECT_EQ(engine->GetTaskList(ids), 0);
    EXPECT_TRUE(ids.empty());

    // Resumed from a bitmap with nothing verified: it runs again.
    ASSERT_TRUE(wait_until([&] { return !CTaskStateMgr::Instance().Exists(8001); }, 3000));
    log.Clear();
    const std::vector<std::uint8_t> bitmap(fx.piece_count(), 0);
    const std::vector<std::vector<std::uint8_t>> tables(fx.piece_count());
    ASSERT_EQ(engine->AddResumedTask(fx.seed(8001, "game").c_str(), save.c_str(), bitmap, tables), 0);
    ASSERT_TRUE(log.WaitFor(13, 5000));
    EXPECT_EQ(log.Count(14), 0u);
    EXPECT_EQ(engine->GetTaskList(ids), 0);
    EXPECT_EQ(ids, (std::vector<std::uint64_t>{8001}));

    // Uninit with the task still running stops it on the way down.
    const std::uint32_t stop = platform::tick_count();
    EXPECT_EQ(engine->Uninit(), 0);
    EXPECT_LT(platform::tick_count() - stop, 15000u);
    EXPECT_EQ(engine->GetTaskList(ids), 1);
}

TEST_F(EngineFacadeTest, OnlineEngineLogsOnThroughTheIndexServer)
{
    test_support::FakeRisServer ris;
    test_support::FakeRisServer::Answer answer;
    answer.clientid = 31337;
    answer.publicip = 0x7f000001;
    answer.peertype = 2;
    ris.SetAnswer(answer);
    ASSERT_TRUE(ris.Start());
    env.reset();
    env.reset(new EngineTestEnv(ris.address()));
    impl().SetClientSetup(&NoUpnp);
    // An earlier engine of the process that found the index servers down
    // does not keep this one from asking them.
    engine_flags::set_index_servers_usable(false);
    const EngineInitBlock block = Block();
    ASSERT_EQ(engine->Init(&block, &EngineCallbackLog::Callback, &log), 0);
    ASSERT_TRUE(log.WaitFor(4, 5000));
    // The logon's own codes in order; texts of the session may come between.
    std::vector<std::uint32_t> logon_codes;
    for (std::uint32_t code : log.Codes())
        if (code == 2 || code == 3 || code == 4 || code == 16)
            logon_codes.push_back(code);
    EXPECT_EQ(logon_codes, (std::vector<std::uint32_t>{2, 3, 4}));
    EngineEvent e;
    ASSERT_TRUE(log.Last(4, e));
    EXPECT_EQ(e.value, 0);
    EXPECT_EQ(impl().GetClientMain()->GetClientId(), 31337u);
    EXPECT_TRUE(engine_flags::index_servers_usable());
    EXPECT_EQ(engine->Uninit(), 0);
}

}   // namespace
