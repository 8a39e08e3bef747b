// What a crash costs: an engine process downloads a generated task from a
// local nginx (offline, HTTP peers from the CDN query) and is killed with
// SIGKILL at moments drawn from a seeded generator; each new process
// resumes from the ".bbm" file the last one left, as the launcher would.
// After the last kill a process runs to the end. Prints what nginx sent
// against the task's size (from its access log); per stop, the MiB whole
// on disk that the ".bbm" left out, and the ranges the next process asked
// for that start inside pieces the ".bbm" recorded (ranges of the stopped
// process that nginx logged late are not counted: the next start waits
// until its log is quiet). "stop" as the fifth argument stops each
// process gracefully (SIGTERM: the engine's Uninit) instead of SIGKILL.
//
// Usage: crash_refetch [MiB] [kills] [seed] [rate per connection, nginx units] [kill|stop]
#include "bbm_file.h"
#include "engine/client_main.h"
#include "engine/p2sp_engine.h"
#include "engine/p2sp_engine_impl.h"
#include "support/engine_test_env.h"
#include "support/nginx_server.h"
#include "support/task_fixture.h"

#include <csignal>
#include <pthread.h>
#include <fstream>
#include <iterator>
#include <thread>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

namespace {

constexpr std::uint64_t kTaskId = 515151;

// One engine process: resumes from the bitmap when there is one, else
// starts the task; exits 0 once the task is complete.
[[noreturn]] void RunEngineProcess(const test_support::EngineTestEnv& env, const test_support::TaskFixture& fx,
                                   const test_support::NginxServer& nginx)
{
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);   // taken by the thread below
    test_support::EngineCallbackLog log;
    IP2SP_Engine* engine = env.StartOfflineEngine(nginx.cdn_query_prefix(), log);
    if (!engine)
        ::_exit(3);
    const std::string save = env.file("games");
    const std::string bbm = env.file("appdata") + "/ZVK/" + std::to_string(kTaskId) + ".bbm";
    std::vector<std::uint8_t> bitmap;
    std::vector<std::vector<std::uint8_t>> tables;
    const bool resume = engine->ReadRecordFile(bbm.c_str(), bitmap, tables) == 0;
    const int added = resume ? engine->AddResumedTask(fx.SeedXml().c_str(), save.c_str(), bitmap, tables)
                             : engine->AddNewTask(fx.SeedXml().c_str(), save.c_str());
    // SIGTERM stops the engine the way a launcher's shutdown does.
    std::thread([term, engine] {
        int received = 0;
        sigwait(&term, &received);
        engine->Uninit();
        ::_exit(5);
    }).detach();
    ::_exit(added == 0 && log.WaitFor(CBE_TASK_COMPLETED, 3600000) ? 0 : 4);
}

// The ".bbm" against the file: MiB of pieces whole on disk it leaves out,
// and the pieces it records.
std::vector<bool> Recorded(const test_support::TaskFixture& fx, const std::string& bbm, const std::string& file,
                           double& left_out_mib)
{
    std::vector<std::uint8_t> bitmap;
    std::vector<std::vector<std::uint8_t>> tables;
    ReadBbm(bbm, bitmap, tables);
    std::ifstream in(file, std::ios::binary);
    const std::string disk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::string want = fx.Bytes(0, 0, fx.total_size());
    const std::size_t piece = fx.piece_size();
    std::vector<bool> recorded(fx.piece_count(), false);
    left_out_mib = 0;
    for (std::size_t p = 0; p < recorded.size(); ++p) {
        recorded[p] = p < bitmap.size() && bitmap[p] == 1;
        const bool whole = p * piece < disk.size() && disk.compare(p * piece, piece, want, p * piece, piece) == 0;
        left_out_mib += whole && !recorded[p] ? double(std::min(piece, want.size() - p * piece)) / 1048576.0 : 0;
    }
    return recorded;
}

