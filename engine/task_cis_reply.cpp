// A download task's exchange with the CIS servers: the peer-list request
// and the reply, which feeds the host cache, the vpeer list and the HTTP
// peers, and decides whether a small task runs over HTTP only. The reply
// arrives on the CIS logon thread, which looks up the names it holds and
// posts the rest to the I/O thread; the hand-over to the I/O thread lives
// here too.
#include "engine/download_task.h"

#include "discovery/trace_host.h"
#include "engine/cmd_event.h"
#include "picker/block_request_map.h"
#include "engine/engine_flags.h"
#include "engine/engine_settings.h"
#include "engine/i_channel_manager.h"
#include "engine/i_host_cache_manager.h"
#include "net/io/io_error.h"
#include "net/io/iocp_io_service.h"
#include "platform/invariant.h"
#include "platform/debug_output.h"
#include "platform/socket.h"
#include "report/client_log.h"
#include "report/log_event.h"

#include <cstdlib>
#include <functional>
#include <memory>
#include <sstream>

namespace {

std::uint32_t Low(std::uint64_t v)
{
    return static_cast<std::uint32_t>(v);
}
std::uint32_t High(std::uint64_t v)
{
    return static_cast<std::uint32_t>(v >> 32);
}

// Work for the I/O thread; it owns what it carries.
struct PostedWork {
    std::shared_ptr<CDownload_Task*> task;
    std::function<void(CDownload_Task*)> apply;
};

}   // namespace

// A CIS reply as the I/O thread applies it: plain values, the names of its
// HTTP servers already looked up.
struct CDownload_Task::CisReply {
    std::vector<PeerInfo> peers;   // texts terminated
    std::vector<VPeerInfo> vpeers;
    std::vector<HttpPeerInfo> http_peers;
    std::vector<PeerInfo> http_servers;   // the type-3 peers that resolved
    HttpFinds expanded;                   // their type-4 records
};

// ---- Hand-over to the I/O thread ----

bool CDownload_Task::PostToIo(std::function<void(CDownload_Task*)> apply)
{
    if (!m_io) {
        // No I/O service (a task built on its own): the caller is the
        // task's only thread.
        apply(this);
        return true;
    }
    auto* work = new PostedWork{m_self, std::move(apply)};
    if (m_io->post(&CDownload_Task::OnPosted, work) != 0) {
        // The session is shutting down: the work lets go of what it holds.
        work->apply(nullptr);
        delete work;
        return false;
    }
    return true;
}

void CDownload_Task::OnPosted(void* context, const i_error_code& error)
{
    std::unique_ptr<PostedWork> work(static_cast<PostedWork*>(context));
    // Cancelled at teardown, or the task was deleted after the post (the
    // deletion runs on this thread too): the work finds no task.
    work->apply(error ? nullptr : *work->task);
}

void CDownload_Task::AdoptSocket(int socket, const PeerInfo& peer, std::uint8_t passive)
{
    if (OnIoThread()) {
        AddPeerSocket(socket, &peer, passive);
        return;
    }
    PostToIo([socket, peer, passive](CDownload_Task* task) {
        if (task) {
            task->AddPeerSocket(socket, &peer, passive);
        } else {
            platform::socket_t s = socket;
            platform::close_socket(s);
        }
    });
}

bool CDownload_Task::OnIoThread() const
{
    return !m_io || m_io->impl().on_io_thread();
}

void CDownload_Task::ExpandHttpServers(const std::vector<PeerInfo>& servers, const std::vector<HttpPeerInfo>& known,
                                       HttpFinds& out)
{
    for (const PeerInfo& r : servers) {
        // A stored information record wins over one of the same id still on
        // its way: the first one stays.
        HttpPeerInfo info;
        if (!GetHttpPeerInfo(r.clientid, info)) {
            for (const HttpPeerInfo& k : known) {
                if (k.peerid == r.clientid) {
                    info = k;
                    break;
                }
            }
        }
        std::vector<std::uint32_t> addresses;
        ResolveAll(info.host, addresses);
        const std::string host_name = FixedText(r.hostname);
        for (std::uint32_t address : addresses) {
            if (m_stopping.load())
                return;
            PeerInfo n{};
            n.peertype = PEERTYPE_HTTP_CDN;
            n.publicport = r.publicport;
            n.publicip = address;
            SetFixedText(n.path, platform::ipv4_to_text(address));
            SetFixedText(n.hostname, host_name);
            n.clientid = HttpSourceId(address, r.publicport);

            HttpPeerInfo expanded;
            expanded.peerid = n.clientid;
            expanded.host = info.host;
            expanded.path = info.path;
            out.infos.push_back(expanded);
            if (m_http_peers.Resolve(&n))
                out.records.push_back(n);
        }
    }
}

void CDownload_Task::ApplyHttpFinds(const HttpFinds& finds)
{
    VR_INVARIANT(OnIoThread());
    if (m_stopping.load())
        return;
    AddHttpPeerInfos(finds.infos);
    bool added = false;
    for (const PeerInfo& r : finds.records)
        added = m_http_peers.Insert(r) || added;
    if (added)
        StartHttpWork();
    // Dialling blocks, so timer 1 does it; it need not wait for its period.
    if (!finds.records.empty())
        m_timer.FireNow(kTimerHttp);
}

