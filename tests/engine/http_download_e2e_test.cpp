// Whole downloads through the engine facade from a real nginx: offline
// (no index server), the task's HTTP peers come from the CDN query.
#include "engine/p2sp_engine.h"

#include "discovery/server_list.h"
#include "engine/bitmap_file.h"
#include "picker/block_request.h"
#include "engine/client_main.h"
#include "engine/download_session.h"
#include "engine/download_task.h"
#include "engine/engine_flags.h"
#include "engine/engine_settings.h"
#include "engine/p2sp_engine_impl.h"
#include "engine/task_state_mgr.h"
#include "net/io/live_connections.h"
#include "net/io/transfer_limits.h"
#include "platform/write_at.h"
#include "support/engine_test_env.h"
#include "support/nginx_server.h"
#include "support/range_server.h"
#include "support/shifted_tick.h"
#include "support/task_fixture.h"
#include "support/temp_dir.h"
#include "support/write_gaps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <list>
#include <mutex>
#include <thread>
#include <unistd.h>

using test_support::EngineCallbackLog;
using test_support::EngineEvent;
using test_support::EngineTestEnv;
using test_support::NginxServer;
using test_support::NoUpnp;
using test_support::RangeServer;
using test_support::TaskFixture;
using test_support::wait_until;
using test_support::WriteGaps;

namespace {

constexpr std::uint32_t kPiece = 262144;

// The task files' disk, full while set.
std::atomic<bool> g_disk_full{false};

long FullDiskWrite(int fd, const void* data, std::size_t size, std::int64_t offset)
{
    if (g_disk_full.load()) {
        errno = ENOSPC;
        return -1;
    }
    return ::pwrite(fd, data, size, off_t(offset));
}

// Posts to an I/O service every few milliseconds and keeps the longest
// time a post waited to run: how long the handlers before it held the
// thread.
class IoWatchdog {
public:
    explicit IoWatchdog(i_io_service& io) : m_io(io), m_thread([this] { run(); }) {}
    ~IoWatchdog() { Stop(); }

    void Stop()
    {
        {
            std::lock_guard<std::mutex> g(m_lock);
            m_stop = true;
        }
        m_wake.notify_all();
        if (m_thread.joinable())
            m_thread.join();
    }
    double LongestMs() const { return m_longest_ms.load(); }
    std::thread::id IoThread() const { return m_io_thread.load(); }

private:
    struct Probe {
        IoWatchdog* dog;
        std::chrono::steady_clock::time_point posted;
        bool ran = false;
    };
    static void on_probe(void* context, const i_error_code& error)
    {
        auto* probe = static_cast<Probe*>(context);
        IoWatchdog& dog = *probe->dog;
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - probe->posted).count();
        if (!error)
            dog.m_io_thread.store(std::this_thread::get_id());
        std::lock_guard<std::mutex> g(dog.m_lock);
        if (!error && ms > dog.m_longest_ms.load())
            dog.m_longest_ms.store(ms);
        probe->ran = true;
        dog.m_wake.notify_all();
    }
    void run()
    {
        std::unique_lock<std::mutex> lock(m_lock);
        while (!m_stop) {
            m_probes.push_back(Probe{this, std::chrono::steady_clock::now()});
            Probe& probe = m_probes.back();
            if (m_io.post(&IoWatchdog::on_probe, &probe) != 0)
                return;
            // A probe that never runs is still counted: the thread is stuck.
            if (!m_wake.wait_for(lock, std::chrono::seconds(5), [&] { return probe.ran || m_stop; }))
                m_longest_ms.store(5000);
            m_wake.wait_for(lock, std::chrono::milliseconds(5), [&] { return m_stop; });
        }
    }

    i_io_service& m_io;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::list<Probe> m_probes;   // kept: a pending post still points at its probe
    std::atomic<double> m_longest_ms{0};
    std::atomic<std::thread::id> m_io_thread{};
    std::thread m_thread;
};

