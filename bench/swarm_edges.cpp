// Download times of one task from a fast nginx origin with awkward peers
// beside it, each set against the origin alone in the same run:
//
//   swarm_edges MODE [ROUNDS [RATE]]
//
//   slow_seed   8 MiB; a seed behind a 128 KB/s relay
//               and one co-downloader fetching from it
//   drip        16.8 MB; a seed behind a 4 KB/s relay
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

PeerInfo Peer(std::uint64_t client_id, std::uint16_t port)
{
    PeerInfo p{};
    p.clientid = client_id;
    p.publicip = platform::parse_ipv4("127.0.0.1");
    p.publicport = port;
    p.peertype = PEERTYPE_SP;
    return p;
}

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
                 const std::function<void()>& before = nullptr)
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
    if (mode != "slow_seed" && mode != "drip" && mode != "stall") {
        std::fprintf(stderr, "usage: %s slow_seed|drip|stall [ROUNDS [RATE]]\n", argv[0]);
        return 2;
    }
    if (!NginxServer::Available()) {
        std::fprintf(stderr, "nginx is not installed\n");
        return 1;
    }
    const std::vector<std::uint64_t> sizes = {mode == "slow_seed" ? 8ull * 1048576 : 16800000ull};
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
        } else {
            ThrottledRelay uplink(seed.port(), mode == "drip" ? 4096 : 1u << 30, mode == "drip" ? ~0ull : 262144);
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
