// A task stopped and started again many times during its download: one
// engine downloads a generated task from a throttled local nginx (offline,
// HTTP peers from the CDN query) and the task is stopped a random moment
// after each start and started again on its stop event, resumed from its
// ".bbm" file as the launcher does. After the cycles it runs to the end;
// a round that makes no progress for the stall time is a stall. Prints per
// round the cycles run and the time to the end, and for a stall the pieces
// still missing, which of them are all zeros on disk and what nginx served
// of them. The engine's client log goes to the output folder when given.
//
// Usage: restart_cycles [rounds] [cycles] [seed] [rate per connection, nginx
//        units] [longest run per cycle, ms] [stall s] [MiB] [piece KiB]
//        [output folder] [resume|new|mixed: how each start is made]
#include "bbm_file.h"
#include "engine/client_main.h"
#include "engine/p2sp_engine.h"
#include "platform/tick.h"
#include "support/engine_test_env.h"
#include "support/nginx_server.h"
#include "support/task_fixture.h"
#include "support/temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kTaskId = 626262;

struct Options {
    int rounds = 4;
    int cycles = 200;
    unsigned seed = 1;
    std::string rate = "24k";
    int longest_run_ms = 400;
    int stall_s = 120;
    std::uint64_t mib = 9;
    std::uint32_t piece_kib = 1024;
    std::string output;
    std::string mode = "resume";   // resume: from the ".bbm" as the launcher; new: always afresh; mixed
};

struct RoundResult {
    int cycles = 0;
    bool completed = false;
    double seconds = 0;   // from the last start to the end
};

std::uint64_t VerifiedBytes(const test_support::EngineCallbackLog& log)
{
    test_support::EngineEvent e;
    return log.Last(0, e) && e.U64() == kTaskId ? e.U64(8) : 0;
}

// Starts the task as the launcher does: resumed from its bitmap when there
// is one, afresh otherwise.
int StartTask(IP2SP_Engine& engine, const test_support::TaskFixture& fx, const std::string& save,
              const std::string& bbm, bool resume)
{
    std::vector<std::uint8_t> bitmap;
    std::vector<std::vector<std::uint8_t>> tables;
    if (resume && engine.ReadRecordFile(bbm.c_str(), bitmap, tables) == 0)
        return engine.AddResumedTask(fx.SeedXml().c_str(), save.c_str(), bitmap, tables);
    return engine.AddNewTask(fx.SeedXml().c_str(), save.c_str());
}

void ReportStall(const test_support::TaskFixture& fx, const test_support::NginxServer& nginx, const std::string& file,
                 const std::string& bbm)
{
    std::vector<std::uint8_t> bitmap;
    std::vector<std::vector<std::uint8_t>> tables;
    ReadBbm(bbm, bitmap, tables);
    std::ifstream in(file, std::ios::binary);
    const std::uint32_t piece = fx.piece_size();
    std::vector<char> bytes(piece);
    for (std::uint32_t p = 0; p < fx.piece_count(); ++p) {
        in.clear();
        in.seekg(std::streamoff(p) * piece);
        in.read(bytes.data(), piece);
        const std::streamsize got = in.gcount();
        std::size_t zero_blocks = 0;
        const std::size_t blocks = (std::size_t(got) + 16383) / 16384;
        for (std::size_t b = 0; b < blocks; ++b) {
            bool zero = true;
            for (std::size_t i = b * 16384; i < std::min<std::size_t>(std::size_t(got), (b + 1) * 16384) && zero; ++i)
                zero = bytes[i] == 0;
            zero_blocks += zero ? 1 : 0;
        }
        const bool done = p < bitmap.size() && bitmap[p] != 0;
        if (done && zero_blocks == 0)
            continue;
        std::size_t marked = 0;
        if (p < tables.size())
            for (std::uint8_t t : tables[p])
                marked += t ? 1 : 0;
        std::printf("    piece %u: bitmap %d, %zu of %zu blocks marked written, %zu blocks all zeros on disk\n", p,
                    done ? 1 : 0, marked, blocks, zero_blocks);
        std::size_t asked = 0;
        for (const auto& served : nginx.AccessLog()) {
            if (served.range_start >= std::int64_t(p) * piece && served.range_start < std::int64_t(p + 1) * piece)
                ++asked;
        }
        std::printf("    nginx served %zu ranges starting in it\n", asked);
    }
}