// A disk whose bitmap saves take 300 ms (the fsync of a busy disk).
std::atomic<int> g_slow_saves{0};
std::atomic<bool> g_save_on_io_thread{false};
std::atomic<std::thread::id> g_io_thread{};
void SlowSave(const std::string&)
{
    if (std::this_thread::get_id() == g_io_thread.load())
        g_save_on_io_thread.store(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ++g_slow_saves;
}

class HttpDownloadTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!NginxServer::Available())
            GTEST_SKIP() << "nginx is not installed";
        env = std::make_unique<EngineTestEnv>();
        nginx = std::make_unique<NginxServer>(root.path());
    }

    void TearDown() override
    {
        DestroyEngine();
        platform::set_write_at_source(nullptr);
        platform::set_tick_source(nullptr);
        g_disk_full = false;
        SetBitmapSaveHook(nullptr);
        DestroyLogConnection();
        nginx.reset();
        env.reset();
        g_Settings.Clear();
    }

    // A new engine, offline, with the CDN query pointing at nginx.
    void StartEngine()
    {
        engine = CreateP2SPEngine();
        ASSERT_NE(nullptr, engine);
        static_cast<CP2SP_EngineImpl*>(engine)->SetClientSetup(&NoUpnp);
        ASSERT_EQ(0, engine->SetConfigValue("only_cdn_by_id", nginx->cdn_query_prefix()));
        EngineInitBlock block{};
        std::strncpy(block.data_folder, env->file("data").c_str(), sizeof(block.data_folder) - 1);
        std::strncpy(block.bitmap_folder, env->file("launcher").c_str(), sizeof(block.bitmap_folder) - 1);
        ASSERT_EQ(0, engine->Init(&block, &EngineCallbackLog::Callback, &log));
        ASSERT_TRUE(log.WaitFor(4, 10000, 2)) << "the offline session is built";
    }

    void DestroyEngine()
    {
        if (!engine)
            return;
        DestroyP2SPEngine(engine);
        engine = nullptr;
        CTaskStateMgr::Instance().Clear();
        CServerList::Instance().Clear();
        engine_flags::reset();
        transfer_limits::reset();
    }

    std::string SavedFile(const TaskFixture& fx, std::size_t i) const
    {
        return save + "/" + fx.srcdir() + "/data/" + fx.files()[i].file_name;
    }

    void ExpectFilesComplete(const TaskFixture& fx)
    {
        for (std::size_t i = 0; i < fx.files().size(); ++i) {
            EXPECT_EQ(fx.files()[i].md5, TaskFixture::FileMd5(SavedFile(fx, i))) << fx.files()[i].file_name;
            EXPECT_EQ(fx.files()[i].size, std::filesystem::file_size(SavedFile(fx, i)));
        }
    }

    // The ".bbm" file of a task, wherever the engine chose to write it.
    std::string FindBitmap(std::uint64_t task_id) const
    {
        const std::string name = std::to_string(task_id) + ".bbm";
        std::error_code ec;
        for (auto it = std::filesystem::recursive_directory_iterator(env->path(), ec);
             it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
            if (it->path().filename() == name)
                return it->path().string();
        }
        return std::string();
    }

    bool ReadBitmap(std::uint64_t task_id, std::vector<std::uint8_t>& bitmap,
                    std::vector<std::vector<std::uint8_t>>& tables)
    {
        const std::string path = FindBitmap(task_id);
        return !path.empty() && engine->ReadRecordFile(path.c_str(), bitmap, tables) == 0;
    }

    // Every transfer connection of a finished task ends by itself: its
    // one-second tick sees the whole download complete.
    void WaitConnectionsGone(std::uint64_t task_id)
    {
        EXPECT_TRUE(live_connections::wait_for_zero(task_id, 10000, 10)) << "connections of a finished task end";
    }

    // Ranges of task files nginx has served.
    std::size_t RangesServed() const
    {
        std::size_t n = 0;
        for (const auto& served : nginx->AccessLog())
            n += served.range_start >= 0 ? 1 : 0;
        return n;
    }

    // Waits (bounded) until nginx has served no new range for `quiet_ms`;
    // the count then.
    std::size_t RangesWhenQuiet(std::uint32_t quiet_ms)
    {
        std::size_t last = RangesServed();
        std::uint32_t since = platform::tick_count();
        wait_until(
            [&] {
                const std::size_t now = RangesServed();
                if (now != last) {
                    last = now;
                    since = platform::tick_count();
                }
                return platform::tick_count() - since >= quiet_ms;
            },
            15000);
        return last;
    }

    std::size_t ErrorsWith(const std::string& needle) const
    {
        std::size_t n = 0;
        for (const EngineEvent& e : log.Events())
            n += e.code == 16 && e.Text(0).find(needle) != std::string::npos ? 1 : 0;
        return n;
    }

    // Serves every file of `fx` from `server`.
    static void ServeFiles(RangeServer& server, const TaskFixture& fx)
    {
        for (std::size_t i = 0; i < fx.files().size(); ++i)
            server.AddFile(fx.files()[i].url_path, fx.Bytes(i, 0, fx.files()[i].size));
    }

    // Downloads `fx` (its own save folder) with `answer` as its CDN URLs:
    // the milliseconds from the add to the completion, 0 when it failed.
    std::uint32_t TimedDownload(const TaskFixture& fx, std::uint64_t id, const std::string& answer)
    {
        save = env->file("games" + std::to_string(id));
        if (!nginx->SetCdnAnswer(id, answer))
            return 0;
        log.Clear();
        const std::uint32_t start = platform::tick_count();
        if (engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()) != 0 || !log.WaitFor(9, 90000)) {
            ADD_FAILURE() << "task " << id << " did not complete, progress " << LastProgress();
            return 0;
        }
        const std::uint32_t took = platform::tick_count() - start;
        ExpectFilesComplete(fx);
        return took;
    }

    // Adds `count` tasks of 6 MiB from `first_id` on, each served by the
    // server `server_for` gives it, and waits until each server has been
    // asked for its task's data.
    void StartDownloads(std::uint64_t first_id, std::uint64_t count,
                        const std::function<RangeServer&(const TaskFixture&)>& server_for)
    {
        std::vector<std::pair<RangeServer*, std::string>> asked;
        for (std::uint64_t id = first_id; id < first_id + count; ++id) {
            downloads.push_back(std::make_unique<TaskFixture>(
                root.path(), id, kPiece, std::vector<std::uint64_t>{6 << 20}, "game" + std::to_string(id)));
            const TaskFixture& fx = *downloads.back();
            ASSERT_TRUE(fx.ok());
            RangeServer& server = server_for(fx);
            ServeFiles(server, fx);
            asked.emplace_back(&server, "/" + fx.srcdir() + "/");
            ASSERT_TRUE(nginx->SetCdnAnswer(id, fx.CdnAnswer(server.base_url())));
            ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), env->file("games").c_str()));
        }
        ASSERT_TRUE(wait_until(
            [&] {
                for (const auto& a : asked) {
                    bool seen = false;
                    for (const std::string& request : a.first->Requests())
                        seen = seen || request.find(a.second) != std::string::npos;
                    if (!seen)
                        return false;
                }
                return true;
            },
            60000))
            << "every task downloads";
    }

    // Servers of the tasks above: one that sends at a steady pace, one that
    // drips, one that never answers.
    struct Sources {
        RangeServer live;
        RangeServer slow;
        RangeServer hanging;
        Sources()
        {
            RangeServer::Behaviour paced;
            paced.rate = 64 * 1024;
            live.SetBehaviour(paced);
            RangeServer::Behaviour dripping;
            dripping.rate = 2000;
            slow.SetBehaviour(dripping);
            RangeServer::Behaviour silent;
            silent.silent = true;
            hanging.SetBehaviour(silent);
        }
        bool Start() { return live.Start() && slow.Start() && hanging.Start(); }
    };

    std::uint64_t LastProgress() const
    {
        EngineEvent e;
        return log.Last(0, e) ? e.U64(8) : 0;
    }

    test_support::TempDir root;   // what nginx serves
    std::unique_ptr<EngineTestEnv> env;
    std::unique_ptr<NginxServer> nginx;
    IP2SP_Engine* engine = nullptr;
    EngineCallbackLog log;
    std::string save = root.file("unused");
    std::vector<std::unique_ptr<TaskFixture>> downloads;
};

}   // namespace

