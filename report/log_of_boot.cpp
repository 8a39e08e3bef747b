#include "report/log_of_boot.h"

#include <cinttypes>
#include <cstdio>
#include <mutex>

#include "platform/paths.h"
#include "platform/tick.h"
#include "report/client_id.h"
#include "report/file_upload.h"
#include "report/server_address.h"

namespace {

constexpr const char* run_time_log_name = "p2sp_runtimelen.log";
constexpr const char* exception_log_name = "p2sp_exception.log";
// Uploads and appends stop growing a file past this size.
constexpr std::size_t max_file_bytes = 1u << 20;
constexpr std::uint32_t stop_bound_ms = 3000;

// Serialises appends and the post-upload emptying of both files.
std::mutex g_file_lock;

void append_line(const std::string& path, std::string line)
{
    if (line.empty() || line.back() != '\n')
        line += '\n';
    std::lock_guard<std::mutex> guard(g_file_lock);
    AppendToCappedFile(path, line, max_file_bytes);
}

}   // namespace

CLogOfBoot::CLogOfBoot(const std::string& folder)
    : m_folder(folder.empty() ? platform::log_dir() : folder), m_boot_time(platform::unix_time())
{
    const ServerAddress server = ServerAddressFromEnv("VR_BOOTLOG_SERVER", 5113);
    m_host = server.host;
    m_port = server.port;
}

CLogOfBoot::~CLogOfBoot()
{
    Stop();
}

std::string CLogOfBoot::RunTimeLogPath() const
{
    return platform::join_path(m_folder, run_time_log_name);
}

std::string CLogOfBoot::ExceptionLogPath() const
{
    return platform::join_path(m_folder, exception_log_name);
}

void CLogOfBoot::SetServer(const std::string& host, std::uint16_t port)
{
    // Only before Start: the pass reads the address without a lock.
    if (m_started.load())
        return;
    m_host = host;
    m_port = port;
}

bool CLogOfBoot::Start()
{
    if (m_started.exchange(true))
        return false;
    m_stop.store(false);
    if (!m_thread.start([this] { Pass(); }, "bootlog")) {
        return false;
    }
    return true;
}

void CLogOfBoot::Stop()
{
    m_stop.store(true);
    if (!m_thread.join_for(stop_bound_ms))
        m_thread.join();
    if (m_stopped.exchange(true))
        return;
    const std::int64_t end = platform::unix_time();
    char line[160];
    std::snprintf(line, sizeof line, "start=%" PRId64 ",end=%" PRId64 ",seconds=%" PRId64 ",clientid=%" PRIu64,
                  m_boot_time, end, end - m_boot_time, GetProcessClientId());
    append_line(RunTimeLogPath(), line);
}

void CLogOfBoot::WriteException(const std::string& text)
{
    append_line(ExceptionLogPath(), text);
}

bool CLogOfBoot::WaitDone(std::uint32_t ms)
{
    return m_thread.join_for(ms);
}

void CLogOfBoot::Pass()
{
    for (const char* name : {run_time_log_name, exception_log_name}) {
        if (m_stop.load())
            return;
        const std::string path = platform::join_path(m_folder, name);
        std::string contents;
        {
            std::lock_guard<std::mutex> guard(g_file_lock);
            if (!platform::read_file(path, contents, max_file_bytes) || contents.empty())
                continue;
        }
        if (!UploadLogFile(m_host, m_port, name, contents, GetProcessClientId(), &m_stop))
            continue;
        m_uploaded.fetch_add(1);
        // Drop what the server took; a line appended meanwhile stays.
        std::lock_guard<std::mutex> guard(g_file_lock);
        RemoveUploadedPrefix(path, contents);
    }
}
