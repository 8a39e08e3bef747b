#include "download_test_env.h"

#include <fstream>

#include <unistd.h>

#include "foundation/md5.h"
#include "platform/paths.h"
#include "service/net_service.h"
#include "service/service_exports.h"

namespace service_test {
namespace {

void write(const std::string& path, const std::string& text)
{
    platform::create_folder(platform::parent_folder(path));
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

std::string lower(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// A port nothing listens on (closed right after binding).
std::uint16_t free_port()
{
    for (std::uint16_t p = 20000 + static_cast<std::uint16_t>(::getpid() % 20000); p < 65000; p += 7) {
        if (port_free(p))
            return p;
    }
    return 0;
}

}   // namespace

download_test_env::download_test_env(const std::string& rate)
{
    const std::string root = m_env.root();
    for (const char* sub : {"/launcher", "/downloads", "/www", "/module", "/registry", "/appdata"})
        platform::create_folder(root + sub);
    auto set = [&](const char* name, const std::string& value) {
        m_vars.push_back(std::make_unique<test_support::ScopedEnv>(name, value));
    };
    set("VR_QORN_DIR", downloads());
    set("VR_MODULE_DIR", root + "/module");
    set("VR_REGISTRY_DIR", root + "/registry");
    set("VR_VELMAR_DIR", root + "/velmar");
    set("VR_CLIENT_LOG_MARKER", root + "/no-marker");
    set("VR_LAN_BROADCAST", "127.0.0.1");
    set("VR_RIS_SOUTH", "127.0.0.1:1");
    set("VR_RIS_NORTH", "127.0.0.1:1");
    set("VR_ROUTE_SERVER", "127.0.0.1:1");
    set("VR_LOG_SERVER", "127.0.0.1:1");
    set("VR_BOOTLOG_SERVER", "127.0.0.1:1");
    set("VR_DATALOG_SERVER", "127.0.0.1:1");
    set("VR_UPNP_ROOTDESC", "http://127.0.0.1:1/rootDesc.xml");
    m_nginx = std::make_unique<test_support::NginxServer>(www());
    if (!rate.empty())
        m_nginx->SetRateLimit(rate);
    m_nginx_ok = test_support::NginxServer::Available() && m_nginx->start();
    const std::string host = "127.0.0.1:" + std::to_string(m_nginx->port());
    set("VR_UPDATE_SERVER", host);
    set("VR_TASK_SERVER", host);
    set("VR_MD5TASK_SERVER", host);
    set("VR_FALLBACK_TASK_SERVER", "127.0.0.1:1");
    set("VR_CDN_QUERY_URL", "http://" + m_nginx->cdn_query_prefix());
    // The engine's listener: a port no other test holds.
    publish_config("[Preferred_Settings]\nRIS_SOUTH=127.0.0.1\nRIS_SOUTH_PORT=1\nRIS_NORTH=127.0.0.1\n"
                   "RIS_NORTH_PORT=1\nListenPort=" +
                   std::to_string(free_port() - game_id) + "\nmax_download_task_num=5\nwrite_log=true\n");
}

download_test_env::~download_test_env()
{
    if (m_thread && !stop_service()) {
        m_thread->join_for(10000);
        m_thread->join();
    }
    if (m_nginx)
        m_nginx->stop();
}

served_task& download_test_env::add_task(std::uint64_t task_id, const std::string& version,
                                         const std::vector<std::uint64_t>& sizes, int game)
{
    auto task = std::make_unique<served_task>();
    task->fixture = std::make_unique<test_support::TaskFixture>(
        www(), task_id, 65536, sizes, "game" + std::to_string(task_id), static_cast<std::uint32_t>(task_id));
    task->seed = task->fixture->SeedXml();
    task->seed_md5 = md5_hex(task->seed.data(), task->seed.size());
    write(www() + "/seeds/" + std::to_string(task_id) + ".xml", task->seed);
    m_nginx->SetCdnAnswer(task_id, task->fixture->CdnAnswer(m_nginx->base_url()));
    std::string files;
    for (const auto& f : task->fixture->files())
        files += " data/" + f.file_name + "," + f.md5;
    task->line = "demo " + std::to_string(game) + "  " + std::to_string(task_id) + " " + version + " " +
                 task->seed_md5 + " " + m_nginx->base_url() + "/seeds/" + std::to_string(task_id) +
                 ".xml -1 {(demo task " + std::to_string(task_id) + ")} (" + files + " )";
    m_tasks.push_back(std::move(task));
    return *m_tasks.back();
}

void download_test_env::publish(const std::vector<const served_task*>& tasks, const std::string& extra)
{
    std::string text;
    for (const served_task* t : tasks) {
        text += t->line + "\r\n";
        for (const auto& f : t->fixture->files())
            write(www() + "/update_task/md5task/" + lower(f.md5), t->line + "\n");
    }
    write(www() + "/update_task/task_list.txt", text + extra);
}

void download_test_env::publish_config(const std::string& text)
{
    write(www() + "/update_dll/p2sp_config.ini", text);
}

bool download_test_env::start_service()
{
    if (m_thread && !m_returned.load())
        return false;
    if (m_thread) {
        m_thread->join();
        m_thread.reset();
    }
    const std::string info = m_env.appdata() + "/ZVK/" + kx2dll::service_info_file_name(game_id);
    platform::delete_file(info);
    m_returned.store(false);
    m_thread = std::make_unique<platform::Thread>();
    m_thread->start([this] {
        startService(nullptr, nullptr, std::to_string(game_id).c_str(), 1);
        m_returned.store(true);
    });
    m_port = 0;
    wait_until(
        [&] {
            const std::string text = read_text(info);
            const std::size_t at = text.find("port=");
            if (at != std::string::npos)
                m_port = static_cast<std::uint16_t>(std::stoi(text.substr(at + 5)));
            return m_port != 0;
        },
        10000);
    return m_port != 0;
}

bool download_test_env::stop_service()
{
    if (!m_thread)
        return true;
    shutdownService(nullptr, nullptr, std::to_string(game_id).c_str(), 1);
    const bool stopped = wait_until([&] { return m_returned.load(); }, 60000);
    if (stopped) {
        m_thread->join();
        m_thread.reset();
    }
    return stopped;
}

std::string download_test_env::command(const std::string& type, const fields& extra)
{
    const call_result r = call_service(m_port, request_doc(type, game_id, extra));
    if (!r.answered)
        return std::string();
    const std::string decoded = decode(r.text);
    return decoded.empty() ? r.text : decoded;
}

std::string download_test_env::item(const std::string& reply, const std::string& name)
{
    const std::string open = "<" + name + ">";
    const std::size_t a = reply.find(open);
    if (a == std::string::npos)
        return "<missing>";
    const std::size_t b = reply.find("</" + name + ">", a);
    return reply.substr(a + open.size(), b - a - open.size());
}

bool download_test_env::ok(const std::string& reply)
{
    return reply.find("return='0'") != std::string::npos;
}

logging_service::logging_service(int game_id)
{
    m_logs.createLog("vr_download_dll.log", true);
    bool existed = false;
    m_event.create(kx2dll::service_event_name(game_id), existed);
    m_service = std::make_unique<NetService>(game_id);
}

logging_service::~logging_service() = default;

}   // namespace service_test