TEST_F(HttpDownloadTest, DownloadsATaskFromTheCdnAlone)
{
    TaskFixture fx(root.path(), 9101, kPiece, {1048576 + 777, 0, 3 * kPiece, 100000});
    ASSERT_TRUE(fx.ok());
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    ASSERT_TRUE(nginx->SetCdnAnswer(9101, fx.CdnAnswer(nginx->base_url())));
    StartEngine();
    save = env->file("games");
    ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));
    ASSERT_TRUE(log.WaitFor(9, 60000)) << "the task completes";
    EngineEvent done;
    ASSERT_TRUE(log.Last(9, done));
    EXPECT_EQ(9101u, done.U64());
    ExpectFilesComplete(fx);
    WaitConnectionsGone(9101);
    // Every run's connection closed normally: the HTTP connection limit stays.
    EXPECT_EQ(10, transfer_limits::http_connection_limit().load());

    // The bitmap says every piece is there.
    std::vector<std::uint8_t> bitmap;
    std::vector<std::vector<std::uint8_t>> tables;
    ASSERT_TRUE(wait_until(
        [&] {
            return ReadBitmap(9101, bitmap, tables) && bitmap.size() == fx.piece_count() &&
                   std::count(bitmap.begin(), bitmap.end(), 1) == std::ptrdiff_t(bitmap.size());
        },
        15000));
    for (const auto& table : tables)
        EXPECT_EQ(std::ptrdiff_t(table.size()), std::count(table.begin(), table.end(), 1));

    // Progress, speed, run and completion reached the launcher.
    EXPECT_GT(log.Count(0), 0u);
    // (Speed goes out at each tick, and the task may complete before one.)
    EXPECT_TRUE(wait_until([&] { return log.Count(10) > 0; }, 5000));
    EXPECT_EQ(1u, log.Count(13));
    EXPECT_EQ(fx.total_size(), LastProgress());
    // Every answer nginx gave was a range of a file of the task, and the
    // ranges asked for little more than the files.
    std::uint64_t sent = 0;
    for (const auto& served : nginx->AccessLog()) {
        if (served.uri.find("cdnquery.php") != std::string::npos)
            continue;
        EXPECT_EQ(206, served.status) << served.uri << " " << served.range;
        EXPECT_GE(served.range_start, 0);
        sent += served.bytes_sent;
    }
    EXPECT_LE(double(sent), 1.05 * double(fx.total_size()));
}

// Bitmap saves, however slow the disk, run off the I/O thread: a watchdog
// posting to it sees no handler hold it for 100 ms while they happen.
TEST_F(HttpDownloadTest, SlowBitmapSavesDoNotHoldUpTheIoThread)
{
    TaskFixture fx(root.path(), 9103, kPiece, {3 * 1048576 + 99});
    ASSERT_TRUE(fx.ok());
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    ASSERT_TRUE(nginx->SetCdnAnswer(9103, fx.CdnAnswer(nginx->base_url())));
    StartEngine();
    auto* session =
        dynamic_cast<CDownload_Session*>(static_cast<CP2SP_EngineImpl*>(engine)->GetClientMain()->GetSession());
    ASSERT_NE(nullptr, session);
    IoWatchdog dog(session->GetIoService());
    ASSERT_TRUE(wait_until([&] { return dog.IoThread() != std::thread::id(); }, 10000));
    g_io_thread.store(dog.IoThread());
    g_slow_saves.store(0);
    g_save_on_io_thread.store(false);
    SetBitmapSaveHook(&SlowSave);
    save = env->file("games");
    ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));
    ASSERT_TRUE(log.WaitFor(9, 60000)) << "the task completes";
    ASSERT_TRUE(wait_until([&] { return g_slow_saves.load() >= 1; }, 10000)) << "its bitmap is saved";
    ASSERT_TRUE(log.WaitFor(10, 5000, log.Count(10) + 1)) << "a tick runs after the save";
    dog.Stop();
    ExpectFilesComplete(fx);
    EXPECT_FALSE(g_save_on_io_thread.load());
    EXPECT_LT(dog.LongestMs(), 100.0);
}

