// Download times of one task from a fast nginx origin with awkward peers
// beside it, each set against the origin alone in the same run:
//
//   swarm_edges MODE [ROUNDS [RATE]]
//
//   slow_seed   8 MiB; a seed behind a 128 KB/s relay
//               and one co-downloader fetching from it
//   drip        16.8 MB; a seed behind a 4 KB/s relay
//   slow_seed_only  as slow_seed without the co-downloader
//   crowd       16.8 MB; 64 peers holding nothing dial the downloader at
//               once, each ended one replaced by a new one with a new
//               client id
//   stall       16.8 MB; a seed whose relay passes
//               256 KiB and then nothing more, the connection left open
//
// (default 3 rounds; RATE: nginx's limit_rate per connection, e.g. "1m",
// default none: unlimited, nginx on loopback ends 8 MiB within a few tens
// of milliseconds, before any peer is even named to the engine). Each round downloads the task once from the origin
// alone (the engine is told of no peer) and once with the peers, each time
// with a new downloading engine; then min/median/max of both and of their
// ratio per round. Seeds and the co-downloader are engines in processes of
// their own (this program started again), as in the peer-to-peer tests.
// Each run also prints the bytes by source from the engine's final report
// (peers / directly connectable peers / HTTP) and the bytes nginx sent.
#include "engine/client_main.h"
#include "engine/engine_flags.h"
#include "engine/engine_settings.h"
#include "engine/p2sp_engine.h"
#include "engine/p2sp_engine_impl.h"
#include "engine/task_state_mgr.h"
#include "discovery/nat_protocol.h"
#include "foundation/cmd_packet.h"
#include "net/conn/peer_wire.h"
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
#include "tests/engine/throttled_relay.h"
#include "end_engine.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

using namespace test_support;

