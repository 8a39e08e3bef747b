// The task's CDN side: the CDN query that turns CDN URLs into HTTP peers,
// the random HTTP peer of the CDN thread, and the adapter through which
// the ranged-HTTP connections and the CDN thread reach the task.
#include "engine/cdn_thread.h"
#include "engine/cmd_event.h"
#include "engine/download_task.h"
#include "engine/engine_settings.h"
#include "engine/i_storage_manager.h"
#include "engine/p2sp_engine.h"
#include "fagex/fagexStringUtil.h"
#include "foundation/http_get.h"
#include "foundation/utility.h"
#include "net/conn/http_cdn_connection.h"
#include "net/conn/http_range_request.h"
#include "net/conn/x_connection.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "report/client_log.h"

#include <algorithm>
#include <map>
#include <memory>
#include <random>
#include <string_view>

namespace {

// A CDN answer may name every file of the largest task (one URL a file):
// it is bounded as the task list is.
constexpr std::size_t kCdnReplyCap = std::size_t(16) << 20;
// Servers (host and port) taken from one answer: each costs look-ups.
constexpr std::size_t kMaxCdnServers = 64;
constexpr std::size_t kMaxCdnUrlLength = 1024;
constexpr std::uint32_t kCdnQueryTotalMs = 15000;
// A CDN query that fails the same way again waits twice as long, up to
// the cap; a new failure or a good answer starts over.
constexpr std::uint32_t kCdnQueryBackoffMs = 2000;
constexpr std::uint32_t kCdnQueryBackoffMaxMs = 60000;
// Failing files a task reports at once (each its own URL).
constexpr std::size_t kMaxSourceProblems = 16;
// Failing files named in the front end's text.
constexpr std::size_t kShownSourceProblems = 3;
const char* const kCdnQueryKey = "cdn";

// A line of an answer, shown in a report: bounded, control characters out.
std::string shown_line(std::string_view line)
{
    std::string text;
    for (char c : line.substr(0, 200)) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
            text += c;
    }
    return line.size() > 200 ? text + "..." : text;
}

class task_range_adapter : public zeq::i_range_task {
public:
    explicit task_range_adapter(CDownload_Task* task) : m_task(task) {}

    std::uint64_t task_id() override { return m_task->GetTaskId(); }
    i_io_service* io_service() override { return m_task->GetIoService(); }
    std::uint32_t piece_size() override { return m_task->GetPieceSize(); }
    CBlockRequestMap* piece_picker() override { return m_task->GetPiecePicker(); }
    void request_continuous_blocks(BlockRequestQueue& out, std::uint32_t& count) override
    {
        m_task->RequestContinuousBlocks(out, count);
    }
    bool get_http_peer_info(std::uint64_t id, HttpPeerInfo& out) override { return m_task->GetHttpPeerInfo(id, out); }
    zeq::file_url_table::match find_file_url(const std::string& host, const std::string& file,
                                             const std::string& source_directory, std::string& url_path) override
    {
        return m_task->FindFileUrl(host, file, source_directory, url_path);
    }
    bool get_file_name_for_block(std::int32_t piece, std::string& name, std::int32_t& piece_in_file) override
    {
        return m_task->GetFileNameForBlock(piece, name, piece_in_file);
    }
    bool write_block(const BlockRequest& block) override
    {
        IStorageManager* storage = storage_manager();
        return storage && storage->WriteBlock(m_task->GetTaskId(), block);
    }
    std::shared_ptr<zeq::i_block_loan> lend_blocks(std::int32_t piece, std::int32_t offset,
                                                   std::uint32_t blocks) override
    {
        IStorageManager* storage = storage_manager();
        return storage ? storage->LendBlocks(m_task->GetTaskId(), piece, offset, blocks) : nullptr;
    }
    void count_block(std::uint8_t peer_type, std::uint32_t bytes) override
    {
        m_task->AddDownloadedBlockByPeerType(peer_type);
        m_task->AddHttpDownloadTotal(bytes);
        m_task->AddHttpDownloadBytes(bytes);
    }
    void add_release_request() override { m_task->AddReleaseRequest(); }
    std::uint32_t release_request_count() override { return m_task->GetReleaseRequestCount(); }
    void take_release_request() override { m_task->TakeReleaseRequest(); }
    void work_returned() override { m_task->WakeCdnThread(); }
    bool text_enabled() override { return m_task->GetCmdEvent() != nullptr; }
    void text_output(const std::string& text) override
    {
        if (ICmdEvent* event = m_task->GetCmdEvent())
            event->OnTextOutput(text.c_str());
    }
    bool is_stop_finished() override { return m_task->IsStopping() && m_task->IsStopFinished(); }
    void get_bitmap(std::vector<std::uint8_t>& bitmap) override
    {
        bitmap.clear();
        if (IStorageManager* storage = storage_manager())
            storage->GetBitmap(m_task->GetTaskId(), bitmap);
    }
    void remove_connection(int socket) override { m_task->RemoveConnection(socket); }
    void redial() override { m_task->DialHttpPeersNow(); }
    void inc_http_connection_count(const PeerInfo& peer) override { m_task->IncHttpConnectionCount(&peer); }
    void dec_http_connection_count(const PeerInfo& peer) override { m_task->DecHttpConnectionCount(&peer); }
    void set_http_connection_speed(int socket, float speed) override { m_task->SetHttpConnectionSpeed(socket, speed); }
    void remove_http_connection_speed(int socket) override { m_task->RemoveHttpConnectionSpeed(socket); }
    void report_source(const PeerInfo& peer, bool delivered) override
    {
        m_task->ReportHttpSource(peer.clientid, delivered);
    }
    void report_answer(const PeerInfo& peer, const std::string& file, const std::string& url_path,
                       const std::string& failure) override
    {
        m_task->ReportHttpAnswer(peer, file, url_path, failure);
    }
    std::uint32_t note_source_rate(std::uint32_t rate) override { return m_task->NoteHttpSourceRate(rate); }
    bool has_other_source(const PeerInfo& peer) override
    {
        std::vector<PeerInfo> peers;
        m_task->GetHttpPeerList().GetAll(peers);
        const std::uint64_t id = peer.clientid;
        return std::any_of(peers.begin(), peers.end(), [id](const PeerInfo& p) { return p.clientid != id; });
    }
    zeq::partial_blocks* partial_store() override { return &m_task->PartialBlocks(); }
    bool has_http_peers() override { return m_task->GetHttpPeerList().GetCount() > 0; }
    bool pick_http_peer(PeerInfo& out) override { return m_task->PickHttpPeer(out); }
    bool is_complete() override { return m_task->IsComplete(); }

private:
    IStorageManager* storage_manager()
    {
        IDownloadTaskOwner* owner = m_task->GetOwner();
        return owner ? owner->GetStorageManager() : nullptr;
    }