TEST_F(HttpDownloadTest, ResumedTaskFetchesOnlyWhatWasMissing)
{
    TaskFixture fx(root.path(), 9102, kPiece, {6 * 1048576 + 1234, 0, 5 * 1048576, 300000});
    ASSERT_TRUE(fx.ok());
    // Slow answers, so the engine can be stopped half-way.
    nginx->SetRateLimit("96k");
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    ASSERT_TRUE(nginx->SetCdnAnswer(9102, fx.CdnAnswer(nginx->base_url())));
    StartEngine();
    save = env->file("games");
    ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));
    ASSERT_TRUE(wait_until([&] { return LastProgress() >= fx.total_size() / 5; }, 60000)) << "a fifth arrives";
    ASSERT_EQ(0u, log.Count(9)) << "stopped before the end";
    // The engine stops with the download under way.
    ASSERT_EQ(0, engine->Uninit());
    DestroyEngine();
    log.Clear();

    // What was saved at the stop.
    engine = CreateP2SPEngine();
    std::vector<std::uint8_t> bitmap;
    std::vector<std::vector<std::uint8_t>> tables;
    ASSERT_TRUE(ReadBitmap(9102, bitmap, tables));
    DestroyEngine();
    ASSERT_EQ(fx.piece_count(), bitmap.size());
    const auto verified = std::count(bitmap.begin(), bitmap.end(), 1);
    EXPECT_GT(verified, 0);
    EXPECT_LT(verified, std::ptrdiff_t(bitmap.size()));
    const std::size_t served_before = nginx->AccessLog().size();

    StartEngine();
    ASSERT_EQ(0, engine->AddResumedTask(fx.SeedXml().c_str(), save.c_str(), bitmap, tables));
    ASSERT_TRUE(log.WaitFor(9, 90000)) << "the resumed task completes";
    ExpectFilesComplete(fx);
    WaitConnectionsGone(9102);

    // No range of the second run starts in a block stored before the stop.
    const auto served = nginx->AccessLog();
    std::size_t asked = 0;
    for (std::size_t k = served_before; k < served.size(); ++k) {
        const auto& s = served[k];
        if (s.uri.find("cdnquery.php") != std::string::npos || s.range_start < 0)
            continue;
        std::size_t first_piece = 0;
        for (std::size_t i = 0; i < fx.files().size(); ++i) {
            if (fx.files()[i].url_path == s.uri) {
                const std::size_t piece = first_piece + std::size_t(s.range_start / kPiece);
                const std::size_t block = std::size_t(s.range_start % kPiece) / kBlockSize;
                ASSERT_LT(piece, tables.size());
                EXPECT_EQ(0, bitmap[piece]) << s.uri << " " << s.range;
                EXPECT_EQ(0, tables[piece][block]) << s.uri << " " << s.range;
                ++asked;
            }
            first_piece += std::size_t((fx.files()[i].size + kPiece - 1) / kPiece);
        }
    }
    EXPECT_GT(asked, 0u);
}

// A patch in folders, with namesakes in sibling folders: each file comes
// from the URL the CDN answer names for it, or, when the answer names only
// the patch's folder, from that folder joined with the file's path.
TEST_F(HttpDownloadTest, FolderTreeIsFetchedFromEachFilesOwnUrl)
{
    const TaskFixture::Tree tree{{
        {"maps/0/f00041.res", 70000},
        {"maps/1/f00041.res", 3 * kPiece + 5},
        {"maps/1/Other.res", 1000},
        {"top.bin", 2 * kPiece},
        {"sfx/a b/c.res", 40000},
    }};
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    StartEngine();
    struct Case {
        const char* what;
        std::uint64_t id;
        bool every_file;   // the answer names every file, else the folder only
    };
    for (const Case c : {Case{"every file named", 9110, true}, Case{"folder named", 9111, false}}) {
        TaskFixture fx(root.path(), c.id, kPiece, tree, "patch" + std::to_string(c.id), std::uint32_t(c.id));
        ASSERT_TRUE(fx.ok());
        // The answer lists the files deepest first, so the URL the server's
        // record keeps names a namesake of most files.
        std::string answer;
        if (c.every_file) {
            for (std::size_t i = fx.files().size(); i-- > 0;) {
                std::string path = fx.files()[i].url_path;
                const std::size_t blank = path.find(' ');
                if (blank != std::string::npos)
                    path.replace(blank, 1, "%20");
                answer += nginx->base_url() + path + "\r\n";
            }
            // A file of the same name in another patch is no file of this one.
            answer += nginx->base_url() + "/elsewhere/data/maps/1/f00041.res\r\n";
        } else {
            answer = nginx->base_url() + "/" + fx.srcdir() + "/\r\n";
        }
        EXPECT_NE(0u, TimedDownload(fx, c.id, answer)) << c.what;
        for (const auto& served : nginx->AccessLog()) {
            if (served.uri.find("cdnquery.php") == std::string::npos) {
                EXPECT_EQ(206, served.status) << c.what << ": " << served.uri << " " << served.range;
            }
        }
    }
}