namespace {

constexpr std::uint64_t kTask = 9501;
constexpr std::uint32_t kPiece = 262144;
constexpr std::uint32_t kWaitMs = 600000;   // the longest one download may take
constexpr std::size_t kCrowd = 64;          // dial-ins open at once

PeerInfo Peer(std::uint64_t client_id, std::uint16_t port)
{
    PeerInfo p{};
    p.clientid = client_id;
    p.publicip = platform::parse_ipv4("127.0.0.1");
    p.publicport = port;
    p.peertype = PEERTYPE_SP;
    return p;
}

// Peers that dial the downloader and hold nothing, each with a client id
// never seen before: `width` connections at once, each one the engine ends
// replaced by a new dialler, until the crowd is destroyed.
class DialInCrowd {
public:
    DialInCrowd(std::uint16_t port, std::size_t width) : m_port(port), m_width(width)
    {
        m_thread.start([this] { Run(); });
    }
    ~DialInCrowd()
    {
        m_stop = true;
        m_thread.join_for(30000);
    }
    DialInCrowd(const DialInCrowd&) = delete;
    DialInCrowd& operator=(const DialInCrowd&) = delete;
    int dialled() const { return m_dialled.load(); }
    int greeted() const { return m_greeted.load(); }
    int ended() const { return m_ended.load(); }

private:
    void Run()
    {
        std::vector<platform::socket_t> open;
        std::vector<std::uint8_t> buffer(65536);
        while (!m_stop) {
            if (open.size() < m_width) {
                const platform::socket_t s = Dial();
                if (s != platform::invalid_socket)
                    open.push_back(s);
                continue;
            }
            std::vector<char> ready_flags(open.size());
            bool* ready = reinterpret_cast<bool*>(ready_flags.data());
            if (platform::wait_any_readable(open.data(), open.size(), 50, ready) <= 0)
                continue;
            for (std::size_t i = open.size(); i-- > 0;) {
                std::uint32_t error = 0;
                if (ready[i] && platform::receive_some(open[i], buffer.data(), buffer.size(), error) <= 0) {
                    platform::close_socket(open[i]);
                    open.erase(open.begin() + std::ptrdiff_t(i));
                    ++m_ended;
                }
            }
        }
        for (platform::socket_t s : open)
            platform::close_socket(s);
    }
    // One dial-in: the NAT greeting, its answer, the peer handshake.
    platform::socket_t Dial()
    {
        platform::socket_t s = platform::tcp_socket();
        ++m_dialled;
        const std::uint64_t id = m_next_id++;
        discovery::NatMessage hello;
        hello.command = discovery::NAT_HANDSHAKE;
        hello.task_id = kTask;
        hello.kind = discovery::kNatDirect;
        hello.peer = Peer(id, 1);
        hello.peer.peertype = PEERTYPE_DIRECT;
        peer_wire::Handshake shake;
        shake.task_id = kTask;
        shake.sender.clientid = id;
        shake.sender.listen_port = 1;
        shake.sender.peertype = PEERTYPE_DIRECT;
        shake.piece_size = kPiece;
        std::vector<std::uint8_t> handshake;
        peer_wire::build_handshake(shake, handshake);
        if (platform::connect_ipv4(s, platform::parse_ipv4("127.0.0.1"), m_port) != 0 ||
            !Send(s, discovery::EncodeNatMessage(hello)) || !ReadPacket(s) || !Send(s, handshake)) {
            platform::close_socket(s);
            platform::sleep_ms(10);
            return platform::invalid_socket;
        }
        ++m_greeted;
        return s;
    }
    static bool Send(platform::socket_t s, const std::vector<std::uint8_t>& b)
    {
        std::size_t done = 0;
        for (int waits = 0; done < b.size() && waits < 40; ++waits) {
            if (platform::wait_writable(s, 50) != 1)
                continue;
            std::uint32_t error = 0;
            const long n = platform::send_some(s, b.data() + done, b.size() - done, error);
            if (n <= 0)
                return false;
            done += std::size_t(n);
        }
        return done == b.size();
    }
    // One length-prefixed packet, its bytes dropped; within 2 s.
    static bool ReadPacket(platform::socket_t s)
    {
        std::uint8_t p[4096];
        std::size_t got = 0, want = 4;
        for (int waits = 0; got < want && waits < 40;) {
            if (platform::wait_readable(s, 50) != 1) {
                ++waits;
                continue;
            }
            std::uint32_t error = 0;
            const long n = platform::receive_some(s, p + got, std::min(want, sizeof(p)) - got, error);
            if (n <= 0)
                return false;
            got += std::size_t(n);
            if (want == 4 && got >= 4) {
                want = 4 + std::size_t(cmd_packet::load_u32(p));
                if (want > sizeof(p))
                    return false;
            }
        }
        return got == want;
    }