    CDownload_Task* m_task;
};

}   // namespace

std::unique_ptr<zeq::i_range_task> zeq::make_range_task(CDownload_Task* task)
{
    return std::make_unique<task_range_adapter>(task);
}

zeq::http_cdn_connection::http_cdn_connection(CDownload_Task* task, const PeerInfo& peer, std::uint8_t flag)
    : http_cdn_connection(nullptr, peer, flag, make_range_task(task))
{
}

CCdnThread::CCdnThread(CDownload_Task* task)
    : m_owned_task(zeq::make_range_task(task)), m_task(m_owned_task.get()), m_wake(std::make_shared<platform::Event>())
{
}

bool CDownload_Task::try_cdn_download()
{
    if (m_http_peers.GetCount() > 0)
        return false;
    std::string prefix;
    if (!g_Settings.Find("only_cdn_by_id", prefix)) {
        if (ICmdEvent* event = GetCmdEvent())
            event->OnErrorOutput("not find 'only_cdn_by_id' item, try_cdn_download() failed!\n");
        return false;
    }
    std::string url = prefix + std::to_string(m_task_id);
    if (url.find("http://") == std::string::npos)
        url = "http://" + url;
    {
        std::lock_guard<std::mutex> guard(m_source_lock);
        if (m_cdn_query_wait_ms != 0 && !platform::tick_reached(platform::tick_count(), m_cdn_query_next))
            return false;
    }

    HttpGetOptions options;
    options.body_cap = kCdnReplyCap;
    options.total_ms = kCdnQueryTotalMs;
    options.cancel = &m_stopping;   // the task's stop ends the wait
    std::vector<char> body;
    if (const int code = http_get(url, options, body)) {
        if (code == 4)
            return false;   // the task stops
        // Asked again after a back-off; each new failure is said once. An
        // unreachable server is routine offline: the client log has it,
        // not the task's problems.
        const std::string status = http_last_status_line();
        const std::string text = "the CDN query " + url + " failed: " + CdnQueryFailure(code) +
                                 (status.empty() ? std::string() : " (it answered '" + status + "')");
        if (code == 1) {
            // Tried again at the timer's pace: a server back from a blip (or
            // one a busy machine could not reach in time) is not held off.
            bool first = false;
            {
                std::lock_guard<std::mutex> guard(m_source_lock);
                first = !m_cdn_unreachable_said;
                m_cdn_unreachable_said = true;
            }
            if (first && ClientLogEnabled())
                WriteClientLog("cdn query of task " + std::to_string(m_task_id) + ": " + text + "\n");
            return false;
        }
        NoteCdnQuery(text);
        return false;
    }

    // The look-ups block: they run here, the task's lists are filled on
    // the I/O thread.
    {
        std::lock_guard<std::mutex> guard(m_source_lock);
        m_cdn_unreachable_said = false;
    }
    auto found = std::make_shared<HttpFinds>();
    std::vector<PeerInfo> servers;
    std::string unusable;
    if (body.size() > 7)
        ParseCdnAnswer(std::string_view(body.data(), body.size()), *found, servers, unusable);
    const std::vector<HttpPeerInfo> url_infos = found->infos;
    ExpandHttpServers(servers, url_infos, *found);
    if (m_stopping.load())
        return false;
    const bool gave_peers = !servers.empty();
    if (gave_peers)
        NoteCdnQuery(std::string());
    else if (!unusable.empty())
        NoteCdnQuery("the CDN answer of " + url + " gives no usable URL: " + unusable);
    else
        NoteCdnQuery("the CDN answer of " + url + " names no URL (" + std::to_string(body.size()) + " bytes)");
    PostToIo([found](CDownload_Task* task) {
        if (task)
            task->ApplyHttpFinds(*found);
    });
    return gave_peers;
}