// The speed a task reports is what flows now, not a ten-second average:
// from the first seconds of a transfer it matches the bytes the progress
// shows, and it reads 0 within a few ticks once nothing flows.
TEST_F(HttpDownloadTest, SpeedShowsWhatFlowsAndZeroWhenNothingDoes)
{
    TaskFixture fx(root.path(), 9112, kPiece, {40 * 1048576});
    ASSERT_TRUE(fx.ok());
    nginx->SetRateLimit("256k");
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    ASSERT_TRUE(nginx->SetCdnAnswer(9112, fx.CdnAnswer(nginx->base_url())));
    StartEngine();
    save = env->file("games");
    ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));
    // Per tick: the progress (bytes verified) and the speed (KB/s) reported.
    struct Tick {
        std::uint64_t done;
        float kbps;
    };
    auto ticks = [&] {
        std::vector<Tick> out;
        std::uint64_t done = 0;
        for (const EngineEvent& e : log.Events()) {
            if (e.code == 0 && e.U64() == 9112)
                done = e.U64(8);
            if (e.code == 10 && e.U64() == 9112 && done > 0)
                out.push_back(Tick{done, e.F32(8)});
        }
        return out;
    };
    ASSERT_TRUE(wait_until([&] { return ticks().size() >= 6; }, 30000));
    ASSERT_EQ(0u, log.Count(9)) << "still downloading";
    const std::vector<Tick> flowing = ticks();
    std::vector<double> ratios;
    for (std::size_t k = 2; k < 6; ++k) {
        const double bytes_per_second = double(flowing[k].done - flowing[k - 2].done) / 2.0;
        ratios.push_back(double(flowing[k].kbps) * 1024.0 / std::max(bytes_per_second, 1.0));
    }
    std::sort(ratios.begin(), ratios.end());
    EXPECT_GT(ratios[1], 0.5) << "the speed shows what flows";
    EXPECT_LT(ratios[2], 2.0) << "the speed shows what flows";

    // The server goes: nothing flows, and the speed says so.
    nginx->stop();
    const std::size_t before = ticks().size();
    EXPECT_TRUE(wait_until(
        [&] {
            const std::vector<Tick> now = ticks();
            return now.size() > before && now.back().kbps == 0.0f;
        },
        5000))
        << "the speed falls to 0";
}

// A task stopped and started again many times during its download, each
// start right on the stop event, still completes with the right bytes.
TEST_F(HttpDownloadTest, TaskStoppedAndStartedAgainManyTimesStillCompletes)
{
    TaskFixture fx(root.path(), 9106, kPiece, {9 * 1048576});
    ASSERT_TRUE(fx.ok());
    nginx->SetRateLimit("48k");
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    ASSERT_TRUE(nginx->SetCdnAnswer(9106, fx.CdnAnswer(nginx->base_url())));
    StartEngine();
    save = env->file("games");
    for (std::size_t cycle = 1; cycle <= 30; ++cycle) {
        ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str())) << "cycle " << cycle;
        ASSERT_TRUE(log.WaitFor(13, 10000, cycle)) << "runs, cycle " << cycle;
        // Some of the download under way (not asserted: the stop may come first).
        const std::size_t progress = log.Count(0);
        wait_until([&] { return log.Count(0) > progress; }, 1000);
        if (log.Count(9) != 0)
            break;
        ASSERT_EQ(0, engine->StopTask(9106)) << "cycle " << cycle;
        ASSERT_TRUE(log.WaitFor(11, 10000, cycle)) << "stopped, cycle " << cycle;
    }
    if (log.Count(9) == 0) {
        ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));
    }
    ASSERT_TRUE(log.WaitFor(9, 90000)) << "completes after the cycles, progress " << LastProgress();
    ExpectFilesComplete(fx);
}

TEST_F(HttpDownloadTest, CorruptedRangeIsFetchedAgainFromTheGoodServer)
{
    TaskFixture fx(root.path(), 9103, kPiece, {2 * 1048576 + 5000, 0, 700000});
    ASSERT_TRUE(fx.ok());
    // A second server that spoils one byte of the first answer it gives,
    // then refuses every request.
    RangeServer bad;
    for (std::size_t i = 0; i < fx.files().size(); ++i)
        bad.AddFile(fx.files()[i].url_path, fx.Bytes(i, 0, fx.files()[i].size));
    RangeServer::Behaviour behaviour;
    behaviour.corrupt_at = 40000;
    behaviour.corrupt_answers = 1;
    behaviour.refuse_after_corrupt = true;
    bad.SetBehaviour(behaviour);
    ASSERT_TRUE(bad.Start());
    // Slow enough that the bad server is sure to answer a long run before
    // the good one has sent everything, however busy the machine.
    nginx->SetRateLimit("128k");
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    ASSERT_TRUE(nginx->SetCdnAnswer(9103, fx.CdnAnswer(bad.base_url()) + fx.CdnAnswer(nginx->base_url())));
    StartEngine();
    save = env->file("games");
    ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));
    ASSERT_TRUE(log.WaitFor(9, 60000)) << "the task completes";
    EXPECT_EQ(1u, bad.CorruptAnswers());
    ExpectFilesComplete(fx);
    WaitConnectionsGone(9103);
    bad.Stop();
}