void CDownload_Task::RequestPeerList()
{
    if (m_stopping.load() || !m_owner)
        return;
    if (!engine_flags::index_servers_usable()) {
        // The CDN query stands in for the CIS while the index servers are
        // unusable; it blocks on the network, so timer 1 runs it (paced)
        // rather than this thread, which may be the session's I/O thread.
        return;
    }
    const PeerInfo self = GetSelfPeerInfo();
    CisLogonParam param;
    param.clientid = self.clientid;
    param.taskid = m_task_id;
    param.peertype = self.peertype;
    param.listenport = m_owner->GetListenPort();
    m_cis->StartLogon(param, m_owner->GetCisList(), 100, 0xFFFFFFFFu);
}

bool CDownload_Task::IsPeerListRequestRunning() const
{
    return m_cis && m_cis->IsLogonRunning();
}

void CDownload_Task::OnCisConnectionNotify(std::uint32_t code, std::uint32_t value)
{
    (void)code;
    (void)value;
}

void CDownload_Task::OnCisMessage(const char* text, std::uint32_t code)
{
    ICmdEvent* sink = GetCmdEvent();
    if (!sink || !text)
        return;
    sink->OnTaskMessage(text, code);
    if (code == 3)
        sink->OnTextOutput(text);
}

std::uint64_t CDownload_Task::P2pSizeLimit() const
{
    std::string value;
    if (!g_Settings.Find("limit_use_p2p_size", value))
        return kDefaultP2pSizeLimit;
    // Text that is not a number gives 0: every task then runs HTTP and P2P.
    return std::strtoull(value.c_str(), nullptr, 10);
}

void CDownload_Task::LogCisPeers(const std::vector<PeerInfo>& peers)
{
    std::ostringstream block;
    block << "从cis返回的peer: "
          << "peer count:" << peers.size() << "\n";
    for (const PeerInfo& p : peers) {
        block << p.clientid << " " << platform::ipv4_to_text(p.publicip) << " " << p.publicport << " "
              << platform::ipv4_to_text(p.natip) << " " << p.natport << " " << static_cast<int>(p.peertype) << "\n";
    }
    WriteClientLog(block.str());
}

std::map<std::uint64_t, VPeerInfo> CDownload_Task::KeepNewVpeers(const std::vector<VPeerInfo>& vpeers)
{
    std::ostringstream block;
    block << "从cis返回的vpeer: "
          << "vpeer count:" << vpeers.size() << "\n";
    std::map<std::uint64_t, VPeerInfo> kept;
    {
        for (const VPeerInfo& v : vpeers) {
            block << v.clientid << " " << platform::ipv4_to_text(v.ip) << " " << v.port << "\n";
            bool known = false;
            for (const VPeerInfo& have : m_vpeers) {
                if (have.clientid == v.clientid) {
                    known = true;
                    break;
                }
            }
            if (known)
                continue;
            VPeerInfo copy = v;
            TerminateFixedText(copy.path);
            TerminateFixedText(copy.hostname);
            const std::uint64_t id = v.clientid;   // a copy: the record is packed
            kept[id] = copy;
        }
    }
    WriteClientLog(block.str());
    return kept;
}

void CDownload_Task::OnCisConnectionCompleted(std::uint32_t result, const std::vector<PeerInfo>& peers,
                                              const std::vector<VPeerInfo>& vpeers,
                                              const std::vector<HttpPeerInfo>& http_peers, std::uint32_t status)
{
    // A logon cut short by a stop says nothing about the servers, and a
    // stopping task takes nothing more from them.
    if (m_stopping.load() || result == CIS_STOPPED)
        return;
    if (result != 0 || status != 0) {
        engine_flags::index_servers_failed();
        if (CBlockRequestMap* picker = GetPiecePicker())
            picker->SetPeersExpected(false);
        std::ostringstream line;
        line << "CDownload_Task::OnCisConnectionCompleted dwResult[" << result << "]\n";
        WriteClientLog(line.str());
        return;
    }
    engine_flags::index_servers_answered();

    const PeerInfo self = GetSelfPeerInfo();
    if (self.peertype == PEERTYPE_SP && m_owner)
        CTraceHost::SendRouteTable(m_task_id, self.clientid, m_owner->GetCisList());
    else
        platform::debug_output("Self is not PEERTYPE_SP, do not send trace routetable");

    // The name look-ups block: they run here, the task's state is changed
    // on the I/O thread.
    auto reply = std::make_shared<CisReply>();
    reply->peers.reserve(peers.size());
    for (const PeerInfo& p : peers) {
        if (m_stopping.load())
            return;
        PeerInfo peer = p;
        TerminateFixedText(peer.path);
        TerminateFixedText(peer.hostname);
        reply->peers.push_back(peer);
        if (p.peertype == PEERTYPE_HTTP && m_http_peers.Resolve(&peer))
            reply->http_servers.push_back(peer);
    }
    reply->vpeers = vpeers;
    reply->http_peers = http_peers;
    ExpandHttpServers(reply->http_servers, http_peers, reply->expanded);
    if (m_stopping.load())
        return;
    PostToIo([reply](CDownload_Task* task) {
        if (task)
            task->ApplyCisReply(*reply);
    });
}

