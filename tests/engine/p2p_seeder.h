// A seeding engine in a process of its own, for the peer-to-peer tests.
// The engine keeps process-wide state (task registry, live connections,
// client id), so two engines holding the same task cannot share a
// process: the test executable is started again with only the seeder test
// selected and a folder named in VR_P2P_SEEDER_DIR. There the seeder
// generates the task's files, logs on through its own fake RIS as a
// directly connectable peer, resumes the task from its files and a
// complete bitmap, says "ready" once the task is verified and serves
// until the parent asks it to stop; then it writes what it uploaded (and,
// with a slow disk, the longest its I/O thread was held meanwhile).
// Parent and child talk through files in that folder; every wait is
// bounded and a child that does not end is killed by its pid.
#pragma once

#include "engine/channel_manager.h"
#include "engine/client_main.h"
#include "engine/download_session.h"
#include "engine/engine_flags.h"
#include "engine/p2sp_engine.h"
#include "engine/p2sp_engine_impl.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "support/engine_test_env.h"
#include "support/fake_cis_server.h"
#include "support/fake_ris_server.h"
#include "support/task_fixture.h"
#include "support/temp_dir.h"
#include "net/io_test_util.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace test_support {

struct SeederParams {
    std::uint64_t task_id = 0;
    std::uint32_t piece_size = 0;
    std::vector<std::uint64_t> sizes;   // TaskFixture files, contents seed 1
    std::uint64_t client_id = 0;
    std::uint16_t port = 0;          // the peer listen port
    std::uint32_t held_pieces = 0;   // pieces held, from the first on (0: all)
    bool offline = false;            // no index server: found by LAN discovery only
    // A co-downloader instead: holds nothing, fetches the task from the
    // seed named here (type 2) once the parent says "go", and reports what
    // it received from other peers.
    bool download = false;
    std::uint64_t seed_id = 0;
    std::uint16_t seed_port = 0;
    // Each piece read for upload takes this long (0: the disk as it is).
    std::uint32_t slow_read_ms = 0;
};

class P2pSeeder {
public:
    static constexpr const char* kEnvDir = "VR_P2P_SEEDER_DIR";

    explicit P2pSeeder(SeederParams params) : m_params(std::move(params)) {}
    ~P2pSeeder()
    {
        if (m_pid > 0) {
            Touch("stop");
            if (!WaitExit(15000))
                Kill();
        }
    }
    P2pSeeder(const P2pSeeder&) = delete;
    P2pSeeder& operator=(const P2pSeeder&) = delete;

    std::uint16_t port() const { return m_params.port; }
    // The seeding process; <= 0 when it is not running.
    pid_t pid() const { return m_pid; }
    float upload_kbps() const { return m_upload_kbps; }
    // A co-downloader's bytes from peers other than the seed (its final report).
    std::uint64_t peer_bytes() const { return m_peer_bytes; }
    // With slow reads: the longest the seeder's I/O thread was held while it
    // served (ms).
    std::uint64_t longest_io_gap_ms() const { return m_io_gap_ms; }
    // Lets a co-downloader start its download.
    void Go() { Touch("go"); }

    // A port nothing listens on right now.
    static std::uint16_t FreePort()
    {
        platform::socket_t s = platform::tcp_socket();
        platform::bind_ipv4(s, platform::parse_ipv4("127.0.0.1"), 0);
        std::uint32_t ip = 0;
        std::uint16_t port = 0;
        platform::local_endpoint(s, ip, port);
        platform::close_socket(s);
        return port;
    }