    const std::uint16_t m_port;
    const std::size_t m_width;
    std::uint64_t m_next_id = 700000;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_dialled{0}, m_greeted{0}, m_ended{0};
    platform::Thread m_thread;
};

SeederParams Params(const std::vector<std::uint64_t>& sizes, std::uint64_t client_id)
{
    SeederParams params;
    params.task_id = kTask;
    params.piece_size = kPiece;
    params.sizes = sizes;
    params.client_id = client_id;
    params.port = P2pSeeder::FreePort();
    return params;
}

struct Outcome {
    double seconds = -1;   // < 0: failed
    FakeCisServer::Report report;
    std::uint64_t origin_bytes = 0;   // body bytes nginx sent for the task
    std::size_t peer_asks = 0;        // peer-list requests the CIS received
};

// One download of the task by a new engine (client 201) that the CIS tells
// of `peers` and whose CDN query names `nginx`.
Outcome Download(const TaskFixture& fx, NginxServer& nginx, const std::vector<PeerInfo>& peers,
                 const std::function<void()>& before = nullptr, std::uint16_t listen_port = 0)
{
    Outcome out;
    FakeCisServer cis;
    cis.SetTaskPeers(kTask, peers, {}, {});
    if (!cis.Start())
        return out;
    FakeRisServer ris;
    FakeRisServer::Answer answer;
    answer.clientid = 201;
    answer.peertype = PEERTYPE_DIRECT;   // dials the peers named to it
    answer.publicip = 0x7f000001;
    answer.cis = {cis.address()};
    ris.SetAnswer(answer);
    if (!ris.Start())
        return out;
    std::uint64_t origin_before = 0;
    for (const auto& served : nginx.AccessLog())
        origin_before += served.uri.find("cdnquery") == std::string::npos ? served.bytes_sent : 0;
    EngineTestEnv env(ris.address());
    EngineCallbackLog log;
    IP2SP_Engine* engine = CreateP2SPEngine();
    static_cast<CP2SP_EngineImpl*>(engine)->SetClientSetup(&NoUpnp);
    engine->SetConfigValue("only_cdn_by_id", nginx.cdn_query_prefix());
    engine->SetConfigValue("limit_use_p2p_size", "0");
    EngineInitBlock block{};
    std::strncpy(block.data_folder, env.file("data").c_str(), sizeof(block.data_folder) - 1);
    std::strncpy(block.bitmap_folder, env.file("launcher").c_str(), sizeof(block.bitmap_folder) - 1);
    block.listen_port = listen_port;
    const std::string save = env.file("games");
    bool started = false;
    if (engine->Init(&block, &EngineCallbackLog::Callback, &log) == 0 && log.WaitFor(4, 10000, 1)) {
        if (before)
            before();
        const auto start = std::chrono::steady_clock::now();
        if (engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()) == 0) {
            if (log.WaitFor(9, kWaitMs)) {
                out.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
                for (const auto& file : fx.files()) {
                    if (TaskFixture::FileMd5(save + "/" + fx.srcdir() + "/data/" + file.file_name) != file.md5)
                        out.seconds = -1;
                }
                wait_until(
                    [&] {
                        for (const FakeCisServer::Report& r : cis.reports()) {
                            if (r.task_id == kTask && r.type == 0) {
                                out.report = r;
                                return true;
                            }
                        }
                        return false;
                    },
                    10000);
            }
            out.peer_asks = cis.peer_requests().size();
            started = true;
        }
    }
    EndEngine(engine, log, kTask, started);
    for (const auto& served : nginx.AccessLog())
        out.origin_bytes += served.uri.find("cdnquery") == std::string::npos ? served.bytes_sent : 0;
    out.origin_bytes -= std::min(out.origin_bytes, origin_before);
    return out;
}

void PrintRun(const char* what, const Outcome& o)
{
    std::printf(
        "  %-10s %7.2f s  (report: peers %u, direct peers %u, HTTP %u; nginx sent %llu; peer lists asked %zu)\n", what,
        o.seconds, o.report.a, o.report.b, o.report.c, static_cast<unsigned long long>(o.origin_bytes), o.peer_asks);
    std::fflush(stdout);
}

void PrintSpread(const char* what, std::vector<double> v, const char* unit)
{
    if (v.empty())
        return;
    std::sort(v.begin(), v.end());
    std::printf("%-22s min %.2f / median %.2f / max %.2f%s\n", what, v.front(), v[v.size() / 2], v.back(), unit);
}

}   // namespace

