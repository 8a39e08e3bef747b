// Transfer speed of one task between two engines over loopback, beside the
// same task fetched from nginx by the HTTP/CDN path, a plain socket copy of
// the same number of bytes and plain pwrite calls of them into a file on the
// disk the engine writes to (the bound of a download), all in one run:
//
//   scripts/bench_p2p.sh [MiB]        (default 1024: a 1 GiB task)
//   p2p_transfer MiB PIECE_KiB p2p    (that piece size; the peer-to-peer
//                                      path alone, with the peak RSS of
//                                      both engines)
//
//   P2P_LINK=MS,MBIT p2p_transfer MiB PIECE_KiB p2p
//                                     (the downloader reaches the seeder
//                                      through bench/delay_relay.py: MS ms
//                                      each way, MBIT Mbit/s; see
//                                      bench/p2p_link.sh)
//
// which builds this benchmark in build/bench-p2p (Release) and runs it. The
// seeding engine runs in a second process (this program started again),
// as in the peer-to-peer tests; files go to a temporary folder that is
// removed afterwards. Prints one line per path with MB/s (10^6 bytes).
// Engine times run from handing the task over to the completion event, so
// they include the set-up (file preparation, the peer-list request made
// when the task is ready, the dial made when the reply is applied).
#include "engine/client_main.h"
#include "engine/engine_flags.h"
#include "engine/engine_settings.h"
#include "engine/p2sp_engine.h"
#include "engine/p2sp_engine_impl.h"
#include "engine/task_state_mgr.h"
#include "discovery/server_list.h"
#include "net/io/live_connections.h"
#include "net/io/transfer_limits.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "support/engine_test_env.h"
#include "support/fake_cis_server.h"
#include "support/fake_ris_server.h"
#include "support/nginx_server.h"
#include "support/task_fixture.h"
#include "support/temp_dir.h"
#include "tests/engine/p2p_seeder.h"
#include "end_engine.h"
#include "loopback_pair.h"
#include "thread_cpu.h"
#include "write_watch.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

using namespace test_support;

namespace {

constexpr std::uint64_t kTask = 9301;
std::uint32_t g_piece = 1048576;             // the task's piece size
constexpr std::uint32_t kWaitMs = 3600000;   // the longest any one path may take

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

double MBps(std::uint64_t bytes, double seconds)
{
    return seconds > 0 ? double(bytes) / seconds / 1e6 : 0;
}

// A share as a percentage, "n/a" when unknown (< 0).
std::string Share(double share)
{
    return share < 0 ? "n/a" : std::to_string(int(share * 100 + 0.5)) + " %";
}

// bench/delay_relay.py forwarding a port to `target`, when P2P_LINK asks
// for one (P2P_RELAY names the script); stopped with the object.
class DelayRelay {
public:
    explicit DelayRelay(std::uint16_t target)
    {
        const char* link = std::getenv("P2P_LINK");
        const char* script = std::getenv("P2P_RELAY");
        if (!link || !script)
            return;
        const std::string spec(link);
        const std::size_t comma = spec.find(',');
        if (comma == std::string::npos)
            return;
        m_port = P2pSeeder::FreePort();
        std::vector<std::string> args = {"python3",
                                         script,
                                         std::to_string(m_port),
                                         std::to_string(target),
                                         spec.substr(0, comma),
                                         spec.substr(comma + 1)};
        std::vector<char*> argv;
        for (std::string& a : args)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        if (posix_spawnp(&m_pid, "python3", nullptr, nullptr, argv.data(), environ) != 0) {
            m_pid = 0;
            return;
        }
        // Ready once it accepts (at most 10 s).
        for (int i = 0; i < 200 && !m_ready; ++i) {
            platform::socket_t s = platform::tcp_socket();
            m_ready = platform::connect_ipv4(s, platform::parse_ipv4("127.0.0.1"), m_port);
            platform::close_socket(s);
            if (!m_ready)
                platform::sleep_ms(50);
        }
    }
    ~DelayRelay()
    {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
        }
    }
    DelayRelay(const DelayRelay&) = delete;
    DelayRelay& operator=(const DelayRelay&) = delete;
    bool asked() const { return m_pid != 0 || std::getenv("P2P_LINK"); }
    // The port to dial instead of the target; 0 when none runs.
    std::uint16_t port() const { return m_ready ? m_port : 0; }

private:
    pid_t m_pid = 0;
    std::uint16_t m_port = 0;
    bool m_ready = false;
};

