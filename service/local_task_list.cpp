// "local_task_list.cfg": one section per task, named by its id.
#include "service/local_task_list.h"

#include <algorithm>
#include <charconv>
#include <ctime>
#include <fstream>
#include <string_view>

#include "engine/seed_file.h"
#include "fagex/fagexConfigFile.h"
#include "fagex/fagexStringConverter.h"
#include "fagex/fagexStringUtil.h"
#include "foundation/md5.h"
#include "platform/paths.h"
#include "service/data_folder.h"
#include "service/net_service.h"
#include "service/text_util.h"
#include "platform/invariant.h"

namespace kx2dll {
namespace {

const std::string name_prefix = "file_list_name_";
const std::string md5_prefix = "file_list_md5_";

bool is_section_number(const std::string& name)
{
    if (name.empty())
        return false;
    for (char c : name) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

// save path + separator when longer than one character and not ending in
// one, then the source folder the same way.
std::string load_folder(const std::string& save_path, const std::string& srcdir)
{
    auto with_sep = [](const std::string& p) {
        if (p.size() > 1 && p.back() != '/' && p.back() != '\\')
            return p + "/";
        return p;
    };
    return with_sep(with_sep(save_path) + srcdir);
}

// Calls f(n, decimal text of n) for n = 0 .. count - 1 in the order of the
// texts ("0", "1", "10", "11", ..., "2"), as the configuration object sorts
// the file keys; no table of the texts is built.
template <class F>
void for_each_in_text_order(std::size_t count, F f)
{
    if (count == 0)
        return;
    auto call = [&](std::size_t n) {
        char digits[24];
        const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
        f(n, std::string_view(digits, static_cast<std::size_t>(end - digits)));
    };
    call(0);
    const std::size_t last = count - 1;
    std::size_t n = 1;
    for (std::size_t emitted = 0; emitted < last; ++emitted) {
        call(n);
        if (n <= last / 10) {
            n *= 10;
        } else {
            if (n >= last)
                n /= 10;
            ++n;
            while (n % 10 == 0)
                n /= 10;
        }
    }
}

bool in_range(float v, float low_exclusive, float high)
{
    return v > low_exclusive && v <= high;
}

// A speed in KB/s as the engine reports it (not negative, not NaN).
bool is_speed(float v)
{
    return v >= 0.0f && v <= 104857600.0f;
}

LocalTaskRecord read_record(std::uint64_t id, const fagex::ConfigFile::SettingsMultiMap& settings)
{
    LocalTaskRecord r;
    r.taskid = id;
    std::vector<std::pair<std::string, std::string>> numbered;   // suffix, file name
    auto md5_of = [&](const std::string& suffix) {
        auto it = settings.find(md5_prefix + suffix);
        return it == settings.end() ? std::string() : it->second;
    };
    for (const auto& kv : settings) {
        const std::string& key = kv.first;
        const std::string& value = kv.second;
        if (key == "gameid")
            r.gameid = static_cast<std::uint32_t>(fagex::StringConverter::parseInt(value));
        else if (key == "taskstate")
            r.taskstate = fagex::StringConverter::parseInt(value);
        else if (key == "progress")
            r.progress = fagex::StringConverter::parseReal(value);
        else if (key == "bitmap_filename")
            r.bitmap_filename = value;
        else if (key == "gamename")
            r.gamename = value;
        else if (key == "now_version")
            r.now_version = value;
        else if (key == "new_version")
            r.new_version = value;
        else if (key == "seed_md5")
            r.seed_md5 = value;
        else if (key == "seedurl")
            r.seedurl = value;
        else if (key == "seedfile")
            r.seedfile = value;
        else if (key == "decription")
            r.decription = value;
        else if (key == "save_path")
            r.save_path = value;
        else if (key == "srcdir")
            r.srcdir = value;
        else if (key.find(name_prefix) != std::string::npos)
            numbered.push_back({key.substr(key.find(name_prefix) + name_prefix.size()), value});
        // priority_level, isactive and the speeds start afresh at every load.
    }
    // The keys come in text order (1, 10, 2 ...): put the files back in the
    // order of their numbers, so a list keeps its order across saves.
    auto number_of = [](const std::string& suffix) {
        return is_section_number(suffix) && suffix.size() < 19 ? std::stoull(suffix) : ~0ull;
    };
    std::stable_sort(numbered.begin(), numbered.end(),
                     [&](const auto& a, const auto& b) { return number_of(a.first) < number_of(b.first); });
    r.file_list.reserve(numbered.size());
    for (auto& entry : numbered)
        r.file_list.push_back({std::move(entry.second), md5_of(entry.first)});
    return r;
}

}   // namespace

std::string task_folder(const std::string& save_path, const std::string& srcdir)
{
    std::string folder = save_path;
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\')
        folder += "/";
    folder += srcdir;
    if (!folder.empty() && folder.back() != '/' && folder.back() != '\\')
        folder += "/";
    return folder;
}

bool is_contained_name(const std::string& name)
{
    if (name.empty() || name[0] == '/' || name[0] == '\\')
        return false;
    if (name.size() >= 2 && name[1] == ':')
        return false;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t end = name.find_first_of("/\\", start);
        if (end == std::string::npos)
            end = name.size();
        if (name.compare(start, end - start, "..") == 0 && end - start == 2)
            return false;
        start = end + 1;
    }
    return true;
}

std::string join_task_path(const std::string& folder, const std::string& name)
{
    std::string path = folder;
    if (!path.empty() && path.back() != '/')
        path += "/";
    path += name;
    for (char& c : path) {
        if (c == '\\')
            c = '/';
    }
    return path;
}

// The folder a record's files are in.
static std::string files_folder(const LocalTaskRecord& record)
{
    std::string base = record.save_path;
    while (!base.empty() && std::string(" \t\r\n\\/").find(base.back()) != std::string::npos)
        base.pop_back();
    return task_folder(base + "/", record.srcdir);
}

bool task_files_exist(const LocalTaskRecord& record)
{
    const std::string dir = files_folder(record);
    for (const FileListEntry& f : record.file_list) {
        // A name that climbs out of the folder is not one of this task's files.
        if (!is_contained_name(f.name))
            continue;
        if (!platform::file_exists(join_task_path(dir, f.name)))
            return false;
    }
    return true;
}

bool task_files_intact(const LocalTaskRecord& record)
{
    if (!task_files_exist(record))
        return false;
    // Sizes are what the seed promises; without a readable seed the files
    // are taken as they are (the resume check reads them anyway).
    std::string seed;
    SeedHeader header;
    std::string list;
    std::vector<SeedFileEntry> files;
    if (record.seedfile.empty() || !platform::read_file(record.seedfile, seed, 16u << 20) ||
        !ParseSeed(seed, header, list) || !ParseSeedFileList(list, files))
        return true;
    const std::string dir = files_folder(record);
    return std::all_of(files.begin(), files.end(), [&](const SeedFileEntry& f) {
        const std::int64_t size = platform::file_size(join_task_path(dir, f.name));
        return size >= 0 && static_cast<std::uint64_t>(size) == f.size;
    });
}

bool finished_files_gone(const LocalTaskRecord& record)
{
    return record.taskstate == TASK_completed && !task_files_intact(record);
}

int check_seed_file(const LocalTaskRecord& record)
{
    if (record.seedfile.empty() || !platform::file_exists(record.seedfile))
        return 2;
    const std::string md5 = trim_text(record.seed_md5, " \t\r", " \t\r");
    if (md5.empty())
        return 3;
    return lower_text(file_md5(record.seedfile)) == lower_text(md5) ? 0 : 4;
}

std::string file_md5(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    if (!file.is_open())
        return std::string();
    Md5Context md5;
    char chunk[1024];
    for (;;) {
        file.read(chunk, sizeof(chunk));
        const std::streamsize got = file.gcount();
        if (got <= 0)
            break;
        md5.update(chunk, static_cast<std::size_t>(got));
    }
    unsigned char digest[16];
    md5.final(digest);
    return md5_to_hex(digest, false);
}

std::string time_of_day_text()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char text[16];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d", local.tm_hour, local.tm_min, local.tm_sec);
    return text;
}