std::string CDownload_Task::CdnQueryFailure(int code)
{
    switch (code) {
    case 304:
    case 405:
        return "the answer is larger than " + std::to_string(kCdnReplyCap) + " bytes";
    case 1:
        return "the server cannot be reached";
    case 201:
        return "the server did not answer 200";
    case 103:
    case 403:
        return "the server answered too slowly";
    default:
        return "the answer was not read whole (" + std::to_string(code) + ")";
    }
}

void CDownload_Task::ParseCdnAnswer(std::string_view answer, HttpFinds& found, std::vector<PeerInfo>& servers,
                                    std::string& unusable)
{
    const auto refuse = [&unusable](std::string_view line, const std::string& why) {
        if (unusable.empty())
            unusable = "line '" + shown_line(line) + "' cannot be used: " + why;
    };
    // One look-up per server, however many of its URLs the answer names.
    std::map<std::pair<std::string, std::uint16_t>, std::uint64_t> known;
    const bool logging = ClientLogEnabled();
    std::size_t urls = 0;
    while (!answer.empty() && !m_stopping.load()) {
        const std::size_t end = std::min(answer.find_first_of("\r\n"), answer.size());
        const std::string_view line = answer.substr(0, end);
        answer.remove_prefix(std::min(end + 1, answer.size()));
        if (line.empty())
            continue;
        if (line.size() > kMaxCdnUrlLength) {
            refuse(line, "it is longer than " + std::to_string(kMaxCdnUrlLength) + " characters");
            continue;
        }
        const std::string text(line);
        if (logging)
            WriteClientLog(">>>>==== url[" + text + "]\n");
        // "http:/host/..." would have "http" looked up as a host name.
        if (text.size() >= 5 && fagex::StringUtil::startsWith(text, "http:", true) &&
            !fagex::StringUtil::startsWith(text, "http://", true)) {
            refuse(line, "it does not start with http://");
            continue;
        }
        std::string host;
        std::string path;
        std::uint16_t port = 80;
        if (!CUtility::ParseUrl(text, host, port, path) || host.empty()) {
            refuse(line, "it names no host");
            continue;
        }
        auto server = known.find({host, port});
        if (server == known.end()) {
            if (known.size() >= kMaxCdnServers)
                continue;
            // The network-order address, as the host's expansion keys its
            // records: the URL's server is then one source, not two.
            const std::uint32_t address = platform::ipv4_from_host_order(x_connection::resolve_host(host));
            PeerInfo record{};
            record.clientid = HttpSourceId(address, port);
            record.publicip = address;
            record.publicport = port;
            record.peertype = PEERTYPE_HTTP;
            SetFixedText(record.hostname, host);
            server = known.emplace(std::make_pair(host, port), record.clientid).first;
            if (m_http_peers.Resolve(&record)) {
                found.records.push_back(record);
                servers.push_back(record);
            } else {
                refuse(line, "its host '" + shown_line(host) + "' is not known");
            }
        }
        HttpPeerInfo info;
        info.peerid = server->second;
        info.host = std::move(host);
        info.path = std::move(path);
        found.infos.push_back(std::move(info));
        ++urls;
    }
    if (urls > 0 && logging)
        WriteClientLog("cdn query of task " + std::to_string(m_task_id) + ": " + std::to_string(urls) + " urls, " +
                       std::to_string(known.size()) + " servers\n");
}

void CDownload_Task::WakeCdnThread()
{
    if (m_cdn_wake)
        m_cdn_wake->set();
}

