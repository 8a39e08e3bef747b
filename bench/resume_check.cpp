// What resuming a big task costs the other downloads of the process: an
// engine downloads a small "witness" task from a paced local server
// (offline, HTTP peers from nginx's CDN query; every block a piece of its
// own, written as it arrives) while a big task whose ".bbm" claims most
// of its pieces is resumed beside it and re-checks them against its files.
// Prints, per round, the witness's longest pause between two block writes
// from the resume on (and, for reference, in as long a time just before
// it), how long the big task took to ask for its first missing piece (its
// check then is over), how long a shutdown 200 ms into such a check takes,
// and min/median/max over the rounds.
//
// Usage: resume_check [MiB of the big task] [rounds] [percent claimed]
//
// `resume_check check FOLDER [MiB] [piece KiB] [rounds]` times the re-check
// alone, as the engine runs it (the storage's hash workers beside it), of
// a one-file task whose ".bbm" claims every piece, one of them spoilt on
// disk: the file is made in FOLDER on the first call and kept, so that a
// whole-process timer sees the check's time and peak memory, not the
// making of the file.
#include "discovery/server_list.h"
#include "engine/channel_manager.h"
#include "engine/engine_flags.h"
#include "engine/p2sp_engine.h"
#include "engine/p2sp_engine_impl.h"
#include "engine/piece_hash_worker.h"
#include "foundation/md5.h"
#include "engine/task_state_mgr.h"
#include "net/io/transfer_limits.h"
#include "picker/block_request.h"
#include "platform/write_at.h"
#include "support/engine_test_env.h"
#include "support/nginx_server.h"
#include "support/range_server.h"
#include "support/task_fixture.h"
#include "support/write_gaps.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::uint64_t kWitnessId = 727201;
constexpr std::uint64_t kBigId = 727202;
constexpr std::uint32_t kBigPiece = 1048576;

