// A task whose only HTTP source is slow per connection: nginx limits every
// answer to 5000 bytes per second ("limit_rate 5000"), so the ten
// connections of a task's CDN thread together can fetch 50000 bytes per
// second at best. Downloads a generated 1 MiB task through the engine
// (offline, the HTTP peer from the CDN query, every piece checked against
// its MD5 digest) several times, each against a fresh nginx, and prints
// per run and as min/median/max: the seconds taken against that
// ten-connection floor (file size / 50000 B/s), the bytes nginx sent
// (its access log) against the file size, and the requests and
// connections it served.
//
// Usage: http_slow_source [runs] [piece KiB] [KiB] [cap seconds]
//        (defaults 3, 256, 1024, 150)
#include "offline_engine.h"
#include "platform/tick.h"

// The nginx runner and the task generator of the tests.
#include "tests/support/nginx_server.cpp"
#include "tests/support/task_fixture.cpp"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kTaskId = 515151;
constexpr std::uint32_t kRate = 5000;        // bytes per second per answer
constexpr std::uint32_t kConnections = 10;   // a task's CDN thread connections

struct Run {
    bool done = false;
    bool ok = false;
    double seconds = 0;
    double egress = 0;   // bytes nginx sent / file size
    std::size_t requests = 0;
    std::size_t connections = 0;
};

Run RunOnce(std::uint64_t size, std::uint32_t piece, std::uint32_t cap_s)
{
    Run r;
    char pattern[] = "/tmp/vr_bench_slow_XXXXXX";
    if (!::mkdtemp(pattern))
        return r;
    const std::string dir = pattern;
    bench::IsolateEngine(dir);
    {
        test_support::TaskFixture fx(dir + "/www", kTaskId, piece, {size}, "bench");
        test_support::NginxServer nginx(dir + "/www");
        nginx.SetRateLimit(std::to_string(kRate));
        if (!fx.ok() || !nginx.start()) {
            std::fprintf(stderr, "cannot prepare the task or start nginx: %s\n", nginx.last_error().c_str());
            std::exit(1);
        }
        nginx.SetCdnAnswer(kTaskId, fx.CdnAnswer(nginx.base_url()));
        IP2SP_Engine* engine = bench::StartOfflineEngine(dir, nginx.cdn_query_prefix());
        if (engine) {
            const std::string save = dir + "/games";
            bench::task_done().reset();
            bench::awaited_task().store(fx.task_id());
            const std::uint64_t start = platform::tick_count64();
            if (engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()) == 0 && bench::task_done().wait(cap_s * 1000)) {
                r.done = true;
                r.seconds = double(platform::tick_count64() - start) / 1000.0;
                const std::string md5 =
                    test_support::TaskFixture::FileMd5(save + "/" + fx.srcdir() + "/data/" + fx.files()[0].file_name);
                r.ok = md5 == fx.files()[0].md5;
            } else {
                r.seconds = double(platform::tick_count64() - start) / 1000.0;
            }
            engine->StopTask(fx.task_id());
            platform::sleep_ms(500);
            DestroyP2SPEngine(engine);
        }
        nginx.stop();
        std::uint64_t sent = 0;
        std::set<std::uint64_t> connections;
        for (const auto& served : nginx.AccessLog()) {
            if (served.uri.find("cdnquery") != std::string::npos)
                continue;
            sent += served.bytes_sent;
            ++r.requests;
            connections.insert(served.connection);
        }
        r.connections = connections.size();
        r.egress = double(sent) / double(size);
    }
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return r;
}

void Spread(const char* what, std::vector<double> values, const char* unit)
{
    std::sort(values.begin(), values.end());
    std::printf("%-22s min %7.2f  median %7.2f  max %7.2f %s\n", what, values.front(), values[values.size() / 2],
                values.back(), unit);
}

}   // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 3;
    const std::uint32_t piece = (argc > 2 ? std::uint32_t(std::strtoul(argv[2], nullptr, 10)) : 256) * 1024;
    const std::uint64_t size = (argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1024) * 1024;
    const std::uint32_t cap = argc > 4 ? std::uint32_t(std::strtoul(argv[4], nullptr, 10)) : 150;
    const double floor = double(size) / double(kConnections * kRate);
    std::printf("%llu KiB task, pieces of %u KiB, one nginx source at %u B/s per answer; floor %.1f s\n",
                static_cast<unsigned long long>(size / 1024), piece / 1024, kRate, floor);
    std::vector<double> seconds, ratio, egress, requests, connections;
    bool all_ok = true;
    for (int i = 0; i < runs; ++i) {
        const Run r = RunOnce(size, piece, cap);
        std::printf("run %d: %s %7.2f s (%.2f x floor), egress %.2f x file, %zu requests, %zu connections\n", i + 1,
                    r.done ? (r.ok ? "done" : "WRONG DIGEST") : "NOT DONE after", r.seconds, r.seconds / floor,
                    r.egress, r.requests, r.connections);
        all_ok = all_ok && r.done && r.ok;
        seconds.push_back(r.seconds);
        ratio.push_back(r.seconds / floor);
        egress.push_back(r.egress);
        requests.push_back(double(r.requests));
        connections.push_back(double(r.connections));
    }
    Spread("seconds", seconds, "s");
    Spread("time / floor", ratio, "x");
    Spread("egress / file", egress, "x");
    Spread("requests", requests, "");
    Spread("connections", connections, "");
    return all_ok ? 0 : 2;
}