std::uint64_t BytesSent(const test_support::NginxServer& nginx)
{
    std::uint64_t n = 0;
    for (const auto& served : nginx.AccessLog())
        n += served.range_start >= 0 ? served.bytes_sent : 0;
    return n;
}

}   // namespace

int main(int argc, char** argv)
{
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 96;
    const int kills = argc > 2 ? std::atoi(argv[2]) : 6;
    const unsigned seed = argc > 3 ? unsigned(std::strtoul(argv[3], nullptr, 10)) : 1;
    const std::string rate = argc > 4 ? argv[4] : "256k";
    const bool graceful = argc > 5 && std::strcmp(argv[5], "stop") == 0;

    test_support::EngineTestEnv env;
    test_support::TaskFixture fx(env.file("www"), kTaskId, 512 * 1024, {mib << 20}, "bench");
    test_support::NginxServer nginx(env.file("www"));
    nginx.SetRateLimit(rate);
    if (!fx.ok() || !nginx.start()) {
        std::fprintf(stderr, "cannot prepare the task or start nginx: %s\n", nginx.last_error().c_str());
        return 1;
    }
    nginx.SetCdnAnswer(kTaskId, fx.CdnAnswer(nginx.base_url()));

    const std::string file = env.file("games") + "/bench/data/" + fx.files()[0].file_name;
    const std::string bbm = env.file("appdata") + "/ZVK/" + std::to_string(kTaskId) + ".bbm";
    std::vector<bool> recorded;
    std::size_t logged = 0;   // access log lines of the processes before
    std::size_t refetch_ranges = 0;
    double left_out = 0;
    const auto count_refetches = [&] {
        const auto served = nginx.AccessLog();
        for (std::size_t i = logged; i < served.size(); ++i) {
            const std::size_t piece = std::size_t(served[i].range_start / std::int64_t(fx.piece_size()));
            refetch_ranges += served[i].range_start >= 0 && piece < recorded.size() && recorded[piece] ? 1 : 0;
        }
    };
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> delay_ms(4000, 14000);
    int killed = 0;
    int status = 0;
    for (;;) {
        const pid_t child = ::fork();
        if (child == 0)
            RunEngineProcess(env, fx, nginx);
        if (child < 0)
            return 1;
        if (killed < kills) {
            platform::sleep_ms(std::uint32_t(delay_ms(random)));
            if (::waitpid(child, &status, WNOHANG) == 0) {
                ::kill(child, graceful ? SIGTERM : SIGKILL);
                ::waitpid(child, &status, 0);
                ++killed;
                count_refetches();
                double mib_left_out = 0;
                recorded = Recorded(fx, bbm, file, mib_left_out);
                left_out += mib_left_out;
                // nginx logs a cut answer when it next writes: wait for it.
                for (std::size_t before = logged + 1; before != logged;) {
                    before = logged;
                    platform::sleep_ms(1500);
                    logged = nginx.AccessLog().size();
                }
                continue;
            }
        } else {
            ::waitpid(child, &status, 0);
        }
        break;
    }
    count_refetches();
    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                    test_support::TaskFixture::FileMd5(file) == fx.files()[0].md5;
    const std::uint64_t sent = BytesSent(nginx);
    std::printf("%llu MiB, %d kills (seed %u): nginx sent %llu bytes, %.3f times the task, %.1f MiB re-fetched "
                "per kill%s\n",
                static_cast<unsigned long long>(mib), killed, seed, static_cast<unsigned long long>(sent),
                double(sent) / double(fx.total_size()),
                killed ? (double(sent) - double(fx.total_size())) / double(killed) / 1048576.0 : 0.0,
                ok ? "" : "  WRONG RESULT");
    std::printf("%s: %.1f MiB whole on disk left out of the .bbm, %zu ranges asked again inside recorded pieces\n",
                graceful ? "graceful stops" : "kills", left_out, refetch_ranges);
    nginx.stop();
    return ok ? 0 : 2;
}