local_task_list::local_task_list(std::uint32_t game_id, std::string path, std::string data_folder)
    : m_game_id(game_id), m_path(std::move(path)), m_data_folder(std::move(data_folder))
{
}

int local_task_list::load()
{
    // Something at the path that is not a readable file is an error, not
    // an empty list that the next save would write over.
    if (!platform::path_exists(m_path))
        return 0;
    del_history_expiredtasks();
    fagex::ConfigFile file;
    file.load(m_path);
    map_type kept;
    // Read in place: a copy of the settings would double what a task of
    // many files costs.
    for (auto sections = file.getSectionIterator(); sections.hasMoreElements();) {
        const std::string name = sections.peekNextKey();
        const fagex::ConfigFile::SettingsMultiMap& settings = sections.getNext();
        if (!is_section_number(name))
            continue;
        LocalTaskRecord r = read_record(fagex::StringConverter::parseUnsignedInt(name), settings);
        if (r.gameid != m_game_id)
            continue;
        r.bitmap_filename = bitmap_file(r);
        if (r.bitmap_filename.empty())
            continue;
        const std::string folder = load_folder(r.save_path, r.srcdir);
        bool files = true;
        for (const FileListEntry& f : r.file_list) {
            if (is_contained_name(f.name) && !platform::file_exists(join_task_path(folder, f.name)))
                files = false;
        }
        if (files)
            kept[r.taskid] = std::move(r);
    }
    std::lock_guard<std::mutex> guard(m_lock);
    for (auto& entry : kept)
        m_tasks[entry.first] = entry.second;
    return static_cast<int>(kept.size());
}