TEST_F(HttpDownloadTest, FullDiskPausesRequestsReportsOnceAndGoesOnOnceThereIsRoom)
{
    TaskFixture fx(root.path(), 9104, kPiece, {3 * 1048576 + 4321, 700000});
    ASSERT_TRUE(fx.ok());
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    ASSERT_TRUE(nginx->SetCdnAnswer(9104, fx.CdnAnswer(nginx->base_url())));
    test_support::tick_offset() = 0;
    platform::set_tick_source(&test_support::shifted_tick);
    platform::set_write_at_source(&FullDiskWrite);
    g_disk_full = true;
    StartEngine();
    save = env->file("games");
    ASSERT_EQ(0, engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()));

    // The first refused write is reported, and the task stops asking.
    const std::string full = "No space left on device";
    ASSERT_TRUE(wait_until([&] { return ErrorsWith(full) > 0; }, 30000)) << "the full disk is reported";
    const std::size_t paused = RangesWhenQuiet(1000);
    EXPECT_LT(paused, std::size_t(fx.piece_count())) << "far less than the task was asked for";

    // After the back-off it tries again, finds the disk still full and
    // stops again, without a second report.
    test_support::tick_offset() += CDownload_Task::kWriteRetryFirstMs;
    ASSERT_TRUE(wait_until([&] { return RangesServed() > paused; }, 15000)) << "the retry asks for blocks";
    RangesWhenQuiet(1000);
    EXPECT_EQ(0u, log.Count(9));

    // Room again: the next retry (the back-off has doubled) goes on to the end.
    g_disk_full = false;
    test_support::tick_offset() += 2 * CDownload_Task::kWriteRetryFirstMs;
    ASSERT_TRUE(log.WaitFor(9, 60000)) << "the task completes once writes succeed";
    ExpectFilesComplete(fx);
    EXPECT_EQ(1u, ErrorsWith(full));
    EXPECT_EQ(1u, ErrorsWith("task 9104"));
    WaitConnectionsGone(9104);
}

// A server that ends every answer early after a few blocks: each cut
// connection's blocks are asked again at once, and the cuts neither slow
// the redials nor lower the HTTP connection limit.
TEST_F(HttpDownloadTest, ServerCuttingEveryAnswerShortStillFinishesQuickly)
{
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    StartEngine();
    std::uint32_t took[2] = {0, 0};
    for (int cut : {0, 1}) {
        const std::uint64_t id = 9105 + std::uint64_t(cut);
        TaskFixture fx(root.path(), id, kPiece, {8 * 1048576 + 321});
        ASSERT_TRUE(fx.ok());
        RangeServer server;
        ServeFiles(server, fx);
        RangeServer::Behaviour behaviour;
        behaviour.cut_after = cut ? 100000 : 0;
        server.SetBehaviour(behaviour);
        ASSERT_TRUE(server.Start());
        took[cut] = TimedDownload(fx, id, fx.CdnAnswer(server.base_url()));
        ASSERT_NE(0u, took[cut]);
        WaitConnectionsGone(id);
        server.Stop();
    }
    EXPECT_EQ(10, transfer_limits::http_connection_limit().load());
    EXPECT_LT(took[1], 4 * took[0] + 2000) << "healthy " << took[0] << " ms, cut " << took[1] << " ms";
}

// One of two CDN URLs misbehaves beside a good one: it accepts and never
// answers (its connections give their blocks back once no head came within
// seconds and it waits out a back-off), or it drips its bytes (its
// connections give their blocks back to the idle fast source). Either way
// the good server takes its share.
TEST_F(HttpDownloadTest, SilentOrSlowSourceBesideAGoodOneCostsLittle)
{
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    StartEngine();
    struct Case {
        const char* what;
        RangeServer::Behaviour behaviour;
        std::uint32_t slack_ms;   // the 4 s head time-out and a probe after the back-off
    };
    RangeServer::Behaviour silent;
    silent.silent = true;
    RangeServer::Behaviour dripping;
    dripping.rate = 100000;
    const Case cases[] = {{"healthy", {}, 0}, {"silent", silent, 12000}, {"slow", dripping, 5000}};
    std::uint32_t healthy = 0;
    std::uint64_t id = 9107;
    for (const Case& c : cases) {
        TaskFixture fx(root.path(), ++id, kPiece, {16 * 1048576 + 321});
        ASSERT_TRUE(fx.ok());
        RangeServer good;
        RangeServer bad;
        ServeFiles(good, fx);
        ServeFiles(bad, fx);
        bad.SetBehaviour(c.behaviour);
        ASSERT_TRUE(good.Start());
        ASSERT_TRUE(bad.Start());
        const bool with_bad = c.slack_ms != 0;
        const std::uint32_t took = TimedDownload(
            fx, id, (with_bad ? fx.CdnAnswer(bad.base_url()) : std::string()) + fx.CdnAnswer(good.base_url()));
        ASSERT_NE(0u, took) << c.what;
        if (with_bad) {
            EXPECT_LT(took, 3 * healthy + c.slack_ms) << c.what << ": " << took << " ms, healthy " << healthy << " ms";
        } else {
            healthy = took;
        }
        bad.Stop();
        good.Stop();
    }
}