void CDownload_Task::ApplyCisReply(const CisReply& reply)
{
    VR_INVARIANT(OnIoThread());
    if (m_stopping.load())
        return;
    const std::vector<PeerInfo>& peers = reply.peers;
    // Peers become host records without a parent; HTTP servers also join
    // the HTTP peer list.
    std::vector<HostRecord> hosts;
    hosts.reserve(peers.size());
    for (const PeerInfo& p : peers) {
        HostRecord host{};
        host.peer = p;
        hosts.push_back(host);
    }
    bool servers_added = false;
    for (const PeerInfo& r : reply.http_servers)
        servers_added = m_http_peers.Insert(r) || servers_added;
    if (servers_added)
        StartHttpWork();
    LogCisPeers(peers);
    std::map<std::uint64_t, VPeerInfo> kept = KeepNewVpeers(reply.vpeers);
    {
        std::ostringstream line;
        line << "从cis返回的httppeer: "
             << "httppeer count:" << reply.http_peers.size() << "\n"
             << "从cis返回的peer sum count: " << peers.size() + reply.vpeers.size() + reply.http_peers.size() << "\n";
        WriteClientLog(line.str());
    }

    IChannelManager* channels = m_owner ? m_owner->GetChannelManager() : nullptr;
    IHostCacheManager* cache = m_owner ? m_owner->GetHostCacheManager() : nullptr;
    const std::uint64_t size = channels ? channels->GetTotalSizeOf(&m_task_id) : 0;
    const bool http_only = size < P2pSizeLimit() && m_http_peers.GetCount() > 0;
    if (!http_only) {
        for (const auto& entry : kept) {
            if (m_vpeers.size() >= kMaxVpeers)
                break;
            m_vpeers.push_back(entry.second);
        }
        if (cache && !hosts.empty())
            cache->AddHosts(m_task_id, hosts);
        for (const HostRecord& host : hosts)
            LogEvent(20, "LOG::LOG_PEER_NEW", Low(m_task_id), High(m_task_id), "%I64d,%d", host.peer.clientid,
                     static_cast<int>(host.peer.peertype));
    }
    std::ostringstream mode;
    mode << (http_only ? "--FL--: HTTP下载 http peer [" : "--FL--: HTTP2P 下载 http peer [") << m_http_peers.GetCount()
         << "],"
         << "VPEER [" << m_vpeers.size() << "],"
         << "NAT peer[" << (cache ? cache->GetHostCount(&m_task_id) : 0) << "]\n";
    WriteClientLog(mode.str());

    AddHttpPeerInfos(reply.http_peers);
    ApplyHttpFinds(reply.expanded);
    // The peers named are asked for now rather than at the next tick, as
    // the tick's downloading pass would (so the task counts as downloading).
    CBlockRequestMap* picker = GetPiecePicker();
    if (picker)
        picker->SetPeersExpected(!http_only && !hosts.empty());
    if (!http_only && !hosts.empty() && !m_complete.load() && !m_finished.load() &&
        !(picker && picker->IsDownloadComplete())) {
        m_downloaded = true;
        ConnectHostsWhileDownloading(GetSelfPeerInfo().publicip);
    }
}

void CDownload_Task::AddHttpPeerInfos(const std::vector<HttpPeerInfo>& infos)
{
    std::vector<std::string> announced;
    {
        CScopedLock guard(m_http_info_lock);
        for (const HttpPeerInfo& info : infos) {
            m_file_urls.add(info.host, info.path);
            if (m_http_infos.size() >= kMaxHttpPeerInfos)
                continue;
            if (!m_http_infos.emplace(info.peerid, info).second)
                continue;
            std::ostringstream line;
            line << "http peer,id:" << info.peerid << ",host:" << info.host << ",path:" << info.path;
            announced.push_back(line.str());
        }
    }
    for (const std::string& line : announced)
        TextOutput(line);
}

bool CDownload_Task::GetHttpPeerInfo(std::uint64_t id, HttpPeerInfo& out)
{
    CScopedLock guard(m_http_info_lock);
    const auto found = m_http_infos.find(id);
    if (found == m_http_infos.end())
        return false;
    out = found->second;
    return true;
}

zeq::file_url_table::match CDownload_Task::FindFileUrl(const std::string& host, const std::string& file,
                                                       const std::string& source_directory, std::string& url_path) const
{
    CScopedLock guard(m_http_info_lock);
    return m_file_urls.find(host, file, source_directory, url_path);
}

void CDownload_Task::GetHttpPeerInfoList(std::vector<HttpPeerInfo>& out)
{
    out.clear();
    CScopedLock guard(m_http_info_lock);
    out.reserve(m_http_infos.size());
    for (const auto& entry : m_http_infos)
        out.push_back(entry.second);
}