std::string local_task_list::bitmap_file(const LocalTaskRecord& record) const
{
    if (!record.bitmap_filename.empty() && platform::file_exists(record.bitmap_filename))
        return record.bitmap_filename;
    if (m_data_folder.empty())
        return std::string();
    // Where the engine writes it: the data folder, or beside the launcher
    // when there is none, which is then this folder too.
    const std::string saved = platform::join_path(m_data_folder, std::to_string(record.taskid) + ".bbm");
    return platform::file_exists(saved) ? saved : std::string();
}

void local_task_list::del_history_expiredtasks()
{
    NetService::LogLine("del_history_expiredtasks\n", 2);
    if (m_path.empty() || !platform::file_exists(m_path))
        return;
    fagex::ConfigFile file;
    file.load(m_path);
    std::map<std::int64_t, int> candidates;
    for (auto sections = file.getSectionIterator(); sections.hasMoreElements();) {
        const std::string name = sections.peekNextKey();
        const fagex::ConfigFile::SettingsMultiMap& settings = sections.getNext();
        if (!fagex::StringConverter::isNumber(name))
            continue;
        auto value = [&](const char* key) {
            auto it = settings.find(key);
            return it == settings.end() ? std::string() : it->second;
        };
        if (static_cast<std::uint32_t>(fagex::StringConverter::parseInt(value("gameid"))) == m_game_id &&
            fagex::StringConverter::parseInt(value("taskstate")) == 2)
            candidates[std::strtoll(name.c_str(), nullptr, 10)] = 1;
    }
    if (candidates.empty() || m_data_folder.empty())
        return;
    std::map<std::int64_t, int> deleted;
    delete_expired_files(m_data_folder, candidates, deleted);
    if (deleted.empty())
        return;
    for (const auto& id : deleted) {
        const std::string name = std::to_string(static_cast<std::uint64_t>(id.first));
        if (!file.hasSection(name))
            continue;
        std::vector<std::string> keys;
        for (auto it = file.getSettingsIterator(name); it.hasMoreElements(); it.getNext())
            keys.push_back(it.peekNextKey());
        for (const std::string& key : keys)
            file.removeSetting(name, key);
    }
    file.save(m_path);
}