// Many stops at once while tasks download: each call returns at once, and
// every task's teardown ends in its stop event soon after, not one per
// second.
TEST_F(HttpDownloadTest, ManyStopsAtOnceReturnAtOnceAndEveryTaskEndsPromptly)
{
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    Sources sources;
    ASSERT_TRUE(sources.Start());
    StartEngine();
    const std::uint64_t count = 6;
    ASSERT_NO_FATAL_FAILURE(
        StartDownloads(9401, count, [&](const TaskFixture&) -> RangeServer& { return sources.live; }));
    log.Clear();
    const auto start = std::chrono::steady_clock::now();
    std::chrono::steady_clock::duration longest{};
    for (std::uint64_t id = 9401; id < 9401 + count; ++id) {
        const auto before = std::chrono::steady_clock::now();
        EXPECT_EQ(0, engine->StopTask(id));
        longest = std::max(longest, std::chrono::steady_clock::now() - before);
    }
    EXPECT_LT(longest, std::chrono::milliseconds(50)) << "the longest stop";
    ASSERT_TRUE(log.WaitFor(11, 10000, count)) << "every task's stop event";
    const auto all_stopped = std::chrono::steady_clock::now() - start;
    EXPECT_LT(all_stopped, std::chrono::milliseconds(1500)) << "the tasks wind down together";
    RecordProperty("longest_stop_us", int(std::chrono::duration_cast<std::chrono::microseconds>(longest).count()));
    RecordProperty("all_stopped_ms", int(std::chrono::duration_cast<std::chrono::milliseconds>(all_stopped).count()));
    for (std::uint64_t id = 9401; id < 9401 + count; ++id)
        EXPECT_EQ(0u, live_connections::count(id));
}

// Shutdown while tasks download and the index servers cannot be reached:
// the offline session's next logon try falls due while the engine stops.
// Stop and that try must not wait for each other.
TEST_F(HttpDownloadTest, ShutdownWithTheIndexServersUnreachableEndsWhileALogonTryFallsDue)
{
    test_support::shifted_tick_scope tick;
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    Sources sources;
    ASSERT_TRUE(sources.Start());
    StartEngine();
    ASSERT_NO_FATAL_FAILURE(StartDownloads(9201, 8, [&](const TaskFixture&) -> RangeServer& { return sources.live; }));

    // Time moves on to just before the offline session's next logon try:
    // it falls due while the engine stops, and the task worker, which looks
    // every second, finds it due.
    CClientMain* client = static_cast<CP2SP_EngineImpl*>(engine)->GetClientMain();
    ASSERT_NE(nullptr, client);
    // (A try falling due now, on a slow machine, runs first and sets the next.)
    std::uint32_t left = 0;
    ASSERT_TRUE(wait_until(
        [&] {
            left = platform::tick_remaining(platform::tick_count(), client->NextLogonTryTick());
            return !client->IsLogonRunning() && left > 300;
        },
        10000));
    test_support::tick_offset() += left - 300;
    std::atomic<bool> stopped{false};
    const auto start = std::chrono::steady_clock::now();
    std::thread stopper([&] {
        DestroyEngine();
        stopped.store(true);
    });
    if (!wait_until([&] { return stopped.load(); }, 20000)) {
        // Both threads wait for each other for good: nothing would end them.
        std::fprintf(stderr, "shutdown did not end within 20 s\n");
        std::_Exit(1);
    }
    stopper.join();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LT(took.count(), 2000) << "shutdown with 8 tasks downloading";
    RecordProperty("shutdown_ms", int(took.count()));
}

// Eight tasks downloading from live, slow and hanging sources: they are
// stopped together, so the shutdown takes less than a second.
TEST_F(HttpDownloadTest, ShutdownWithEightTasksDownloadingEndsWithinOneSecond)
{
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    Sources sources;
    ASSERT_TRUE(sources.Start());
    StartEngine();
    ASSERT_NO_FATAL_FAILURE(StartDownloads(9301, 8, [&](const TaskFixture& fx) -> RangeServer& {
        const int kind = int(fx.task_id() % 3);
        return kind == 0 ? sources.live : kind == 1 ? sources.slow : sources.hanging;
    }));
    const auto start = std::chrono::steady_clock::now();
    DestroyEngine();
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    EXPECT_LT(took.count(), 1000) << "shutdown with 8 tasks downloading";
    RecordProperty("shutdown_ms", int(took.count()));
}

