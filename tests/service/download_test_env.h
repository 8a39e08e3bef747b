// The world of the download manager's tests: every folder in a temporary
// tree, every server on 127.0.0.1 (a real nginx as update, task, seed and
// CDN server; closed ports for the index and log servers), generated
// tasks with their task-list lines, and the service run through
// startService on a thread of its own.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "fagex/fagexLogManager.h"
#include "platform/named_event.h"
#include "platform/thread.h"
#include "service_test_support.h"
#include "support/nginx_server.h"
#include "support/task_fixture.h"
#include "support/temp_dir.h"

class NetService;

namespace service_test {

// A task served by the nginx: its files, its seed at /seeds/<id>.xml and
// its task-list line.
struct served_task {
    std::unique_ptr<test_support::TaskFixture> fixture;
    std::string seed;       // the seed document
    std::string seed_md5;   // lower case
    std::string line;       // the task-list line
    // Upper-case MD5 of file i (the launcher names a download by it).
    std::string file_md5(std::size_t i = 0) const { return fixture->files().at(i).md5; }
};

class download_test_env {
public:
    // Game id of the seeds the fixtures write.
    static constexpr int game_id = 7;

    // `rate`: nginx's limit per answer ("64k"), none when empty.
    explicit download_test_env(const std::string& rate = std::string());
    ~download_test_env();

    bool nginx_ok() const { return m_nginx_ok; }
    test_support::NginxServer& nginx() { return *m_nginx; }
    const isolated_env& env() const { return m_env; }
    // The launcher's folder and where downloads land.
    std::string launcher_path() const { return m_env.root() + "/launcher/"; }
    std::string downloads() const { return m_env.root() + "/downloads"; }
    std::string www() const { return m_env.root() + "/www"; }

    // Generates a task, serves its seed, files and CDN answer; `version`
    // is its version step ("1-2"), `game` the game id of its line.
    served_task& add_task(std::uint64_t task_id, const std::string& version, const std::vector<std::uint64_t>& sizes,
                          int game = game_id);
    // Writes "/update_task/task_list.txt" with the lines of these tasks
    // (plus `extra` lines), and the md5task answer of each task's files.
    void publish(const std::vector<const served_task*>& tasks, const std::string& extra = std::string());
    // The configuration the update server ships.
    void publish_config(const std::string& text);

    // startService on its own thread; waits (bounded) for the port.
    bool start_service();
    // shutdownService and a bounded wait for startService to return.
    bool stop_service();
    std::uint16_t port() const { return m_port; }

    // One launcher command; the decoded reply.
    std::string command(const std::string& type, const fields& extra = {});
    // The "<name>value</name>" value of a reply's result list.
    static std::string item(const std::string& reply, const std::string& name);
    // True when the reply is a success (return='0').
    static bool ok(const std::string& reply);

    std::string service_log() const { return read_text(m_env.service_log()); }

private:
    isolated_env m_env;
    std::vector<std::unique_ptr<test_support::ScopedEnv>> m_vars;
    std::unique_ptr<test_support::NginxServer> m_nginx;
    bool m_nginx_ok = false;
    std::vector<std::unique_ptr<served_task>> m_tasks;
    std::unique_ptr<platform::Thread> m_thread;
    std::atomic<bool> m_returned{true};
    std::uint16_t m_port = 0;
};

// A service object that is built but not run, so the download manager's
// lines reach the service log of the test's folder ("vr_download_dll.log").
class logging_service {
public:
    explicit logging_service(int game_id);
    ~logging_service();
    logging_service(const logging_service&) = delete;
    logging_service& operator=(const logging_service&) = delete;

private:
    fagex::LogManager m_logs;
    platform::NamedEvent m_event;
    std::unique_ptr<NetService> m_service;
};

}   // namespace service_test