// Written straight from the records, in the order the configuration object
// keeps them (sections by name text, keys by text; a task's file keys sort
// between "decription" and "gameid"), without building that object: for a
// task of 200,000 files it would hold 400,000 settings.
std::string local_task_list::to_text(const map_type& tasks)
{
    std::string out;
    auto line = [&out](std::string_view key, std::string_view suffix, std::string_view value) {
        const std::size_t at = out.size();
        out.append(key).append(suffix).append(1, '=').append(value).append(1, '\n');
        // A line break inside a value would start a line of its own on reload.
        std::replace(out.begin() + static_cast<std::ptrdiff_t>(at), out.end() - 1, '\n', ' ');
    };
    std::vector<std::string> sections;
    sections.reserve(tasks.size());
    for (const auto& entry : tasks)
        sections.push_back(std::to_string(entry.first));
    std::vector<std::size_t> order(sections.size());
    for (std::size_t i = 0; i < order.size(); ++i)
        order[i] = i;
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return sections[a] < sections[b]; });
    std::vector<const LocalTaskRecord*> records;
    records.reserve(tasks.size());
    for (const auto& entry : tasks)
        records.push_back(&entry.second);
    // Sized once: the text of a task of many files is most of the file.
    std::size_t size = 0;
    for (const auto& entry : tasks) {
        const LocalTaskRecord& r = entry.second;
        size += 512 + r.bitmap_filename.size() + r.decription.size() + r.gamename.size() + r.new_version.size() +
                r.now_version.size() + r.save_path.size() + r.seed_md5.size() + r.seedfile.size() + r.seedurl.size() +
                r.srcdir.size();
        for (const FileListEntry& f : r.file_list)
            size += f.name.size() + f.md5.size() + 2 * (name_prefix.size() + 12);
    }
    out.reserve(size);
    for (std::size_t i : order) {
        const LocalTaskRecord& r = *records[i];
        out.append("[").append(sections[i]).append("]\n");
        line("bitmap_filename", "", r.bitmap_filename);
        line("decription", "", r.decription);
        for_each_in_text_order(r.file_list.size(), [&](std::size_t n, std::string_view number) {
            line(md5_prefix, number, r.file_list[n].md5);
        });
        for_each_in_text_order(r.file_list.size(), [&](std::size_t n, std::string_view number) {
            line(name_prefix, number, r.file_list[n].name);
        });
        line("gameid", "", std::to_string(r.gameid));
        line("gamename", "", r.gamename);
        line("isactive", "", r.isactive ? "true" : "false");
        line("lasttime", "", time_of_day_text());
        line("new_version", "", r.new_version);
        line("now_version", "", r.now_version);
        line("priority_level", "", std::to_string(r.priority_level));
        line("progress", "", fagex::StringConverter::toString(r.progress));
        line("save_path", "", r.save_path);
        line("seed_md5", "", r.seed_md5);
        line("seedfile", "", r.seedfile);
        line("seedurl", "", r.seedurl);
        line("srcdir", "", r.srcdir);
        line("taskstate", "", std::to_string(r.taskstate));
    }
    return out;
}

bool local_task_list::save()
{
    // Saves run one at a time and each writes the list as it is when it
    // starts, so the file never goes back to an older list.
    std::lock_guard<std::mutex> save_guard(m_save_lock);
    map_type tasks;
    copy(tasks);
    const std::string text = to_text(tasks);
    std::string error;
    if (platform::write_file_atomically(m_path, text, {true, &error}))
        return true;
    NetService::LogLine("cannot write " + m_path + ": " + error + "\n", 2);
    return false;
}

std::size_t local_task_list::copy(map_type& out) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    out = m_tasks;
    return out.size();
}

void local_task_list::check_record([[maybe_unused]] std::uint64_t key, [[maybe_unused]] const LocalTaskRecord& record)
{
    VR_INVARIANT(record.taskid == key);
    VR_INVARIANT(record.priority_level == 0 || record.priority_level == 1);
}

void local_task_list::check_invariant() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& entry : m_tasks)
        check_record(entry.first, entry.second);
}

std::size_t local_task_list::size() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_tasks.size();
}

bool local_task_list::find(std::uint64_t task_id, LocalTaskRecord& out) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_tasks.find(task_id);
    if (it == m_tasks.end())
        return false;
    out = it->second;
    return true;
}

bool local_task_list::find_task_by_file_md5(std::uint32_t game_id, const std::string& md5, std::uint64_t& task_id) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    for (const auto& entry : m_tasks) {
        if (entry.second.gameid == game_id && lists_file_md5(entry.second.file_list, md5)) {
            task_id = entry.first;
            return true;
        }
    }
    return false;
}