RoundResult RunRound(const Options& o, int round, std::mt19937& random)
{
    RoundResult result;
    test_support::EngineTestEnv env;
    test_support::TempDir www;
    test_support::TaskFixture fx(www.path(), kTaskId, o.piece_kib * 1024, {o.mib << 20}, "cycles");
    test_support::NginxServer nginx(www.path());
    nginx.SetRateLimit(o.rate);
    if (!fx.ok() || !nginx.start()) {
        std::fprintf(stderr, "cannot prepare the task or start nginx: %s\n", nginx.last_error().c_str());
        std::exit(1);
    }
    nginx.SetCdnAnswer(kTaskId, fx.CdnAnswer(nginx.base_url()));

    // The client log of this round, in a folder of its own.
    std::unique_ptr<test_support::ScopedEnv> module;
    std::unique_ptr<test_support::ScopedEnv> marker;
    if (!o.output.empty()) {
        const std::string dir = o.output + "/round" + std::to_string(round);
        std::filesystem::create_directories(dir);
        std::filesystem::remove(dir + "/p2sp_client.log");
        std::ofstream(dir + "/dlllogout.log") << "";
        module = std::make_unique<test_support::ScopedEnv>("VR_MODULE_DIR", dir);
        marker = std::make_unique<test_support::ScopedEnv>("VR_CLIENT_LOG_MARKER", dir + "/dlllogout.log");
    }

    test_support::EngineCallbackLog log;
    IP2SP_Engine* engine = env.StartOfflineEngine(nginx.cdn_query_prefix(), log);
    if (!engine) {
        std::fprintf(stderr, "the engine does not start\n");
        std::exit(1);
    }
    const std::string save = env.file("games");
    const std::string bbm = env.file("appdata") + "/ZVK/" + std::to_string(kTaskId) + ".bbm";
    const std::string file = save + "/cycles/data/" + fx.files()[0].file_name;

    std::uniform_int_distribution<int> run_ms(0, o.longest_run_ms);
    for (int cycle = 1; cycle <= o.cycles && log.Count(9) == 0; ++cycle) {
        const bool resume = o.mode == "resume" || (o.mode == "mixed" && random() % 2 == 0);
        if (StartTask(*engine, fx, save, bbm, resume) != 0 || !log.WaitFor(13, 20000, std::size_t(cycle))) {
            std::printf("round %d: cycle %d does not start\n", round, cycle);
            break;
        }
        platform::sleep_ms(std::uint32_t(run_ms(random)));
        result.cycles = cycle;
        if (log.Count(9) != 0)
            break;
        if (engine->StopTask(kTaskId) != 0 || !log.WaitFor(11, 20000, std::size_t(cycle))) {
            std::printf("round %d: cycle %d does not stop\n", round, cycle);
            break;
        }
    }
    const std::uint32_t start = platform::tick_count();
    const std::uint64_t before = VerifiedBytes(log);
    if (log.Count(9) == 0 && log.Count(11) == std::size_t(result.cycles))
        StartTask(*engine, fx, save, bbm, o.mode != "new");
    // Runs while it makes progress; a stall ends the round.
    std::uint64_t last = VerifiedBytes(log);
    std::uint32_t moved = platform::tick_count();
    while (log.Count(9) == 0 && platform::tick_count() - moved < std::uint32_t(o.stall_s) * 1000) {
        platform::sleep_ms(100);
        const std::uint64_t now = VerifiedBytes(log);
        if (now != last) {
            last = now;
            moved = platform::tick_count();
        }
    }
    result.completed = log.Count(9) != 0 && test_support::TaskFixture::FileMd5(file) == fx.files()[0].md5;
    result.seconds = double(platform::tick_count() - start) / 1000.0;
    std::printf("round %d: %d cycles, %s after %.1f s (%llu of %llu bytes verified; %llu when the cycles ended)\n",
                round, result.cycles, result.completed ? "completed" : "STALLED", result.seconds,
                static_cast<unsigned long long>(last), static_cast<unsigned long long>(fx.total_size()),
                static_cast<unsigned long long>(before));
    if (!result.completed)
        ReportStall(fx, nginx, file, bbm);
    std::fflush(stdout);
    DestroyP2SPEngine(engine);
    nginx.stop();
    return result;
}

}   // namespace

int main(int argc, char** argv)
{
    Options o;
    if (argc > 1)
        o.rounds = std::atoi(argv[1]);
    if (argc > 2)
        o.cycles = std::atoi(argv[2]);
    if (argc > 3)
        o.seed = unsigned(std::strtoul(argv[3], nullptr, 10));
    if (argc > 4)
        o.rate = argv[4];
    if (argc > 5)
        o.longest_run_ms = std::atoi(argv[5]);
    if (argc > 6)
        o.stall_s = std::atoi(argv[6]);
    if (argc > 7)
        o.mib = std::strtoull(argv[7], nullptr, 10);
    if (argc > 8)
        o.piece_kib = std::uint32_t(std::strtoul(argv[8], nullptr, 10));
    if (argc > 9)
        o.output = argv[9];
    if (argc > 10)
        o.mode = argv[10];
    if (!test_support::NginxServer::Available()) {
        std::fprintf(stderr, "nginx is not installed\n");
        return 1;
    }
    std::mt19937 random(o.seed);
    int stalls = 0;
    for (int round = 1; round <= o.rounds; ++round)
        stalls += RunRound(o, round, random).completed ? 0 : 1;
    std::printf("%d of %d rounds stalled (%d cycles each, seed %u, %s per connection, runs of 0-%d ms, %s starts)\n",
                stalls, o.rounds, o.cycles, o.seed, o.rate.c_str(), o.longest_run_ms, o.mode.c_str());
    return stalls == 0 ? 0 : 2;
}
