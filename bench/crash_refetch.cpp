// What a crash costs: an engine process downloads a generated task from a
// local nginx (offline, HTTP peers from the CDN query) and is killed with
// SIGKILL at moments drawn from a seeded generator; each new process
// resumes from the ".bbm" file the last one left, as the launcher would.
// After the last kill a process runs to the end. Prints what nginx sent
// against the task's size (from its access log).
//
// Usage: crash_refetch [MiB] [kills] [seed] [rate per connection, nginx units]
#include "engine/client_main.h"
#include "engine/p2sp_engine.h"
#include "engine/p2sp_engine_impl.h"
#include "support/engine_test_env.h"
#include "support/nginx_server.h"
#include "support/task_fixture.h"

#include <csignal>
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
    ::_exit(added == 0 && log.WaitFor(CBE_TASK_COMPLETED, 3600000) ? 0 : 4);
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

    test_support::EngineTestEnv env;
    test_support::TaskFixture fx(env.file("www"), kTaskId, 512 * 1024, {mib << 20}, "bench");
    test_support::NginxServer nginx(env.file("www"));
    nginx.SetRateLimit(rate);
    if (!fx.ok() || !nginx.start()) {
        std::fprintf(stderr, "cannot prepare the task or start nginx: %s\n", nginx.last_error().c_str());
        return 1;
    }
    nginx.SetCdnAnswer(kTaskId, fx.CdnAnswer(nginx.base_url()));

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
                ::kill(child, SIGKILL);
                ::waitpid(child, &status, 0);
                ++killed;
                continue;
            }
        } else {
            ::waitpid(child, &status, 0);
        }
        break;
    }
    const std::string file = env.file("games") + "/bench/data/" + fx.files()[0].file_name;
    const bool ok = WIFEXITED(status) && WEXITSTATUS(status) == 0 &&
                    test_support::TaskFixture::FileMd5(file) == fx.files()[0].md5;
    const std::uint64_t sent = BytesSent(nginx);
    std::printf("%llu MiB, %d kills (seed %u): nginx sent %llu bytes, %.3f times the task, %.1f MiB re-fetched "
                "per kill%s\n",
                static_cast<unsigned long long>(mib), killed, seed, static_cast<unsigned long long>(sent),
                double(sent) / double(fx.total_size()),
                killed ? (double(sent) - double(fx.total_size())) / double(killed) / 1048576.0 : 0.0,
                ok ? "" : "  WRONG RESULT");
    nginx.stop();
    return ok ? 0 : 2;
}