std::int64_t NowUs()
{
    return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool WaitFor(const std::function<bool()>& done, int ms)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

void Summary(const char* what, std::vector<double> v)
{
    if (v.empty())
        return;
    std::sort(v.begin(), v.end());
    std::printf("%s: min %.1f median %.1f max %.1f\n", what, v.front(), v[v.size() / 2], v.back());
}

// The re-check's owner as the storage manager is: hashes go to its workers.
struct CheckOwner : IChannelManagerEvent {
    PieceHashWorker hasher;
    std::vector<std::uint8_t> bitmap;
    void OnChannelAdded(std::uint64_t, const std::vector<std::uint8_t>& b,
                        const std::vector<std::vector<std::uint8_t>>&, const std::vector<std::uint32_t>&) override
    {
        bitmap = b;
    }
    void SetPiece(std::uint64_t, std::uint32_t, std::uint8_t) override {}
    void PostHash(const std::shared_ptr<PieceHash>& hash) override { hasher.Post(hash); }
};

int CheckOnly(int argc, char** argv)
{
    const std::string folder = argc > 2 ? argv[2] : "/tmp/resume_check";
    const std::uint64_t size = (argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 1024) << 20;
    const std::uint32_t piece = std::uint32_t(argc > 4 ? std::strtoul(argv[4], nullptr, 10) : 1024) << 10;
    const int rounds = argc > 5 ? std::atoi(argv[5]) : 1;
    const std::uint64_t pieces = (size + piece - 1) / piece;
    const std::string path = folder + "/data/big.bin";
    const std::string list_path = folder + "/list.xml";
    std::error_code ec;
    if (!std::filesystem::exists(list_path) || std::filesystem::file_size(path, ec) != size) {
        std::filesystem::create_directories(folder + "/data");
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        std::string digests;
        std::vector<char> bytes(piece);
        std::uint32_t x = 12345;
        for (std::uint64_t p = 0; p < pieces; ++p) {
            const std::size_t n = std::size_t(std::min<std::uint64_t>(piece, size - p * piece));
            for (std::size_t i = 0; i < n; ++i) {
                x = x * 1103515245u + 12345u;
                bytes[i] = char(x >> 16);
            }
            digests += md5_hex(bytes.data(), n, true);
            if (p == pieces / 2)
                bytes[n / 2] ^= 1;   // the spoilt piece
            out.write(bytes.data(), std::streamsize(n));
        }
        std::ofstream list(list_path, std::ios::binary | std::ios::trunc);
        list << "<filelist><file><fileindex>0</fileindex><filemd5>" << std::string(32, '0')
             << "</filemd5><filename>big.bin</filename><filesize>" << size << "</filesize><fileblock_md5len>"
             << digests.size() << "</fileblock_md5len><fileblock_md5>" << digests
             << "</fileblock_md5></file></filelist>";
    }
    std::ifstream in(list_path, std::ios::binary);
    const std::string list((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    const std::vector<std::uint8_t> claimed(pieces, 1);
    std::vector<std::vector<std::uint8_t>> tables;
    for (std::uint64_t p = 0; p < pieces; ++p)
        tables.emplace_back((std::min<std::uint64_t>(piece, size - p * piece) + kBlockSize - 1) / kBlockSize, 1);
    std::vector<double> times;
    for (int round = 0; round < rounds; ++round) {
        CheckOwner owner;
        CChannelManager manager(folder + "/unused");
        manager.SetOwner(&owner);
        if (!manager.AddChannel(1, std::int32_t(piece), "g", 1, list, claimed, tables, folder + "/data", 0))
            return 2;
        const std::int64_t start = NowUs();
        if (!manager.PrepareChannelFiles(1))
            return 3;
        times.push_back(double(NowUs() - start) / 1000.0);
        const auto good = std::count(owner.bitmap.begin(), owner.bitmap.end(), std::uint8_t(1));
        std::printf("round %d: %llu pieces of %u KiB re-checked in %.1f ms, %lld verified\n", round,
                    static_cast<unsigned long long>(pieces), piece >> 10, times.back(), static_cast<long long>(good));
        if (std::uint64_t(good) + 1 != pieces)
            return 4;
    }
    Summary("re-check (ms)", times);
    return 0;
}

}   // namespace

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "check") == 0)
        return CheckOnly(argc, argv);
    const std::uint64_t mib = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 2048;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 3;
    const unsigned percent = argc > 3 ? unsigned(std::strtoul(argv[3], nullptr, 10)) : 63;

    test_support::EngineTestEnv env;
    test_support::TaskFixture witness(env.file("www"), kWitnessId, kBlockSize, {128u << 20}, "witness");
    test_support::TaskFixture big(env.file("www"), kBigId, kBigPiece, {mib << 20}, "big");
    test_support::NginxServer nginx(env.file("www"));
    // The witness's server sends a tenth of a second's bytes at a time
    // (nginx's rate limit sends on whole seconds, pausing every download).
    test_support::RangeServer witness_server;
    for (std::size_t i = 0; i < witness.files().size(); ++i)
        witness_server.AddFile(witness.files()[i].url_path, witness.Bytes(i, 0, witness.files()[i].size));
    test_support::RangeServer::Behaviour paced;
    paced.rate = 768 * 1024;
    witness_server.SetBehaviour(paced);
    if (!witness.ok() || !big.ok() || !nginx.start() || !witness_server.Start()) {
        std::fprintf(stderr, "cannot prepare the tasks or start the servers: %s\n", nginx.last_error().c_str());
        return 1;
    }
    nginx.SetCdnAnswer(kWitnessId, witness.CdnAnswer(witness_server.base_url()));
    nginx.SetCdnAnswer(kBigId, big.CdnAnswer(nginx.base_url()));
    // Where the big task resumes: the pieces it claims are on disk, the
    // rest are holes.
    const std::string big_save = env.file("big");
    std::vector<std::uint8_t> bitmap(big.piece_count(), 0);
    const std::size_t claimed = bitmap.size() * percent / 100;
    for (std::size_t p = 0; p < claimed; ++p)
        bitmap[p] = 1;
    const std::string big_file = big_save + "/big/data/" + big.files()[0].file_name;
    {
        const std::string folder = big_save + "/big/data";
        std::filesystem::create_directories(folder);
        std::ifstream in(big.files()[0].path, std::ios::binary);
        std::ofstream out(folder + "/" + big.files()[0].file_name, std::ios::binary);
        std::vector<char> chunk(kBigPiece);
        for (std::size_t p = 0; p < claimed && in.read(chunk.data(), std::streamsize(chunk.size())); ++p)
            out.write(chunk.data(), in.gcount());
        out.close();
        std::filesystem::resize_file(folder + "/" + big.files()[0].file_name, big.files()[0].size);
    }
    std::vector<std::vector<std::uint8_t>> tables;
    for (std::uint8_t b : bitmap)
        tables.emplace_back(kBigPiece / kBlockSize, b);
    platform::set_write_at_source(&test_support::WriteGaps::Write);

    std::vector<double> gaps;
    std::vector<double> alone;
    std::vector<double> checks;
    std::vector<double> shutdowns;
    int engines = 0;
    const auto start_engine = [&](test_support::EngineCallbackLog& log) -> IP2SP_Engine* {
        IP2SP_Engine* engine = CreateP2SPEngine();
        static_cast<CP2SP_EngineImpl*>(engine)->SetClientSetup(&test_support::NoUpnp);
        engine->SetConfigValue("only_cdn_by_id", nginx.cdn_query_prefix());
        EngineInitBlock block{};
        const std::string data = env.file("data" + std::to_string(engines++));
        std::strncpy(block.data_folder, data.c_str(), sizeof(block.data_folder) - 1);
        std::strncpy(block.bitmap_folder, env.file("launcher").c_str(), sizeof(block.bitmap_folder) - 1);
        if (engine->Init(&block, &test_support::EngineCallbackLog::Callback, &log) == 0 && log.WaitFor(4, 10000, 2))
            return engine;
        DestroyP2SPEngine(engine);
        return nullptr;
    };
    const auto stop_engine = [](IP2SP_Engine* engine) {
        engine->Uninit();
        DestroyP2SPEngine(engine);
        // The next engine of this process starts from nothing: the shutdown
        // marked its tasks removed.
        CTaskStateMgr::Instance().Clear();
        CServerList::Instance().Clear();
        engine_flags::reset();
        transfer_limits::reset();
    };
    const auto make_holes = [&] {
        // What the last engine fetched is a hole again.
        std::filesystem::resize_file(big_file, std::uint64_t(claimed) * kBigPiece);
        std::filesystem::resize_file(big_file, big.files()[0].size);
    };
    for (int round = 0; round < rounds; ++round) {
        test_support::EngineCallbackLog log;
        IP2SP_Engine* engine = start_engine(log);
        if (!engine)
            return 3;
        const std::string save = env.file("games" + std::to_string(round));
        test_support::WriteGaps::writes.store(0);
        if (engine->AddNewTask(witness.SeedXml().c_str(), save.c_str()) != 0 ||
            !WaitFor([] { return test_support::WriteGaps::writes.load() >= 50; }, 30000)) {
            std::fprintf(stderr, "the witness does not download\n");
            return 4;
        }
        make_holes();
        const std::size_t asked_before = nginx.CountAccessLog("/big/data/");
        // The witness alone first, as long as a check takes: its own pauses.
        test_support::WriteGaps::Watch();
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const double alone_ms = double(test_support::WriteGaps::longest_us.load()) / 1000.0;
        test_support::WriteGaps::Watch();
        const std::int64_t start = NowUs();
        if (engine->AddResumedTask(big.SeedXml().c_str(), big_save.c_str(), bitmap, tables) != 0)
            return 5;
        const bool asked = WaitFor([&] { return nginx.CountAccessLog("/big/data/") > asked_before; }, 120000);
        const double check_ms = double(NowUs() - start) / 1000.0;
        // A little longer, so that a pause at the hand-over is seen too.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        test_support::WriteGaps::Unwatch();
        const double gap_ms = double(test_support::WriteGaps::longest_us.load()) / 1000.0;
        bool witness_done = false;
        for (const test_support::EngineEvent& e : log.Events())
            witness_done = witness_done || (e.code == CBE_TASK_COMPLETED && e.U64() == kWitnessId);
        std::printf("round %d: witness longest gap %.1f ms (alone before: %.1f ms), big task asked after %.1f ms%s%s\n",
                    round, gap_ms, alone_ms, check_ms, asked ? "" : " (never asked)",
                    witness_done ? " (witness ended early)" : "");
        std::fflush(stdout);
        gaps.push_back(gap_ms);
        alone.push_back(alone_ms);
        checks.push_back(check_ms);
        stop_engine(engine);

        // A shutdown while the big task's check is under way.
        make_holes();
        test_support::EngineCallbackLog quick_log;
        engine = start_engine(quick_log);
        if (!engine || engine->AddResumedTask(big.SeedXml().c_str(), big_save.c_str(), bitmap, tables) != 0)
            return 6;
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        const std::int64_t stop_start = NowUs();
        stop_engine(engine);
        shutdowns.push_back(double(NowUs() - stop_start) / 1000.0);
        std::printf("round %d: shutdown 200 ms into the check took %.1f ms\n", round, shutdowns.back());
        std::fflush(stdout);
    }
    Summary("witness longest gap while the big task resumes (ms)", gaps);
    Summary("witness longest gap alone (ms)", alone);
    Summary("big task's check until its first request (ms)", checks);
    Summary("shutdown 200 ms into the check (ms)", shutdowns);
    return 0;
}
