// Downloads a generated single-file task (1 GiB by default) from a local
// nginx through the engine (offline, HTTP peers from the CDN query, every
// piece checked against its MD5 digest), and fetches the same file from the
// same server with `curl -o` and `aria2c -x10 -s10` in the same run.
// Prints seconds and MB/s of each.
//
// Usage: http_download [MiB] [piece KiB] [engine]   ("engine": skip curl and aria2c)
#include "offline_engine.h"
#include "platform/tick.h"
#include "thread_cpu.h"

// The nginx runner and the task generator of the tests.
#include "tests/support/nginx_server.cpp"
#include "tests/support/task_fixture.cpp"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

namespace {

constexpr std::uint64_t kTaskId = 424242;

struct Result {
    const char* tool;
    double seconds = -1;
    bool ok = false;
    double io_busy = -1;   // share of the transfer the engine's I/O thread was on a CPU
};

double Seconds(std::uint64_t start_ms)
{
    return double(platform::tick_count64() - start_ms) / 1000.0;
}

Result RunCommand(const char* tool, const std::string& command, const std::string& out_file, std::uint64_t size)
{
    Result r;
    r.tool = tool;
    const std::uint64_t start = platform::tick_count64();
    const int status = std::system(command.c_str());
    r.seconds = Seconds(start);
    std::error_code ec;
    r.ok = status == 0 && std::filesystem::file_size(out_file, ec) == size;
    std::filesystem::remove(out_file, ec);
    return r;
}

Result RunEngine(const test_support::TaskFixture& fx, const test_support::NginxServer& nginx, const std::string& dir,
                 std::string& file_md5)
{
    Result r;
    r.tool = "engine";
    IP2SP_Engine* engine = bench::StartOfflineEngine(dir, nginx.cdn_query_prefix());
    if (!engine)
        return r;
    const std::string save = dir + "/games";
    bench::awaited_task().store(fx.task_id());
    const std::uint64_t start = platform::tick_count64();
    const double io_before = bench::ThreadCpuSeconds("session_io");
    if (engine->AddNewTask(fx.SeedXml().c_str(), save.c_str()) == 0 && bench::task_done().wait(600000)) {
        r.seconds = Seconds(start);
        const double io_after = bench::ThreadCpuSeconds("session_io");
        if (io_before >= 0 && io_after >= io_before && r.seconds > 0)
            r.io_busy = (io_after - io_before) / r.seconds;
        file_md5 = test_support::TaskFixture::FileMd5(save + "/" + fx.srcdir() + "/data/" + fx.files()[0].file_name);
        r.ok = file_md5 == fx.files()[0].md5;
    }
    engine->StopTask(fx.task_id());
    platform::sleep_ms(500);
    DestroyP2SPEngine(engine);
    return r;
}

void Print(const Result& r, std::uint64_t size)
{
    if (r.seconds < 0) {
        std::printf("%-8s  failed\n", r.tool);
        return;
    }
    std::printf("%-8s %8.2f s %9.1f MB/s  %s", r.tool, r.seconds, double(size) / 1e6 / r.seconds,
                r.ok ? "ok" : "WRONG SIZE/DIGEST");
    if (r.io_busy >= 0)
        std::printf("  (I/O thread busy %.0f %%)", r.io_busy * 100);
    std::printf("\n");
}

}   // namespace

int main(int argc, char** argv)
{
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1024;
    const std::uint32_t piece = (argc > 2 ? std::uint32_t(std::strtoul(argv[2], nullptr, 10)) : 1024) * 1024;
    const std::uint64_t size = mib << 20;
    char pattern[] = "/tmp/vr_bench_http_XXXXXX";
    if (!::mkdtemp(pattern))
        return 1;
    const std::string dir = pattern;
    bench::IsolateEngine(dir);

    std::printf("generating a %llu MiB task (pieces of %u KiB)...\n", static_cast<unsigned long long>(mib),
                piece / 1024);
    test_support::TaskFixture fx(dir + "/www", kTaskId, piece, {size}, "bench");
    test_support::NginxServer nginx(dir + "/www");
    if (!fx.ok() || !nginx.start()) {
        std::fprintf(stderr, "cannot prepare the task or start nginx: %s\n", nginx.last_error().c_str());
        return 1;
    }
    nginx.SetCdnAnswer(kTaskId, fx.CdnAnswer(nginx.base_url()));
    const std::string url = nginx.base_url() + fx.files()[0].url_path;

    const bool engine_only = argc > 3 && std::strcmp(argv[3], "engine") == 0;
    Result curl{"curl"};
    Result aria{"aria2c"};
    if (!engine_only) {
        curl = RunCommand("curl", "curl -s -o " + dir + "/curl.bin " + url, dir + "/curl.bin", size);
        aria = RunCommand("aria2c",
                          "aria2c -q -x10 -s10 --file-allocation=none --allow-overwrite=true -d " + dir +
                              " -o aria.bin " + url,
                          dir + "/aria.bin", size);
    }
    std::string md5;
    const Result ours = RunEngine(fx, nginx, dir, md5);

    std::printf("\n%llu MiB from nginx on 127.0.0.1\n", static_cast<unsigned long long>(mib));
    Print(curl, size);
    Print(aria, size);
    Print(ours, size);
    nginx.stop();
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return ours.ok ? 0 : 2;
}