    // Starts the child process.
    bool Start()
    {
        {
            std::ofstream params(m_dir.file("params"));
            params << m_params.task_id << ' ' << m_params.piece_size << ' ' << m_params.client_id << ' '
                   << m_params.port << ' ' << m_params.held_pieces << ' ' << m_params.offline << ' '
                   << m_params.download << ' ' << m_params.seed_id << ' ' << m_params.seed_port << ' '
                   << m_params.sizes.size();
            for (std::uint64_t size : m_params.sizes)
                params << ' ' << size;
            params << ' ' << m_params.slow_read_ms << '\n';
        }
        char exe[4096] = {};
        const ssize_t n = readlink("/proc/self/exe", exe, sizeof(exe) - 1);
        if (n <= 0)
            return false;
        std::vector<std::string> env_text;
        for (char** e = environ; e && *e; ++e) {
            if (std::strncmp(*e, kEnvDir, std::strlen(kEnvDir)) != 0)
                env_text.emplace_back(*e);
        }
        env_text.push_back(std::string(kEnvDir) + "=" + m_dir.path());
        std::vector<char*> envp;
        for (std::string& s : env_text)
            envp.push_back(&s[0]);
        envp.push_back(nullptr);
        std::string filter = "--gtest_filter=P2pSeederProcess.Serve";
        char* argv[] = {exe, &filter[0], nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        const std::string log_path = m_dir.file("log");
        posix_spawn_file_actions_addopen(&actions, 1, log_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawn_file_actions_adddup2(&actions, 1, 2);
        const int rc = posix_spawn(&m_pid, exe, &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0)
            m_pid = -1;
        return rc == 0;
    }

    // True once the seeder's task is verified and it listens.
    bool WaitReady(std::uint32_t ms)
    {
        return wait_until([&] { return Exists("ready") || (m_pid > 0 && Exited()); }, ms) && Exists("ready");
    }

    // Asks the child to stop, reads its result and reaps it.
    bool Stop()
    {
        if (m_pid <= 0)
            return false;
        Touch("stop");
        const bool ended = WaitExit(30000);
        if (!ended)
            Kill();
        std::ifstream result(m_dir.file("result"));
        return ended && static_cast<bool>(result >> m_upload_kbps >> m_peer_bytes >> m_io_gap_ms);
    }

    // The last part of the child's output.
    std::string log() const
    {
        std::ifstream in(m_dir.file("log"));
        std::stringstream text;
        text << in.rdbuf();
        const std::string all = text.str();
        return all.size() > 4000 ? all.substr(all.size() - 4000) : all;
    }

    // The child's body (the seeder test calls it): 0 when it served and
    // stopped as asked.
    static int RunChild(void (*setup)(CClientMain&))
    {
        const char* dir = std::getenv(kEnvDir);
        SeederParams params;
        std::ifstream in(std::string(dir) + "/params");
        std::size_t count = 0;
        if (!(in >> params.task_id >> params.piece_size >> params.client_id >> params.port >> params.held_pieces >>
              params.offline >> params.download >> params.seed_id >> params.seed_port >> count))
            return 1;
        params.sizes.resize(count);
        for (std::uint64_t& size : params.sizes)
            in >> size;
        in >> params.slow_read_ms;
        SlowReadMs().store(params.slow_read_ms);
        const std::string files = std::string(dir) + "/files";
        std::filesystem::create_directories(files);
        TaskFixture fx(files, params.task_id, params.piece_size, params.sizes);
        if (!fx.ok())
            return 2;

        FakeCisServer cis;
        FakeRisServer ris;
        // Started first: the logon answer names the port it got.
        if (!params.offline && !cis.Start())
            return 3;
        FakeRisServer::Answer answer;
        answer.clientid = params.client_id;
        answer.peertype = params.download ? PEERTYPE_SP : PEERTYPE_DIRECT;
        answer.publicip = 0x7f000001;
        answer.cis = {cis.address()};
        ris.SetAnswer(answer);
        if (params.download) {
            PeerInfo seed{};
            seed.clientid = params.seed_id;
            seed.publicip = platform::parse_ipv4("127.0.0.1");
            seed.publicport = params.seed_port;
            seed.peertype = PEERTYPE_DIRECT;
            cis.SetTaskPeers(params.task_id, {seed}, {}, {});
        }
        if (!params.offline && !ris.Start())
            return 3;
        EngineTestEnv env(params.offline ? std::string("127.0.0.1:1") : ris.address());
        if (params.offline)
            env.ShareLoopbackLan();

        EngineCallbackLog log;
        IP2SP_Engine* engine = CreateP2SPEngine();
        static_cast<CP2SP_EngineImpl*>(engine)->SetClientSetup(setup);
        EngineInitBlock block{};
        std::strncpy(block.data_folder, env.file("data").c_str(), sizeof(block.data_folder) - 1);
        std::strncpy(block.bitmap_folder, env.file("launcher").c_str(), sizeof(block.bitmap_folder) - 1);
        block.listen_port = params.port;
        int rc = 0;
        std::uint64_t peer_bytes = 0;
        // Offline the failed logon raises 4 with -1 before the session is built.
        if (engine->Init(&block, &EngineCallbackLog::Callback, &log) != 0 ||
            !log.WaitFor(4, 10000, params.offline ? 2 : 1)) {
            rc = 4;
        } else if (params.download) {
            rc = CoDownload(*engine, log, cis, params, fx, std::string(dir), peer_bytes);
        } else {
            std::vector<std::uint8_t> bitmap;
            std::vector<std::vector<std::uint8_t>> tables;
            for (std::size_t i = 0; i < params.sizes.size(); ++i) {
                const std::uint64_t size = params.sizes[i];
                std::uint64_t held_bytes = 0;
                for (std::uint64_t off = 0; off < size; off += params.piece_size) {
                    const std::uint64_t length = std::min<std::uint64_t>(params.piece_size, size - off);
                    const bool held = params.held_pieces == 0 || bitmap.size() < params.held_pieces;
                    bitmap.push_back(held ? 1 : 0);
                    tables.emplace_back((length + 32767) / 32768, held ? 1 : 0);
                    held_bytes += held ? length : 0;
                }
                // What is not held is not on disk either (a hole), or the
                // resume would find it whole there.
                if (held_bytes < size && (::truncate(fx.files()[i].path.c_str(), off_t(held_bytes)) != 0 ||
                                          ::truncate(fx.files()[i].path.c_str(), off_t(size)) != 0))
                    return 7;
            }
            // A whole task completes; a part of one shows as progress once
            // its pieces are verified again.
            // Progress is the verified share of the pieces times the size.
            std::uint64_t total = 0;
            for (std::uint64_t size : params.sizes)
                total += size;
            const std::uint64_t shown = std::uint64_t(double(std::count(bitmap.begin(), bitmap.end(), 1)) /
                                                      double(bitmap.size()) * double(total));
            auto verified = [&] {
                if (params.held_pieces == 0)
                    return log.Count(9) > 0;
                EngineEvent e;
                return log.Last(0, e) && e.U64(8) + 1 >= shown;
            };
            // Resumed as the launcher resumes a task: from its ".bbm" file.
            const std::string bbm = files + "/" + std::to_string(params.task_id) + ".bbm";
            WriteBitmapFile(bbm, bitmap, tables);
            bitmap.clear();
            tables.clear();
            if (engine->ReadRecordFile(bbm.c_str(), bitmap, tables) != 0 ||
                engine->AddResumedTask(fx.SeedXml().c_str(), files.c_str(), bitmap, tables) != 0)
                rc = 5;
            else if (!wait_until(verified, 60000))
                rc = 6;
            EngineEvent last;
            if (rc == 6 && log.Last(0, last))
                std::cout << "seeder progress " << last.U64(8) << " of " << shown << std::endl;
        }
        std::uint64_t io_gap_ms = 0;
        if (rc == 0) {
            // The disk turns slow only now: the resume's checks are done.
            std::unique_ptr<net_test::io_watchdog> dog;
            auto* session =
                dynamic_cast<CDownload_Session*>(static_cast<CP2SP_EngineImpl*>(engine)->GetClientMain()->GetSession());
            if (params.slow_read_ms > 0 && session) {
                SetPieceReadHook(&SlowRead);
                dog = std::make_unique<net_test::io_watchdog>(session->GetIoService());
            }
            std::ofstream(std::string(dir) + "/ready") << "ready\n";
            const std::string stop = std::string(dir) + "/stop";
            wait_until([&] { return std::filesystem::exists(stop); }, 600000);
            if (dog)
                io_gap_ms = dog->longest_gap_ms();
            dog.reset();
            SetPieceReadHook(nullptr);
        }
        // The upload speed of the last ten seconds, as the engine reports
        // it every second (a tick after the last block may still be due).
        auto max_upload = [&] {
            float upload = 0;
            for (const EngineEvent& e : log.Events()) {
                if (e.code == 10 && e.U64() == params.task_id)
                    upload = std::max(upload, e.F32(12));
                if (e.code == 17)
                    upload = std::max(upload, e.F32(4));
            }
            return upload;
        };
        wait_until([&] { return max_upload() > 0; }, 3000);
        const float upload = max_upload();
        DestroyP2SPEngine(engine);
        DestroyLogConnection();
        const std::string result = std::string(dir) + "/result";
        std::ofstream(result + ".tmp") << upload << " " << peer_bytes << " " << io_gap_ms << "\n";
        std::filesystem::rename(result + ".tmp", result);
        return rc;
    }

private:
    static std::atomic<std::uint32_t>& SlowReadMs()
    {
        static std::atomic<std::uint32_t> ms{0};
        return ms;
    }
    static void SlowRead(std::uint64_t, std::int32_t)
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(SlowReadMs().load()));
    }