// `bytes` from one socket to another on 127.0.0.1, 1 MiB per send.
double SocketCopy(std::uint64_t bytes)
{
    platform::socket_t out;
    platform::socket_t in;
    loopback_pair(out, in);
    const auto start = std::chrono::steady_clock::now();
    platform::Thread sender;
    sender.start([&] {
        std::vector<char> block(1 << 20, 'x');
        std::uint64_t sent = 0;
        while (sent < bytes) {
            std::uint32_t e = 0;
            const long n = platform::send_some(out, block.data(),
                                               std::size_t(std::min<std::uint64_t>(block.size(), bytes - sent)), e);
            if (n <= 0)
                break;
            sent += std::uint64_t(n);
        }
    });
    std::vector<char> buffer(1 << 20);
    std::uint64_t got = 0;
    while (got < bytes) {
        std::uint32_t e = 0;
        const long n = platform::receive_some(in, buffer.data(), buffer.size(), e);
        if (n <= 0)
            break;
        got += std::uint64_t(n);
    }
    const double seconds = Seconds(start);
    sender.join_for(60000);
    platform::close_socket(in);
    platform::close_socket(out);
    return got == bytes ? MBps(bytes, seconds) : 0;
}

// `bytes` written into a new file in `folder` by 1 MiB pwrite calls, as
// the engine writes whole pieces (no fsync, as the engine's piece writes).
double PlainPwrite(std::uint64_t bytes, const std::string& folder)
{
    const std::string path = folder + "/pwrite.bin";
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return 0;
    std::vector<char> block(1 << 20, 'p');
    const auto start = std::chrono::steady_clock::now();
    std::uint64_t done = 0;
    while (done < bytes) {
        const std::size_t n = std::size_t(std::min<std::uint64_t>(block.size(), bytes - done));
        if (::pwrite(fd, block.data(), n, off_t(done)) != ssize_t(n))
            break;
        done += n;
    }
    const double seconds = Seconds(start);
    ::close(fd);
    ::unlink(path.c_str());
    return done == bytes ? MBps(bytes, seconds) : 0;
}

// Where the time of a download went, from its writes: set-up until the
// first piece is written, transfer until the last, completion after it.
struct Phases {
    double seconds = -1;
    double first_write = -1;
    double last_write = -1;
    std::int64_t written = 0;   // bytes from the first write to the last

    // `disk`: the plain pwrite rate (MB/s) the transfer is set against.
    void Print(double disk) const
    {
        if (seconds <= 0 || first_write < 0 || last_write <= first_write)
            return;
        const double transfer = last_write - first_write;
        const double rate = MBps(std::uint64_t(written), transfer);
        std::printf("%-34s %10.1f MB/s  (%.0f %% of plain pwrite; set-up %.2f s, transfer %.2f s, completion %.2f s)\n",
                    "  first to last piece written", rate, disk > 0 ? 100 * rate / disk : 0.0, first_write, transfer,
                    seconds - last_write);
    }
};

// CPU seconds of the threads that move a download's bytes: the
// downloading engine's and, for a peer-to-peer download, the seeder's.
struct CpuByThread {
    double io = 0, transfer = 0, hash = 0, storage = 0, seeder_io = 0, seeder_transfer = 0, seeder_storage = 0;