// A big task resumed beside a running download: its pieces are read back
// and hashed while the other task's blocks keep arriving (the whole check
// once held the I/O thread for a second and more), and a piece spoiled on
// disk is still found and fetched again.
TEST_F(HttpDownloadTest, ResumingABigTaskHoldsUpNoOtherDownload)
{
    constexpr std::uint32_t kBigPiece = 1048576;
    // Every block of the witness is a piece of its own, written as it comes.
    TaskFixture witness(root.path(), 9120, 32768, {64 * 1048576}, "witness");
    TaskFixture big(root.path(), 9121, kBigPiece, {320 * std::uint64_t(kBigPiece)}, "big");
    ASSERT_TRUE(witness.ok() && big.ok());
    const std::string big_save = env->file("big_games");
    const std::string big_file = big_save + "/big/data/" + big.files()[0].file_name;
    std::filesystem::create_directories(big_save + "/big/data");
    std::filesystem::copy_file(big.files()[0].path, big_file);
    {
        std::fstream spoil(big_file, std::ios::in | std::ios::out | std::ios::binary);
        spoil.seekp(std::streamoff(77) * kBigPiece + 4096);
        spoil.write("spoiled", 7);
        ASSERT_TRUE(spoil.good());
    }
    // The witness's server sends a tenth of a second's bytes at a time
    // (nginx's rate limit sends on whole seconds).
    RangeServer witness_server;
    ServeFiles(witness_server, witness);
    RangeServer::Behaviour paced;
    paced.rate = 768 * 1024;
    witness_server.SetBehaviour(paced);
    ASSERT_TRUE(witness_server.Start());
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    ASSERT_TRUE(nginx->SetCdnAnswer(9120, witness.CdnAnswer(witness_server.base_url())));
    ASSERT_TRUE(nginx->SetCdnAnswer(9121, big.CdnAnswer(nginx->base_url())));
    WriteGaps::Reset();
    platform::set_write_at_source(&WriteGaps::Write);
    StartEngine();
    save = env->file("games");
    ASSERT_EQ(0, engine->AddNewTask(witness.SeedXml().c_str(), save.c_str()));
    ASSERT_TRUE(wait_until([&] { return WriteGaps::writes.load() >= 20; }, 30000)) << "the witness is downloading";
    WriteGaps::Watch();

    // Every piece of the big task is claimed as verified.
    const std::vector<std::uint8_t> bitmap(big.piece_count(), 1);
    const std::vector<std::vector<std::uint8_t>> tables(big.piece_count(),
                                                        std::vector<std::uint8_t>(kBigPiece / kBlockSize, 1));
    ASSERT_EQ(0, engine->AddResumedTask(big.SeedXml().c_str(), big_save.c_str(), bitmap, tables));
    const auto completed = [&](std::uint64_t id) {
        const auto events = log.Events();
        return std::any_of(events.begin(), events.end(),
                           [&](const EngineEvent& e) { return e.code == 9 && e.U64() == id; });
    };
    ASSERT_TRUE(wait_until([&] { return completed(9121); }, 60000)) << "the resumed task completes";
    WriteGaps::Unwatch();
    ASSERT_FALSE(completed(9120)) << "the witness was still downloading throughout";
    EXPECT_EQ(big.files()[0].md5, TaskFixture::FileMd5(big_file)) << "the spoiled piece was fetched again";
    std::size_t refetched = 0;
    for (const auto& served : nginx->AccessLog()) {
        if (served.uri.find("/big/data/") == std::string::npos)
            continue;
        ++refetched;
        EXPECT_EQ(77, served.range_start / kBigPiece) << "only the spoiled piece is fetched: " << served.range;
    }
    EXPECT_GT(refetched, 0u);
    EXPECT_LT(WriteGaps::longest_us.load(), 300000) << "the witness's longest pause between two blocks (us)";
}

// A graceful stop during a busy download on a slow disk, of a task alone
// (the launcher's stop) and of the engine: the ".bbm" saved holds every
// piece whole on disk, those written after the task's stop included.
TEST_F(HttpDownloadTest, GracefulStopSavesTheBitmapAfterTheLastWrite)
{
    TaskFixture big(root.path(), 9131, 1048576, {24 * 1048576}, "big");
    TaskFixture small(root.path(), 9132, kPiece, {12 * 1048576}, "small");
    ASSERT_TRUE(big.ok() && small.ok());
    nginx->SetRateLimit("256k");
    ASSERT_TRUE(nginx->start()) << nginx->last_error();
    ASSERT_TRUE(nginx->SetCdnAnswer(9131, big.CdnAnswer(nginx->base_url())));
    ASSERT_TRUE(nginx->SetCdnAnswer(9132, small.CdnAnswer(nginx->base_url())));
    platform::set_write_at_source([](int fd, const void* data, std::size_t size, std::int64_t at) -> long {
        std::this_thread::sleep_for(std::chrono::milliseconds(12));
        return ::pwrite(fd, data, size, off_t(at));
    });
    StartEngine();
    save = env->file("games");
    ASSERT_EQ(0, engine->AddNewTask(big.SeedXml().c_str(), save.c_str()));
    ASSERT_EQ(0, engine->AddNewTask(small.SeedXml().c_str(), save.c_str()));
    const auto verified = [&](std::uint64_t id, std::uint64_t bytes) {
        const auto events = log.Events();
        return std::any_of(events.begin(), events.end(),
                           [&](const EngineEvent& e) { return e.code == 0 && e.U64() == id && e.U64(8) >= bytes; });
    };
    ASSERT_TRUE(wait_until([&] { return verified(9131, 4 << 20) && verified(9132, 2 << 20); }, 60000));
    ASSERT_EQ(0, engine->StopTask(9131));
    ASSERT_TRUE(log.WaitFor(11, 30000)) << "the task alone stops";
    ASSERT_EQ(0, engine->Uninit());
    for (const TaskFixture* fx : {&big, &small}) {
        std::vector<std::uint8_t> bitmap;
        std::vector<std::vector<std::uint8_t>> tables;
        ASSERT_TRUE(ReadBitmap(fx->task_id(), bitmap, tables));
        std::ifstream in(SavedFile(*fx, 0), std::ios::binary);
        const std::string disk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::string want = fx->Bytes(0, 0, fx->total_size());
        const std::size_t piece = fx->piece_size();
        for (std::size_t p = 0; p < fx->piece_count(); ++p) {
            const bool whole = p * piece < disk.size() && disk.compare(p * piece, piece, want, p * piece, piece) == 0;
            EXPECT_EQ(whole, p < bitmap.size() && bitmap[p] == 1) << fx->task_id() << " piece " << p;
        }
        EXPECT_GT(std::count(bitmap.begin(), bitmap.end(), 1), 0);
    }
}