    // The co-downloader's part: the task from nothing once the parent says
    // "go"; its bytes from peers other than the seed out of its final report.
    static int CoDownload(IP2SP_Engine& engine, const EngineCallbackLog& log, const FakeCisServer& cis,
                          const SeederParams& params, const TaskFixture& fx, const std::string& dir,
                          std::uint64_t& peer_bytes)
    {
        std::ofstream(dir + "/ready") << "ready\n";
        if (!wait_until([&] { return std::filesystem::exists(dir + "/go"); }, 60000))
            return 8;
        const std::string save = dir + "/save";
        if (engine.AddNewTask(fx.SeedXml().c_str(), save.c_str()) != 0)
            return 5;
        if (!wait_until([&] { return log.Count(9) > 0 || std::filesystem::exists(dir + "/stop"); }, 180000) ||
            log.Count(9) == 0) {
            EngineEvent last;
            if (log.Last(0, last))
                std::cout << "co-downloader progress " << last.U64(8) << " of " << last.U64(16) << std::endl;
            return 6;
        }
        const bool reported = wait_until(
            [&] {
                for (const FakeCisServer::Report& r : cis.reports()) {
                    if (r.task_id == params.task_id && r.type == 0) {
                        peer_bytes = r.a;
                        return true;
                    }
                }
                return false;
            },
            10000);
        return reported ? 0 : 9;
    }

