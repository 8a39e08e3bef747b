#include "report/down_data_log.h"

#include <atomic>
#include <cinttypes>
#include <cstdio>
#include <ctime>

#include "platform/paths.h"
#include "platform/tick.h"
#include "report/client_id.h"
#include "report/file_upload.h"
#include "report/server_address.h"

namespace {

constexpr const char* data_file_name = "p2sp1_datedowndata.log";
constexpr std::size_t max_file_bytes = 4u << 20;
constexpr std::size_t max_open_records = 4096;
constexpr std::uint32_t stop_bound_ms = 3000;

std::atomic<CDownDataLog*> g_instance{nullptr};

// Days since 1970 in local time, for "written on an earlier day".
long local_day(std::int64_t unix_seconds)
{
    const std::time_t t = static_cast<std::time_t>(unix_seconds);
    std::tm tm{};
    localtime_r(&t, &tm);
    return static_cast<long>(tm.tm_year) * 400 + tm.tm_yday;
}

std::string record_line(std::uint64_t task_id, std::int64_t start, std::int64_t end, std::uint64_t peer,
                        std::uint64_t peer2, std::uint64_t http)
{
    char line[256];
    std::snprintf(line, sizeof line,
                  "taskid=%" PRIu64 ",clientid=%" PRIu64 ",start=%" PRId64 ",end=%" PRId64 ",peer=%" PRIu64
                  ",peer2=%" PRIu64 ",http=%" PRIu64 "\n",
                  task_id, GetProcessClientId(), start, end, peer, peer2, http);
    return line;
}

}   // namespace

CDownDataLog::CDownDataLog(const std::string& folder)
    : m_path(platform::join_path(folder.empty() ? platform::log_dir() : folder, data_file_name))
{
    const ServerAddress server = ServerAddressFromEnv("VR_DATALOG_SERVER", 5113);
    m_host = server.host;
    m_port = server.port;
    g_instance.store(this, std::memory_order_release);
}

CDownDataLog::~CDownDataLog()
{
    CDownDataLog* self = this;
    g_instance.compare_exchange_strong(self, nullptr);
    m_stop.store(true);
    // The upload's waits are sliced against m_stop; the plain join backs the bound up.
    if (!m_upload.join_for(stop_bound_ms))
        m_upload.join();
}

CDownDataLog* CDownDataLog::GetInstance()
{
    return g_instance.load(std::memory_order_acquire);
}

CDownDataLog::Record* CDownDataLog::FindOrAdd(std::uint64_t task_id)
{
    auto found = m_records.find(task_id);
    if (found != m_records.end())
        return &found->second;
    // Tasks are few; the cap only guards against a caller gone wrong.
    if (m_records.size() >= max_open_records)
        return nullptr;
    Record& r = m_records[task_id];
    r.start = platform::unix_time();
    return &r;
}

void CDownDataLog::AddTask(std::uint64_t task_id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    FindOrAdd(task_id);
}

void CDownDataLog::AddPeerBytes(std::uint64_t task_id, std::uint64_t bytes)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (Record* r = FindOrAdd(task_id))
        r->peer += bytes;
}

void CDownDataLog::AddType2PeerBytes(std::uint64_t task_id, std::uint64_t bytes)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (Record* r = FindOrAdd(task_id))
        r->peer2 += bytes;
}

void CDownDataLog::AddHttpBytes(std::uint64_t task_id, std::uint64_t bytes)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (Record* r = FindOrAdd(task_id))
        r->http += bytes;
}

bool CDownDataLog::GetCounters(std::uint64_t task_id, std::uint64_t& peer, std::uint64_t& peer2,
                               std::uint64_t& http) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_records.find(task_id);
    if (found == m_records.end())
        return false;
    peer = found->second.peer;
    peer2 = found->second.peer2;
    http = found->second.http;
    return true;
}

void CDownDataLog::FinishTask(std::uint64_t task_id)
{
    Record r;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        const auto found = m_records.find(task_id);
        if (found == m_records.end())
            return;
        r = found->second;
        m_records.erase(found);
    }
    AppendLines(record_line(task_id, r.start, platform::unix_time(), r.peer, r.peer2, r.http));
}

void CDownDataLog::Flush()
{
    std::map<std::uint64_t, Record> records;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        records.swap(m_records);
    }
    const std::int64_t now = platform::unix_time();
    std::string lines;
    for (const auto& entry : records)
        lines += record_line(entry.first, entry.second.start, now, entry.second.peer, entry.second.peer2,
                             entry.second.http);
    if (!lines.empty())
        AppendLines(lines);
}

void CDownDataLog::AppendLines(const std::string& lines)
{
    std::lock_guard<std::mutex> guard(m_file_lock);
    AppendToCappedFile(m_path, lines, max_file_bytes);
}

bool CDownDataLog::CheckAndSend()
{
    const std::int64_t written = platform::last_write_time(m_path);
    if (written < 0 || platform::file_size(m_path) <= 0)
        return false;
    if (local_day(written) >= local_day(platform::unix_time()))
        return false;
    return StartUpload();
}

bool CDownDataLog::StartUpload()
{
    // One upload at a time; a finished earlier one leaves its handle to release.
    if (!m_upload.join_for(0))
        return false;
    m_stop.store(false);
    return m_upload.start([this] { UploadBody(); }, "downdata");
}

bool CDownDataLog::WaitUpload(std::uint32_t ms)
{
    return m_upload.join_for(ms);
}

void CDownDataLog::SetServer(const std::string& host, std::uint16_t port)
{
    std::lock_guard<std::mutex> guard(m_server_lock);
    m_host = host;
    m_port = port;
}

void CDownDataLog::UploadBody()
{
    std::string contents;
    {
        std::lock_guard<std::mutex> guard(m_file_lock);
        if (!platform::read_file(m_path, contents, max_file_bytes)) {
            m_last_upload_ok.store(false);
            return;
        }
    }
    std::string host;
    std::uint16_t port;
    {
        std::lock_guard<std::mutex> guard(m_server_lock);
        host = m_host;
        port = m_port;
    }
    const bool ok = !contents.empty() &&
                    UploadLogFile(host, port, data_file_name, contents, GetProcessClientId(), &m_stop);
    if (ok) {
        // Remove what was sent; lines appended during the upload stay.
        std::lock_guard<std::mutex> guard(m_file_lock);
        RemoveUploadedPrefix(m_path, contents);
    }
    m_last_upload_ok.store(ok);
}
