// A download task's exchange with the CIS servers: the peer-list request
// and the reply, which feeds the host cache, the vpeer list and the HTTP
// peers, and decides whether a small task runs over HTTP only.
#include "engine/download_task.h"

#include "discovery/trace_host.h"
#include "engine/cmd_event.h"
#include "engine/engine_flags.h"
#include "engine/engine_settings.h"
#include "engine/i_channel_manager.h"
#include "engine/i_host_cache_manager.h"
#include "platform/debug_output.h"
#include "platform/socket.h"
#include "report/client_log.h"
#include "report/log_event.h"

#include <cstdlib>
#include <sstream>

namespace {

std::uint32_t Low(std::uint64_t v) { return static_cast<std::uint32_t>(v); }
std::uint32_t High(std::uint64_t v) { return static_cast<std::uint32_t>(v >> 32); }

} // namespace

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

bool CDownload_Task::IsPeerListRequestRunning() const { return m_cis && m_cis->IsLogonRunning(); }

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
    block << "从cis返回的peer: " << "peer count:" << peers.size() << "\n";
    for (const PeerInfo& p : peers) {
        block << p.clientid << " " << platform::ipv4_to_text(p.publicip) << " " << p.publicport << " "
              << platform::ipv4_to_text(p.natip) << " " << p.natport << " " << static_cast<int>(p.peertype)
              << "\n";
    }
    WriteClientLog(block.str());
}

std::map<std::uint64_t, VPeerInfo> CDownload_Task::KeepNewVpeers(const std::vector<VPeerInfo>& vpeers)
{
    std::ostringstream block;
    block << "从cis返回的vpeer: " << "vpeer count:" << vpeers.size() << "\n";
    std::map<std::uint64_t, VPeerInfo> kept;
    {
        CScopedLock guard(m_vpeer_lock);
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

    // Peers become host records without a parent; HTTP servers also join
    // the HTTP peer list (resolved there).
    std::vector<HostRecord> hosts;
    hosts.reserve(peers.size());
    for (const PeerInfo& p : peers) {
        if (m_stopping.load())
            return;
        HostRecord host{};
        host.peer = p;
        TerminateFixedText(host.peer.path);
        TerminateFixedText(host.peer.hostname);
        hosts.push_back(host);
        if (p.peertype == PEERTYPE_HTTP) {
            PeerInfo http = host.peer;
            if (m_http_peers.AddHttpPeer(&http))
                WakeCdnThread();
        }
    }
    LogCisPeers(peers);
    std::map<std::uint64_t, VPeerInfo> kept = KeepNewVpeers(vpeers);
    {
        std::ostringstream line;
        line << "从cis返回的httppeer: " << "httppeer count:" << http_peers.size() << "\n"
             << "从cis返回的peer sum count: " << peers.size() + vpeers.size() + http_peers.size() << "\n";
        WriteClientLog(line.str());
    }

    IChannelManager* channels = m_owner ? m_owner->GetChannelManager() : nullptr;
    IHostCacheManager* cache = m_owner ? m_owner->GetHostCacheManager() : nullptr;
    const std::uint64_t size = channels ? channels->GetTotalSizeOf(&m_task_id) : 0;
    const bool http_only = size < P2pSizeLimit() && m_http_peers.GetCount() > 0;
    if (!http_only) {
        {
            CScopedLock guard(m_vpeer_lock);
            for (const auto& entry : kept) {
                if (m_vpeers.size() >= kMaxVpeers)
                    break;
                m_vpeers.push_back(entry.second);
            }
        }
        if (cache && !hosts.empty())
            cache->AddHosts(m_task_id, hosts);
        for (const HostRecord& host : hosts)
            LogEvent(20, "LOG::LOG_PEER_NEW", Low(m_task_id), High(m_task_id), "%I64d,%d", host.peer.clientid,
                     static_cast<int>(host.peer.peertype));
    }
    std::size_t vpeer_count;
    {
        CScopedLock guard(m_vpeer_lock);
        vpeer_count = m_vpeers.size();
    }
    std::ostringstream mode;
    mode << (http_only ? "--FL--: HTTP下载 http peer [" : "--FL--: HTTP2P 下载 http peer [")
         << m_http_peers.GetCount() << "]," << "VPEER [" << vpeer_count << "]," << "NAT peer["
         << (cache ? cache->GetHostCount(&m_task_id) : 0) << "]\n";
    WriteClientLog(mode.str());

    AddHttpPeerInfos(http_peers);
    if (!m_stopping.load())
        ConnectHttpPeers(true);
}

void CDownload_Task::AddHttpPeerInfos(const std::vector<HttpPeerInfo>& infos)
{
    std::vector<std::string> announced;
    {
        CScopedLock guard(m_http_info_lock);
        for (const HttpPeerInfo& info : infos) {
            if (m_http_infos.size() >= kMaxHttpPeerInfos)
                break;
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

void CDownload_Task::GetHttpPeerInfoList(std::vector<HttpPeerInfo>& out)
{
    out.clear();
    CScopedLock guard(m_http_info_lock);
    out.reserve(m_http_infos.size());
    for (const auto& entry : m_http_infos)
        out.push_back(entry.second);
}