    // u32 piece count, the piece bitmap, then per piece u32 block count and
    // one byte per block; little-endian.
    static void WriteBitmapFile(const std::string& path, const std::vector<std::uint8_t>& bitmap,
                                const std::vector<std::vector<std::uint8_t>>& tables)
    {
        std::ofstream out(path, std::ios::binary);
        auto u32 = [&](std::uint32_t v) {
            const char b[4] = {char(v), char(v >> 8), char(v >> 16), char(v >> 24)};
            out.write(b, 4);
        };
        u32(std::uint32_t(bitmap.size()));
        out.write(reinterpret_cast<const char*>(bitmap.data()), std::streamsize(bitmap.size()));
        for (const auto& table : tables) {
            u32(std::uint32_t(table.size()));
            out.write(reinterpret_cast<const char*>(table.data()), std::streamsize(table.size()));
        }
    }

    bool Exists(const std::string& name) const { return std::filesystem::exists(m_dir.file(name)); }
    void Touch(const std::string& name) { std::ofstream(m_dir.file(name)) << "1\n"; }
    bool Exited()
    {
        int status = 0;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return true;
        }
        return false;
    }
    bool WaitExit(std::uint32_t ms)
    {
        return m_pid <= 0 || wait_until([&] { return Exited(); }, ms);
    }
    void Kill()
    {
        if (m_pid <= 0)
            return;
        kill(m_pid, SIGKILL);
        int status = 0;
        waitpid(m_pid, &status, 0);
        m_pid = -1;
    }

    SeederParams m_params;
    TempDir m_dir;
    pid_t m_pid = -1;
    float m_upload_kbps = 0;
    std::uint64_t m_peer_bytes = 0;
    std::uint64_t m_io_gap_ms = 0;
};

}   // namespace test_support