bool CDownload_Task::PickHttpPeer(PeerInfo& out)
{
    std::vector<PeerInfo> peers;
    m_http_peers.GetAll(peers);
    if (peers.empty())
        return false;
    // Each connection draws on its own: several picks within one second
    // spread over the peers instead of all landing on the same one.
    thread_local std::minstd_rand generator(std::random_device{}() ^ platform::tick_count());
    // A source never handed out yet gets one connection before the others
    // take every run: otherwise the first source to answer would keep the
    // whole task and the rest of the list would never be tried.
    std::vector<PeerInfo> untried;
    {
        CScopedLock guard(m_http_conn_lock);
        for (const PeerInfo& p : peers) {
            const std::uint64_t id = p.clientid;   // a packed field: copied, not bound
            if (m_http_backoff.find(id) == m_http_backoff.end())
                untried.push_back(p);
        }
        if (!untried.empty()) {
            out = untried[generator() % untried.size()];
            const std::uint64_t id = out.clientid;
            m_http_backoff[id];   // handed out: judged by its answer from now on
            return true;
        }
    }
    // Then sources that answered, then those not in back-off; a silent
    // source holds no runs while a good one serves.
    std::vector<PeerInfo> proven;
    std::vector<PeerInfo> usable;
    for (const PeerInfo& p : peers) {
        if (HttpSourceProven(p.clientid))
            proven.push_back(p);
        else if (HttpSourceUsable(p.clientid))
            usable.push_back(p);
    }
    // Every source waits out its back-off (a refused file, a silent
    // server): none is dialled before it ends.
    if (!proven.empty())
        peers.swap(proven);
    else if (!usable.empty())
        peers.swap(usable);
    else
        return false;
    out = peers[generator() % peers.size()];
    return true;
}

void CDownload_Task::ReportHttpAnswer(const PeerInfo& peer, const std::string& file, const std::string& url_path,
                                      const std::string& failure)
{
    if (failure.empty() && !m_source_failing.load())
        return;
    const std::uint16_t port = peer.publicport;
    const std::string url = "http://" + FixedText(peer.hostname) +
                            (port == 80 || port == 0 ? std::string() : ":" + std::to_string(port)) + url_path;
    NoteSourceProblem(url, failure.empty() ? std::string() : "file " + file + " at " + url + ": " + failure);
}

void CDownload_Task::NoteCdnQuery(const std::string& problem)
{
    {
        std::lock_guard<std::mutex> guard(m_source_lock);
        const auto kept = m_source_problems.find(kCdnQueryKey);
        if (problem.empty())
            m_cdn_query_wait_ms = 0;
        else if (kept != m_source_problems.end() && kept->second == problem && m_cdn_query_wait_ms != 0)
            m_cdn_query_wait_ms = std::min(m_cdn_query_wait_ms * 2, kCdnQueryBackoffMaxMs);
        else
            m_cdn_query_wait_ms = kCdnQueryBackoffMs;
        m_cdn_query_next = platform::tick_count() + m_cdn_query_wait_ms;
    }
    NoteSourceProblem(kCdnQueryKey, problem);
}

void CDownload_Task::NoteSourceProblem(const std::string& key, const std::string& text)
{
    {
        std::lock_guard<std::mutex> guard(m_source_lock);
        const auto kept = m_source_problems.find(key);
        if (text.empty()) {
            if (kept == m_source_problems.end())
                return;
            m_source_problems.erase(kept);
        } else {
            if (kept != m_source_problems.end() && kept->second == text)
                return;
            if (kept == m_source_problems.end() && m_source_problems.size() >= kMaxSourceProblems)
                return;
            m_source_problems[key] = text;
        }
        ++m_source_generation;
        m_source_failing.store(!m_source_problems.empty());
    }
    ICmdEvent* sink = GetCmdEvent();
    if (!sink)
        return;
    const std::string id = std::to_string(m_task_id);
    if (!text.empty())
        sink->OnErrorOutput(("task " + id + ": " + text + "\n").c_str());
    else
        TextOutput("task " + id + ": " + key + " works again\n");
    // Two threads may report at once: whoever publishes looks again, so the
    // last text the front end gets is the current one.
    std::uint64_t published = 0;
    for (;;) {
        std::string summary;
        std::uint64_t generation = 0;
        {
            std::lock_guard<std::mutex> guard(m_source_lock);
            generation = m_source_generation;
            if (generation == published)
                return;
            std::size_t shown = 0;
            for (const auto& entry : m_source_problems) {
                if (shown++ == kShownSourceProblems) {
                    summary += "; and " + std::to_string(m_source_problems.size() - kShownSourceProblems) + " more";
                    break;
                }
                summary += (summary.empty() ? "" : "; ") + entry.second;
            }
        }
        sink->OnTaskInfo(m_task_id, summary.c_str(),
                         summary.empty() ? task_info_source_works : task_info_source_failing, 0, 0, 0);
        published = generation;
    }
}