bool local_task_list::set_value(std::uint64_t task_id, int field, const std::string& text)
{
    return update(task_id, [&](LocalTaskRecord& r) {
        const int n = fagex::StringConverter::parseInt(text);
        const float v = fagex::StringConverter::parseReal(text);
        const bool b = fagex::StringConverter::parseBool(text);
        switch (field) {
        case field_taskstate:
            if (n >= -1 && n <= 2)
                r.taskstate = n;
            break;
        case field_priority_level:
            if (n == 0 || n == 1)
                r.priority_level = n;
            break;
        case field_isactive:
            r.isactive = b;
            break;
        case field_remove_pending:
            r.remove_pending = b;
            break;
        case field_down_speed:
            // 0 is taken too: a stalled task must not keep its last speed.
            if (is_speed(v))
                r.down_speed = v;
            break;
        case field_up_speed:
            if (is_speed(v))
                r.up_speed = v;
            break;
        case field_bitmap_filename:
            r.bitmap_filename = text;
            break;
        case field_seedurl:
            r.seedurl = text;
            break;
        case field_seed_md5:
            r.seed_md5 = text;
            break;
        case field_seedfile:
            r.seedfile = text;
            break;
        case field_now_version:
            r.now_version = text;
            break;
        case field_new_version:
            r.new_version = text;
            break;
        case field_save_path:
            r.save_path = text;
            break;
        case field_srcdir:
            r.srcdir = text;
            break;
        case field_progress:
            if (in_range(v, 0.0001f, 100.0001f))
                r.progress = v;
            break;
        case field_redownload:
            r.redownload = b;
            break;
        default:
            break;
        }
    });
}

bool local_task_list::set_bool(std::uint64_t task_id, int field, bool value)
{
    return set_value(task_id, field, value ? "true" : "false");
}

bool local_task_list::set_taskstate(std::uint64_t task_id, std::int32_t state)
{
    return set_value(task_id, field_taskstate, std::to_string(state));
}

void local_task_list::reset_priority(std::uint64_t task_id)
{
    set_value(task_id, field_priority_level, "0");
}

void local_task_list::put(const LocalTaskRecord& record)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_tasks[record.taskid] = record;
    check_record(record.taskid, record);
}

bool local_task_list::add(LocalTaskRecord record)
{
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_tasks.find(record.taskid);
        if (it != m_tasks.end()) {
            it->second.priority_level = record.priority_level;
            return true;
        }
        const std::uint64_t id = record.taskid;
        m_tasks[id] = std::move(record);
    }
    // Saved by the next save_if_changed: a burst of first starts costs one
    // write of the list, not one each.
    m_changed.store(true);
    return true;
}

bool local_task_list::save_if_changed()
{
    if (!m_changed.exchange(false))
        return true;
    if (save())
        return true;
    m_changed.store(true);   // tried again at the next pass
    return false;
}

bool local_task_list::remove(std::uint64_t task_id)
{
    LocalTaskRecord r;
    bool found = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_tasks.find(task_id);
        if (it != m_tasks.end()) {
            r = it->second;
            m_tasks.erase(it);
            found = true;
        }
    }
    save();
    if (!found)
        return true;
    if (!r.bitmap_filename.empty() && platform::file_exists(r.bitmap_filename))
        platform::delete_file(r.bitmap_filename);
    if (!r.seedfile.empty() && platform::file_exists(r.seedfile))
        platform::delete_file(r.seedfile);
    // The names come from the task server: only files inside the task's
    // own folder are ever deleted.
    if (r.save_path.empty() || (!r.srcdir.empty() && !is_contained_name(r.srcdir)))
        return true;
    const std::string folder = task_folder(r.save_path, r.srcdir);
    for (const FileListEntry& f : r.file_list) {
        if (!is_contained_name(f.name)) {
            NetService::LogLine("refused to delete " + f.name + " of task " + std::to_string(task_id) +
                                    ": outside the task folder\n",
                                2);
            continue;
        }
        const std::string path = join_task_path(folder, f.name);
        if (platform::file_exists(path))
            platform::delete_file(path);
    }
    return true;
}

}   // namespace kx2dll
