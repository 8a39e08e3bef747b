// The task's CDN side: the CDN query that turns CDN URLs into HTTP peers,
// the random HTTP peer of the CDN thread, and the adapter through which
// the ranged-HTTP connections and the CDN thread reach the task.
#include "engine/cdn_thread.h"
#include "engine/cmd_event.h"
#include "engine/download_task.h"
#include "engine/engine_settings.h"
#include "engine/i_storage_manager.h"
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

    HttpGetOptions options;
    options.body_cap = kCdnReplyCap;
    options.total_ms = kCdnQueryTotalMs;
    options.cancel = &m_stopping;   // the task's stop ends the wait
    std::vector<char> body;
    if (const int code = http_get(url, options, body)) {
        // Asked again after a back-off: each failure tells why. An answer
        // refused for its size is an error of the server's making; an
        // unreachable server is routine offline.
        const std::string text = "cdn query of task " + std::to_string(m_task_id) +
                                 " failed: " + CdnQueryFailure(code) + "\n";
        ICmdEvent* event = GetCmdEvent();
        if (event && (code == 304 || code == 405))
            event->OnErrorOutput(text.c_str());
        else if (code != 4 && ClientLogEnabled())
            WriteClientLog(text);
        return false;
    }

    // The look-ups block: they run here, the task's lists are filled on
    // the I/O thread.
    auto found = std::make_shared<HttpFinds>();
    std::vector<PeerInfo> servers;
    if (body.size() > 7)
        ParseCdnAnswer(std::string_view(body.data(), body.size()), *found, servers);
    const std::vector<HttpPeerInfo> url_infos = found->infos;
    ExpandHttpServers(servers, url_infos, *found);
    if (m_stopping.load())
        return false;
    const bool gave_peers = !servers.empty();
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

void CDownload_Task::ParseCdnAnswer(std::string_view answer, HttpFinds& found, std::vector<PeerInfo>& servers)
{
    // One look-up per server, however many of its URLs the answer names.
    std::map<std::pair<std::string, std::uint16_t>, std::uint64_t> known;
    const bool logging = ClientLogEnabled();
    std::size_t urls = 0;
    while (!answer.empty() && !m_stopping.load()) {
        const std::size_t end = std::min(answer.find_first_of("\r\n"), answer.size());
        const std::string_view line = answer.substr(0, end);
        answer.remove_prefix(std::min(end + 1, answer.size()));
        if (line.empty() || line.size() > kMaxCdnUrlLength)
            continue;
        const std::string text(line);
        if (logging)
            WriteClientLog(">>>>==== url[" + text + "]\n");
        std::string host;
        std::string path;
        std::uint16_t port = 80;
        if (!CUtility::ParseUrl(text, host, port, path) || host.empty())
            continue;
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
    if (!proven.empty())
        peers.swap(proven);
    else if (!usable.empty())
        peers.swap(usable);
    out = peers[generator() % peers.size()];
    return true;
}
