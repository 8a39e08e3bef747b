// The task server's list: parsing its lines and fetching it (the general
// list, one file's task, the fallback server).
#include "service/task_list_refresh.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>

#include "fagex/fagexStringConverter.h"
#include "fagex/fagexStringUtil.h"
#include "service/download_manager.h"
#include "service/launcher_error.h"
#include "service/net_service.h"
#include "service/server_addresses.h"
#include "service/text_util.h"

namespace kx2dll {
namespace {

// Reads space-separated tokens: a token ends at the next space, and the
// spaces and tabs after it are skipped (a tab alone separates nothing).
class token_reader {
public:
    explicit token_reader(std::string_view line) : m_line(line) {}

    bool next(std::string_view& token)
    {
        if (m_pos >= m_line.size())
            return false;
        const std::size_t end = m_line.find(' ', m_pos);
        if (end == std::string_view::npos) {
            token = m_line.substr(m_pos);
            m_pos = m_line.size();
        } else {
            token = m_line.substr(m_pos, end - m_pos);
            m_pos = m_line.find_first_not_of(" \t", end);
            if (m_pos == std::string_view::npos)
                m_pos = m_line.size();
        }
        return true;
    }
    bool next(std::string& token)
    {
        std::string_view view;
        if (!next(view))
            return false;
        token.assign(view);
        return true;
    }
    std::size_t pos() const { return m_pos; }

private:
    std::string_view m_line;
    std::size_t m_pos = 0;
};

std::vector<FileListEntry> parse_file_list(std::string_view text)
{
    std::vector<FileListEntry> files;
    // Every item holds a comma: sized once, however many files a line lists.
    files.reserve(static_cast<std::size_t>(std::count(text.begin(), text.end(), ',')));
    while (!text.empty()) {
        const std::size_t space = text.find(' ');
        const std::string_view item = text.substr(0, space);
        text.remove_prefix(space == std::string_view::npos ? text.size() : space + 1);
        const std::size_t comma = item.find(',');
        // A digest shorter than an MD5 text cannot name the file.
        if (comma == std::string_view::npos || comma == 0 || item.size() - comma - 1 < 32)
            continue;
        files.push_back(FileListEntry{std::string(item.substr(0, comma)), std::string(item.substr(comma + 1))});
    }
    files.shrink_to_fit();
    return files;
}

// One line; false when it is skipped.
bool parse_line(std::string_view raw, std::uint32_t game_id, const std::function<void()>& on_game_line,
                ServerTaskRecord& out)
{
    const std::string_view line = trim_view(raw, " \t\r", " \t\r");
    if (line.empty())
        return false;
    token_reader tokens(line);
    std::string_view game_text;
    if (!tokens.next(out.gamename) || !tokens.next(game_text))
        return false;
    out.gameid = static_cast<std::uint32_t>(fagex::StringConverter::parseInt(std::string(game_text)));
    if (out.gameid != game_id)
        return false;
    if (on_game_line)
        on_game_line();
    std::string_view id_text;
    std::string_view state_text;
    if (!tokens.next(id_text) || !tokens.next(out.version) || !tokens.next(out.seed_md5) || !tokens.next(out.seedurl) ||
        !tokens.next(state_text))
        return false;
    out.taskid = fagex::StringConverter::parseUnsignedInt(std::string(id_text));
    out.state = fagex::StringConverter::parseInt(std::string(state_text));
    const std::size_t open_desc = line.find("{(", tokens.pos());
    if (open_desc == std::string_view::npos)
        return false;
    const std::size_t close_desc = line.find(")}", open_desc + 2);
    if (close_desc == std::string_view::npos)
        return false;
    const std::size_t open_files = line.find('(', close_desc + 2);
    if (open_files == std::string_view::npos)
        return false;
    const std::size_t close_files = line.find(')', open_files + 1);
    if (close_files == std::string_view::npos)
        return false;
    out.description.assign(line.substr(open_desc + 2, close_desc - open_desc - 2));
    out.file_list =
        parse_file_list(trim_view(line.substr(open_files + 1, close_files - open_files - 1), " \t\r", " \t\r"));
    return true;
}

}   // namespace

server_task_map parse_task_list(std::string_view body, std::uint32_t game_id, const std::function<void()>& on_game_line)
{
    server_task_map tasks;
    while (!body.empty()) {
        const std::size_t end = body.find('\n');
        const std::string_view line = body.substr(0, end);
        body.remove_prefix(end == std::string_view::npos ? body.size() : end + 1);
        ServerTaskRecord record;
        if (parse_line(line, game_id, on_game_line, record))
            tasks[record.taskid] = std::move(record);
    }
    return tasks;
}

bool split_version_step(const std::string& step, std::int32_t& from, std::int32_t& to)
{
    const std::size_t dash = step.find('-');
    if (dash == std::string::npos || dash == 0)
        return false;
    from = fagex::StringConverter::parseInt(step.substr(0, dash));
    to = fagex::StringConverter::parseInt(step.substr(dash + 1));
    return true;
}

std::string fallback_task_list_url(const std::string& url, const std::string& fallback_host)
{
    std::string lower = url;
    fagex::StringUtil::toLowerCase(lower);
    const std::string scheme = "http://";
    if (lower.compare(0, scheme.size(), scheme) != 0)
        return std::string();
    const std::size_t slash = lower.find('/', scheme.size());
    if (slash == std::string::npos)
        return std::string();
    // The path keeps its case: servers tell /Tasks from /tasks.
    return scheme + fallback_host + url.substr(slash);
}

void ServerTaskRecord::to_local_task(LocalTaskRecord& out) const
{
    out.gameid = gameid;
    out.taskid = taskid;
    out.down_speed = 0;
    out.up_speed = 0;
    out.progress = 0;
    out.taskstate = state;
    out.priority_level = 0;
    out.isactive = false;
    out.remove_pending = false;
    out.redownload = false;
    out.gamename = gamename;
    out.seed_md5 = seed_md5;
    out.seedurl = seedurl;
    out.decription = description;
    out.file_list = file_list;
    const std::size_t dash = version.find('-');
    if (dash != std::string::npos) {
        out.now_version = version.substr(0, dash);
        out.new_version = version.substr(dash + 1);
    }
    out.bitmap_filename.clear();
    out.seedfile.clear();
    out.save_path.clear();
    out.srcdir.clear();
}

namespace {

// The engine's GET as text: the received bytes, read in place (the NUL the
// engine adds is left out of `body`).
int get_text(IP2SP_Engine* engine, const std::string& url, std::vector<char>& bytes, std::string_view& body)
{
    bytes.clear();
    body = std::string_view();
    if (!engine)
        return 1;
    const int rc = engine->HttpGetText(url.c_str(), bytes);
    if (rc != 0)
        return rc;
    // The receive buffer grew by doubling: keep the text only, once.
    bytes.shrink_to_fit();
    std::size_t size = bytes.size();
    if (size > 0 && bytes[size - 1] == '\0')
        --size;
    body = std::string_view(bytes.data(), size);
    return 0;
}

// The launcher's file MD5 goes into a request line: only letters and
// digits may, so no text of its own can add a header or another path.
bool is_plain_name(const std::string& text)
{
    for (char c : text) {
        if (!std::isalnum(static_cast<unsigned char>(c)))
            return false;
    }
    return !text.empty();
}

std::string fetch_error(const std::string& url, int code)
{
    return "error : download task info falied [" + url + "], error[" + std::to_string(code) + "]\n";
}

// What a failed GET means, for the launcher.
std::string get_failure(int code)
{
    if (code == 1)
        return "no connection";
    if (code == 201)
        return "the server did not answer 200 OK";
    return "error " + std::to_string(code);
}

}   // namespace

bool download_manager::update_taskslist_from_server(const std::string& file_md5, server_task_list* parsed)
{
    // The reply is held once, as received, and parsed in place: a list near
    // the 16 MiB cap costs the records and not several copies of its text.
    std::vector<char> bytes;
    std::string_view body;
    bool fetched = false;
    if (!file_md5.empty() && !is_plain_name(file_md5)) {
        NetService::LogLine("error : file md5 [" + file_md5 + "] is not a name to ask the task server for\n", 2);
    } else if (!file_md5.empty()) {
        // Task servers have always been asked for the digest in lower case.
        const std::string url = "http://" + md5task_server() + "/update_task/md5task/" + lower_text(file_md5);
        NetService::LogLine(url, 2);
        const int rc = get_text(m_engine, url, bytes, body);
        if (rc == 0)
            fetched = true;
        else
            log_error(fetch_error(url, rc));
    }
    if (!fetched) {
        std::string url = task_list_url();
        int rc = get_text(m_engine, url, bytes, body);
        if (rc != 0) {
            const std::string fallback = fallback_task_list_url(url, fallback_task_server());
            if (!fallback.empty()) {
                // The fallback stays for the life of the manager.
                {
                    std::lock_guard<std::mutex> guard(m_url_lock);
                    m_task_list_url = fallback;
                }
                url = fallback;
                rc = get_text(m_engine, url, bytes, body);
            }
        }
        if (rc != 0) {
            log_error(fetch_error(url, rc));
            set_failure_reason("the task server cannot be reached: " + url + " (" + get_failure(rc) + ")");
            return false;
        }
    }
    {
        static const std::string_view head = "recv update info : ";
        static const std::string_view tail = "\r\n\n";
        std::string message;
        message.reserve(head.size() + body.size() + tail.size());
        message.append(head).append(body).append(tail);
        NetService::LogLine(message, 2);
    }
    bool game_listed = false;
    auto tasks = std::make_shared<const server_task_map>(parse_task_list(body, m_game_id, [&] { game_listed = true; }));
    std::vector<char>().swap(bytes);
    if (game_listed)
        note_game_line();
    NetService::LogLine("update_taskslist_from_server get tasks count is : " + std::to_string(tasks->size()) + "\n", 2);
    // The caller shares the new list; the old one goes with its last reader.
    if (parsed)
        *parsed = tasks;
    std::lock_guard<std::mutex> guard(m_server_lock);
    m_server_tasks = std::move(tasks);
    return true;
}

// A line of this game was listed: its version is known from now on ("0"
// until an update completes) and recorded in the configuration.
void download_manager::note_game_line()
{
    std::string version;
    {
        std::lock_guard<std::mutex> guard(m_version_lock);
        GameVersionInfo& info = m_game_versions[m_game_id];
        info.gameid = static_cast<std::int32_t>(m_game_id);
        if (info.version.empty())
            info.version = "0";
        version = info.version;
    }
    update_game_version(m_game_id, version);
}

bool download_manager::copy_server_task_list(server_task_map& out) const
{
    out = *server_tasks();
    return true;
}

server_task_list download_manager::server_tasks() const
{
    std::lock_guard<std::mutex> guard(m_server_lock);
    return m_server_tasks;
}

std::string download_manager::task_list_url() const
{
    std::lock_guard<std::mutex> guard(m_url_lock);
    return m_task_list_url;
}

}   // namespace kx2dll