    CpuByThread() = default;
    explicit CpuByThread(long seeder)
        : io(bench::ThreadCpuSeconds("session_io")),
          transfer(bench::ThreadCpuSeconds("io_transfer")),
          hash(bench::ThreadCpuSeconds("piece hash")),
          storage(bench::ThreadCpuSeconds("storage")),
          seeder_io(seeder > 0 ? bench::ThreadCpuSeconds("session_io", seeder) : 0),
          seeder_transfer(seeder > 0 ? bench::ThreadCpuSeconds("io_transfer", seeder) : 0),
          seeder_storage(seeder > 0 ? bench::ThreadCpuSeconds("storage", seeder) : 0)
    {
    }
    CpuByThread Minus(const CpuByThread& o) const
    {
        CpuByThread d;
        d.io = io - std::max(o.io, 0.0);
        d.transfer = transfer - std::max(o.transfer, 0.0);
        d.hash = hash - std::max(o.hash, 0.0);
        d.storage = storage - std::max(o.storage, 0.0);
        d.seeder_io = seeder_io - std::max(o.seeder_io, 0.0);
        d.seeder_transfer = seeder_transfer - std::max(o.seeder_transfer, 0.0);
        d.seeder_storage = seeder_storage - std::max(o.seeder_storage, 0.0);
        return d;
    }
    // Per GiB of `bytes`.
    void Print(std::uint64_t bytes, bool seeder) const
    {
        const double g = double(bytes) / double(1u << 30);
        if (g <= 0)
            return;
        // (No socket-transfer thread: no connection needed one.)
        const double transfer = std::max(this->transfer, 0.0);
        const double seeder_transfer = std::max(this->seeder_transfer, 0.0);
        std::printf("  CPU s per GiB: I/O %.3f, socket transfers %.3f, hashing %.3f, storage %.3f", io / g,
                    transfer / g, hash / g, storage / g);
        if (seeder)
            std::printf("; seeder I/O %.3f, seeder socket transfers %.3f, seeder storage %.3f", seeder_io / g,
                        seeder_transfer / g, seeder_storage / g);
        std::printf("\n");
    }
};

// The peak resident set of process `pid` (0: this one) in MiB, from its
// VmHWM; < 0 when unknown.
double PeakRssMiB(long pid)
{
    const std::string path = pid > 0 ? "/proc/" + std::to_string(pid) + "/status" : "/proc/self/status";
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f)
        return -1;
    char line[256];
    double kib = -1;
    while (std::fgets(line, sizeof(line), f)) {
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            kib = std::strtod(line + 6, nullptr);
    }
    std::fclose(f);
    return kib < 0 ? -1 : kib / 1024;
}

// Sets the peak resident set of process `pid` to what it holds now (the
// seeder's resume check is not part of its serving); false when refused.
bool ResetPeakRss(long pid)
{
    std::FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/clear_refs").c_str(), "w");
    if (!f)
        return false;
    const bool ok = std::fputs("5", f) >= 0;
    return std::fclose(f) == 0 && ok;
}

// One engine that downloads the task into `save`; online through the fake
// RIS when `cis` is given, else offline with the CDN query at `cdn_prefix`.
class Downloader {
public:
    Downloader(FakeCisServer* cis, const std::string& cdn_prefix)
    {
        if (cis) {
            FakeRisServer::Answer answer;
            answer.clientid = 201;
            answer.peertype = PEERTYPE_DIRECT;
            answer.publicip = 0x7f000001;
            answer.cis = {cis->address()};
            m_ris.SetAnswer(answer);
            m_ris.Start();
        }
        m_env = std::make_unique<EngineTestEnv>(cis ? m_ris.address() : std::string("127.0.0.1:1"));
        m_engine = CreateP2SPEngine();
        static_cast<CP2SP_EngineImpl*>(m_engine)->SetClientSetup(&NoUpnp);
        if (!cdn_prefix.empty())
            m_engine->SetConfigValue("only_cdn_by_id", cdn_prefix);
        EngineInitBlock block{};
        std::strncpy(block.data_folder, m_env->file("data").c_str(), sizeof(block.data_folder) - 1);
        std::strncpy(block.bitmap_folder, m_env->file("launcher").c_str(), sizeof(block.bitmap_folder) - 1);
        m_ok = m_engine->Init(&block, &EngineCallbackLog::Callback, &m_log) == 0 &&
               m_log.WaitFor(4, cis ? 10000 : 15000, cis ? 1 : 2);
    }
    ~Downloader() { EndEngine(m_engine, m_log, kTask, m_started); }

