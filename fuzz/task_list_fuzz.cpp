// The task server's list as its reply body may hold it: the parser on the
// whole text, on the text cut at the line the first byte picks (lines are
// independent, so the two halves give the same records), each record turned
// into a local task record, and the fallback URL built from the input.

#include <cstddef>
#include <cstdint>
#include <string>

#include "fuzz_check.h"
#include "service/task_list_refresh.h"

namespace {

constexpr std::uint32_t kGameId = 12;

void check_records(const kx2dll::server_task_map& tasks)
{
    for (const auto& entry : tasks) {
        const kx2dll::ServerTaskRecord& r = entry.second;
        FUZZ_CHECK(entry.first == r.taskid);
        FUZZ_CHECK(r.gameid == kGameId);
        FUZZ_CHECK(r.gamename.find(' ') == std::string::npos);
        for (const kx2dll::FileListEntry& f : r.file_list) {
            FUZZ_CHECK(!f.name.empty());
            FUZZ_CHECK(f.name.find_first_of(" ,") == std::string::npos);
            FUZZ_CHECK(f.md5.size() >= 32 && f.md5.find(' ') == std::string::npos);
        }
        kx2dll::LocalTaskRecord local;
        r.to_local_task(local);
        FUZZ_CHECK(local.taskid == r.taskid && local.gameid == r.gameid);
        FUZZ_CHECK(local.file_list == r.file_list);
        std::int32_t from = 0;
        std::int32_t to = 0;
        if (kx2dll::split_version_step(r.version, from, to))
            FUZZ_CHECK(local.now_version + "-" + local.new_version == r.version);
    }
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const std::string body(reinterpret_cast<const char*>(data), size);
    size_t game_lines = 0;
    const kx2dll::server_task_map tasks = kx2dll::parse_task_list(body, kGameId, [&] { ++game_lines; });
    check_records(tasks);
    FUZZ_CHECK(tasks.size() <= game_lines);

    // Cut after the n-th line end: the later half's records replace the
    // earlier half's, as a later line replaces an earlier one.
    if (size > 0) {
        size_t cut = 0;
        for (unsigned n = data[0] % 8; n > 0 && cut < size; --n) {
            const size_t end = body.find('\n', cut);
            cut = end == std::string::npos ? size : end + 1;
        }
        size_t first_lines = 0;
        size_t second_lines = 0;
        kx2dll::server_task_map merged = kx2dll::parse_task_list(body.substr(0, cut), kGameId, [&] { ++first_lines; });
        for (auto& entry : kx2dll::parse_task_list(body.substr(cut), kGameId, [&] { ++second_lines; }))
            merged[entry.first] = entry.second;
        FUZZ_CHECK(first_lines + second_lines == game_lines);
        FUZZ_CHECK(merged.size() == tasks.size());
        for (const auto& entry : merged) {
            const auto it = tasks.find(entry.first);
            FUZZ_CHECK(it != tasks.end());
            FUZZ_CHECK(it->second.seedurl == entry.second.seedurl && it->second.file_list == entry.second.file_list &&
                       it->second.description == entry.second.description);
        }
    }

    const std::string url = kx2dll::fallback_task_list_url(body, "fallback.example:8080");
    const std::string start = "http://fallback.example:8080/";
    FUZZ_CHECK(url.empty() || url.compare(0, start.size(), start) == 0);
    return 0;
}
