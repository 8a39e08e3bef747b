// "local_task_list.cfg" as a crash, an older version or a hand edit may
// leave it: the list loads it from a scratch folder, and what the list
// writes for the records it kept loads back as the same records. The text
// "$BBM" in the input stands for a bitmap file that exists, since only
// tasks with their bitmap file are kept.

#include <sys/stat.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "fuzz_check.h"
#include "scratch_file.h"
#include "service/local_task_list.h"

namespace {

constexpr std::uint32_t kGameId = 12;

// Scratch folder: the list file, a bitmap file and an empty data folder
// (load looks there for expired seed and bitmap files).
struct Scratch {
    std::string folder = fuzz_scratch::path("local_task_list_fuzz");
    std::string list = folder + "/local_task_list.cfg";
    std::string saved = folder + "/saved.cfg";
    std::string bitmap = folder + "/b.bbm";
    std::string data = folder + "/data/";
    Scratch()
    {
        mkdir(folder.c_str(), 0700);
        mkdir(data.c_str(), 0700);
        FUZZ_CHECK(fuzz_scratch::write(bitmap, "\0\0\0\0", 4));
    }
};

Scratch& scratch()
{
    static Scratch s;
    return s;
}

bool starts_with_separator(const std::string& v)
{
    return !v.empty() && std::string("\t:= ").find(v[0]) != std::string::npos;
}

// The fields load reads (the rest start afresh at every load).
void check_same(const kx2dll::LocalTaskRecord& a, const kx2dll::LocalTaskRecord& b)
{
    FUZZ_CHECK(a.taskid == b.taskid && a.gameid == b.gameid && a.taskstate == b.taskstate);
    FUZZ_CHECK(a.bitmap_filename == b.bitmap_filename && a.gamename == b.gamename);
    FUZZ_CHECK(a.now_version == b.now_version && a.new_version == b.new_version);
    FUZZ_CHECK(a.seed_md5 == b.seed_md5 && a.seedurl == b.seedurl && a.seedfile == b.seedfile);
    FUZZ_CHECK(a.decription == b.decription && a.save_path == b.save_path && a.srcdir == b.srcdir);
    if (std::isfinite(a.progress) && std::isfinite(b.progress))
        FUZZ_CHECK(std::fabs(a.progress - b.progress) <= 1e-3 * std::fmax(1.0, std::fabs(a.progress)));
    // Saving renumbers the files; the set stays.
    FUZZ_CHECK(a.file_list.size() == b.file_list.size());
    for (const kx2dll::FileListEntry& f : a.file_list) {
        size_t in_a = 0;
        size_t in_b = 0;
        for (const kx2dll::FileListEntry& g : a.file_list)
            in_a += g == f;
        for (const kx2dll::FileListEntry& g : b.file_list)
            in_b += g == f;
        FUZZ_CHECK(in_a == in_b);
    }
}

// A value the configuration reader cannot give back as written.
bool saves_lossily(const kx2dll::LocalTaskRecord& r)
{
    for (const std::string* v : {&r.bitmap_filename, &r.gamename, &r.now_version, &r.new_version, &r.seed_md5,
                                 &r.seedurl, &r.seedfile, &r.decription, &r.save_path, &r.srcdir})
        if (starts_with_separator(*v))
            return true;
    for (const kx2dll::FileListEntry& f : r.file_list)
        if (starts_with_separator(f.name) || starts_with_separator(f.md5))
            return true;
    return false;
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    std::string text(reinterpret_cast<const char*>(data), size);
    for (size_t at = text.find("$BBM"); at != std::string::npos; at = text.find("$BBM", at + 1))
        text.replace(at, 4, scratch().bitmap);
    if (!fuzz_scratch::write(scratch().list, text.data(), text.size()))
        return 0;

    kx2dll::local_task_list list(kGameId, scratch().list, scratch().data);
    const int kept = list.load();
    kx2dll::local_task_list::map_type tasks;
    FUZZ_CHECK(list.copy(tasks) == static_cast<size_t>(kept));
    for (const auto& entry : tasks) {
        FUZZ_CHECK(entry.first == entry.second.taskid);
        FUZZ_CHECK(entry.second.gameid == kGameId);
        FUZZ_CHECK(!entry.second.bitmap_filename.empty());
    }

    const std::string saved = kx2dll::local_task_list::to_text(tasks);
    if (!fuzz_scratch::write(scratch().saved, saved.data(), saved.size()))
        return 0;
    kx2dll::local_task_list again(kGameId, scratch().saved, scratch().data);
    const int kept_again = again.load();
    for (const auto& entry : tasks)
        if (saves_lossily(entry.second))
            return 0;
    FUZZ_CHECK(kept_again == kept);
    for (const auto& entry : tasks) {
        kx2dll::LocalTaskRecord back;
        FUZZ_CHECK(again.find(entry.first, back));
        check_same(entry.second, back);
    }
    return 0;
}