    // Seconds from handing the task over to its completion; < 0 on failure.
    // `seeder`: the seeding process, whose threads' CPU is counted too.
    double Download(const TaskFixture& fx, long seeder = 0)
    {
        if (!m_ok)
            return -1;
        m_save = m_env->file("games");
        const auto start = std::chrono::steady_clock::now();
        const CpuByThread cpu_before(seeder);
        const double io_before = bench::ThreadCpuSeconds("session_io");
        bench::WriteWatch writes(g_piece);
        if (m_engine->AddNewTask(fx.SeedXml().c_str(), m_save.c_str()) != 0)
            return -1;
        m_started = true;
        if (!m_log.WaitFor(9, kWaitMs))
            return -1;
        const double seconds = Seconds(start);
        writes.Stop();
        m_phases.seconds = seconds;
        if (writes.Seen()) {
            m_phases.first_write = writes.FirstSeconds();
            m_phases.last_write = writes.LastSeconds();
            m_phases.written = writes.Bytes();
        }
        m_cpu = CpuByThread(seeder).Minus(cpu_before);
        const double io_after = bench::ThreadCpuSeconds("session_io");
        // (A session built again meanwhile has a new I/O thread: unknown.)
        if (io_before >= 0 && io_after >= io_before && seconds > 0)
            m_io_busy = (io_after - io_before) / seconds;
        for (const auto& file : fx.files()) {
            if (TaskFixture::FileMd5(m_save + "/" + fx.srcdir() + "/data/" + file.file_name) != file.md5)
                return -1;
        }
        return seconds;
    }
    // Share of the last download the I/O thread was on a CPU; < 0 unknown.
    double IoBusy() const { return m_io_busy; }
    // Where the last download's time went.
    Phases phases() const { return m_phases; }
    // CPU seconds the last download took, by thread.
    const CpuByThread& cpu() const { return m_cpu; }
    // The folder the engine saves into.
    std::string SaveFolder() const { return m_env->path(); }

private:
    FakeRisServer m_ris;
    std::unique_ptr<EngineTestEnv> m_env;
    IP2SP_Engine* m_engine = nullptr;
    EngineCallbackLog m_log;
    std::string m_save;
    bool m_ok = false;
    bool m_started = false;
    double m_io_busy = -1;
    Phases m_phases;
    CpuByThread m_cpu;
};

}   // namespace