int main(int argc, char** argv)
{
    // Started again as a seeding engine or the co-downloader.
    if (std::getenv(P2pSeeder::kEnvDir))
        return P2pSeeder::RunChild(&NoUpnp);
    const std::string mode = argc > 1 ? argv[1] : "";
    const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    const std::string origin_rate = argc > 3 ? argv[3] : "";
    if (mode != "slow_seed" && mode != "drip" && mode != "stall" && mode != "crowd" && mode != "slow_seed_only") {
        std::fprintf(stderr, "usage: %s slow_seed|slow_seed_only|drip|stall|crowd [ROUNDS [RATE]]\n", argv[0]);
        return 2;
    }
    if (!NginxServer::Available()) {
        std::fprintf(stderr, "nginx is not installed\n");
        return 1;
    }
    const std::vector<std::uint64_t> sizes = {mode.rfind("slow_seed", 0) == 0 ? 8ull * 1048576 : 16800000ull};
    TempDir root;
    TaskFixture fx(root.path(), kTask, kPiece, sizes);
    NginxServer nginx(root.path());
    if (!origin_rate.empty())
        nginx.SetRateLimit(origin_rate);
    if (!fx.ok() || !nginx.start() || !nginx.SetCdnAnswer(kTask, fx.CdnAnswer(nginx.base_url()))) {
        std::fprintf(stderr, "no task files or no nginx: %s\n", nginx.last_error().c_str());
        return 1;
    }
    P2pSeeder seed(Params(sizes, 101));
    if (!seed.Start() || !seed.WaitReady(kWaitMs)) {
        std::fprintf(stderr, "the seed did not start:\n%s\n", seed.log().c_str());
        return 1;
    }
    std::printf("%s: %llu bytes, pieces of %u bytes, %d rounds, origin limit_rate %s\n", mode.c_str(),
                static_cast<unsigned long long>(fx.total_size()), kPiece, rounds,
                origin_rate.empty() ? "none" : origin_rate.c_str());
    std::vector<double> alone, beside, ratio;
    for (int round = 0; round < rounds; ++round) {
        std::printf("round %d\n", round + 1);
        const Outcome reference = Download(fx, nginx, {});
        PrintRun("origin", reference);
        Outcome with;
        if (mode == "slow_seed") {
            ThrottledRelay uplink(seed.port(), 131072);
            SeederParams params = Params(sizes, 102);
            params.download = true;
            params.seed_id = 101;
            params.seed_port = uplink.port();
            P2pSeeder other(params);
            if (!other.Start() || !other.WaitReady(kWaitMs)) {
                std::fprintf(stderr, "the co-downloader did not start:\n%s\n", other.log().c_str());
                return 1;
            }
            with = Download(fx, nginx, {Peer(101, uplink.port()), Peer(102, other.port())}, [&] { other.Go(); });
            PrintRun("with peers", with);
            std::printf("  %-10s seed sent %llu bytes through its relay\n", "",
                        static_cast<unsigned long long>(uplink.passed()));
            other.Stop();
        } else if (mode == "crowd") {
            const std::uint16_t listen = P2pSeeder::FreePort();
            std::unique_ptr<DialInCrowd> crowd;
            with = Download(
                fx, nginx, {}, [&] { crowd = std::make_unique<DialInCrowd>(listen, kCrowd); }, listen);
            PrintRun(mode.c_str(), with);
            if (crowd)
                std::printf("  %-10s %d dial-ins, %d greeted, %d ended by the engine\n", "", crowd->dialled(),
                            crowd->greeted(), crowd->ended());
        } else {
            const std::uint32_t rate = mode == "drip" ? 4096 : mode == "stall" ? 1u << 30 : 131072;
            ThrottledRelay uplink(seed.port(), rate, mode == "stall" ? 262144 : ~0ull);
            with = Download(fx, nginx, {Peer(101, uplink.port())});
            PrintRun(mode.c_str(), with);
            std::printf("  %-10s seed sent %llu bytes through its relay\n", "",
                        static_cast<unsigned long long>(uplink.passed()));
        }
        if (reference.seconds <= 0 || with.seconds <= 0) {
            std::printf("  failed\n");
            continue;
        }
        alone.push_back(reference.seconds);
        beside.push_back(with.seconds);
        ratio.push_back(with.seconds / reference.seconds);
    }
    seed.Stop();
    PrintSpread("origin alone", alone, " s");
    PrintSpread(mode == "slow_seed" ? "with peers" : mode.c_str(), beside, " s");
    PrintSpread("ratio", ratio, "");
    return int(ratio.size()) == rounds ? 0 : 1;
}