int main(int argc, char** argv)
{
    // Started again as the seeding engine.
    if (std::getenv(P2pSeeder::kEnvDir))
        return P2pSeeder::RunChild(&NoUpnp);

    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    if (argc > 2)
        g_piece = std::uint32_t(std::strtoul(argv[2], nullptr, 10) << 10);
    const bool p2p_only = argc > 3 && std::strcmp(argv[3], "p2p") == 0;
    if (mib == 0 || g_piece == 0) {
        std::fprintf(stderr, "usage: %s [MiB [piece KiB [p2p]]]\n", argv[0]);
        return 2;
    }
    const std::uint64_t total = mib << 20;
    const std::vector<std::uint64_t> sizes = {total / 2, total - total / 2};
    TempDir root;
    std::printf("task: %llu bytes in %zu files, pieces of %u bytes\n", static_cast<unsigned long long>(total),
                sizes.size(), g_piece);
    TaskFixture fx(root.path(), kTask, g_piece, sizes);
    if (!fx.ok()) {
        std::fprintf(stderr, "cannot write the task's files\n");
        return 1;
    }
    if (!p2p_only) {
        std::printf("%-34s %10.1f MB/s\n", "socket copy (127.0.0.1)", SocketCopy(total));
        std::fflush(stdout);
    }

    double p2p = -1;
    double disk = 0;
    double p2p_io_busy = -1;
    Phases p2p_phases;
    CpuByThread p2p_cpu;
    {
        SeederParams params;
        params.task_id = kTask;
        params.piece_size = g_piece;
        params.sizes = sizes;
        params.client_id = 101;
        params.port = P2pSeeder::FreePort();
        P2pSeeder seeder(params);
        if (seeder.Start() && seeder.WaitReady(kWaitMs)) {
            FakeCisServer cis;
            PeerInfo peer{};
            peer.clientid = 101;
            peer.publicip = platform::parse_ipv4("127.0.0.1");
            peer.publicport = seeder.port();
            const DelayRelay relay(seeder.port());
            if (relay.asked() && relay.port() == 0) {
                std::fprintf(stderr, "the delaying relay did not start\n");
                seeder.Stop();
                return 1;
            }
            if (relay.port() != 0)
                peer.publicport = relay.port();
            peer.peertype = PEERTYPE_DIRECT;
            cis.SetTaskPeers(kTask, {peer}, {}, {});
            if (cis.Start()) {
                Downloader engine(&cis, std::string());
                // The disk's own rate, on the filesystem the engine writes to.
                if (!p2p_only) {
                    disk = PlainPwrite(total, engine.SaveFolder());
                    std::printf("%-34s %10.1f MB/s\n", "plain pwrite (same disk)", disk);
                    std::fflush(stdout);
                }
                const double seeder_before = PeakRssMiB(long(seeder.pid()));
                const bool reset = ResetPeakRss(long(seeder.pid()));
                p2p = engine.Download(fx, long(seeder.pid()));
                std::printf("%-34s %10.1f MiB (%s %.1f MiB before; downloading engine %.1f MiB)\n",
                            "seeder peak RSS while it served", PeakRssMiB(long(seeder.pid())),
                            reset ? "peak reset, was" : "not reset, peak", seeder_before, PeakRssMiB(0));
                p2p_io_busy = engine.IoBusy();
                p2p_cpu = engine.cpu();
                p2p_phases = engine.phases();
            }
            seeder.Stop();
        } else {
            std::fprintf(stderr, "the seeding engine did not start:\n%s\n", seeder.log().c_str());
        }
    }
    if (p2p > 0)
        std::printf("%-34s %10.1f MB/s  (%.1f s, %.0f %% of plain pwrite, I/O thread busy %s)\n",
                    "peer to peer (engine to engine)", MBps(total, p2p), p2p,
                    disk > 0 ? 100 * MBps(total, p2p) / disk : 0.0, Share(p2p_io_busy).c_str());
    else
        std::printf("%-34s %10s\n", "peer to peer (engine to engine)", "failed");
    p2p_phases.Print(disk);
    if (p2p > 0)
        p2p_cpu.Print(total, true);
    std::fflush(stdout);

    if (p2p_only)
        return p2p > 0 ? 0 : 1;
    double http = -1;
    double http_io_busy = -1;
    Phases http_phases;
    CpuByThread http_cpu;
    if (NginxServer::Available()) {
        NginxServer nginx(root.path());
        if (nginx.start() && nginx.SetCdnAnswer(kTask, fx.CdnAnswer(nginx.base_url()))) {
            Downloader engine(nullptr, nginx.cdn_query_prefix());
            http = engine.Download(fx);
            http_io_busy = engine.IoBusy();
            http_cpu = engine.cpu();
            http_phases = engine.phases();
        }
    }
    if (http > 0)
        std::printf("%-34s %10.1f MB/s  (%.1f s, I/O thread busy %s)\n", "HTTP/CDN (nginx to engine)",
                    MBps(total, http), http, Share(http_io_busy).c_str());
    else
        std::printf("%-34s %10s\n", "HTTP/CDN (nginx to engine)", "failed or no nginx");
    http_phases.Print(disk);
    if (http > 0)
        http_cpu.Print(total, false);
    return p2p > 0 ? 0 : 1;
}
