// How a download task chooses the peers it talks to and gets connected
// sockets to them: the host, seeding, LAN and vpeer passes (asked of NAT
// traversal), the HTTP peer pass (dialled by the task), the adoption of
// connected sockets and the shared run of consecutive blocks of the HTTP
// and CDN connections.
#include "engine/download_task.h"

#include "discovery/lan_peer_discovery.h"
#include "discovery/nat_manager.h"
#include "picker/block_request_map.h"
#include "engine/i_host_cache_manager.h"
#include "engine/task_connection_makers.h"
#include "net/conn/http_cdn_connection.h"
#include "net/conn/peer_connection.h"
#include "net/io/live_connections.h"
#include "net/io/transfer_limits.h"
#include "platform/debug_output.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "report/log_event.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <sstream>

namespace {

x_connection* MakeHttpCdnConnection(CDownload_Task* task, const PeerInfo& peer, std::uint8_t passive)
{
    return new zeq::http_cdn_connection(task, peer, passive);
}

TaskConnectionMakers DefaultMakers()
{
    TaskConnectionMakers makers;
    makers.peer = &CreatePeerConnection;
    makers.http_cdn = &MakeHttpCdnConnection;
    makers.connect_http = &ConnectHttpPeer;
    return makers;
}

std::mutex g_makers_lock;   // guards g_makers
TaskConnectionMakers g_makers = DefaultMakers();

// A parent record of all zeros: the peer is asked of NAT traversal directly.
const PeerInfo kNoParent{};

std::uint32_t Low(std::uint64_t v)
{
    return static_cast<std::uint32_t>(v);
}
std::uint32_t High(std::uint64_t v)
{
    return static_cast<std::uint32_t>(v >> 32);
}

// Back-off of an HTTP source that failed without a block: doubles with
// each failure in a row, up to the maximum.
constexpr std::uint32_t kHttpSourceBackoffMs = 1000;
constexpr std::uint32_t kHttpSourceBackoffMaxMs = 30000;
// How long the fastest measured exchange speed stands as the yardstick.
constexpr std::uint32_t kBestRateMemoryMs = 5000;

std::uint32_t StampTick()
{
    const std::uint32_t now = platform::tick_count();
    return now == 0 ? 1 : now;
}

}   // namespace

void SetTaskConnectionMakers(const TaskConnectionMakers& makers)
{
    std::lock_guard<std::mutex> guard(g_makers_lock);
    g_makers = makers;
}

TaskConnectionMakers DefaultTaskConnectionMakers()
{
    return DefaultMakers();
}

TaskConnectionMakers GetTaskConnectionMakers()
{
    std::lock_guard<std::mutex> guard(g_makers_lock);
    return g_makers;
}

// ---- Adopting sockets ----

void CDownload_Task::CloseSocket(int socket)
{
    platform::socket_t s = socket;
    platform::close_socket(s);
}

void CDownload_Task::AddPeerSocket(int socket, const PeerInfo* peer, std::uint8_t passive)
{
    if (socket == platform::invalid_socket)
        return;
    if (!peer || live_connections::running(m_task_id) == 0 || !m_ready.load() || !m_connections) {
        CloseSocket(socket);
        return;
    }
    const TaskConnectionMakers makers = GetTaskConnectionMakers();
    x_connection* connection = nullptr;
    switch (peer->peertype) {
    case PEERTYPE_HTTP:
        // An HTTP server record is only reached through its type-4 expansion.
        break;
    case PEERTYPE_HTTP_CDN:
        if (makers.http_cdn)
            connection = makers.http_cdn(this, *peer, passive);
        break;
    case PEERTYPE_LAN:
        if (makers.peer)
            connection = makers.peer(this, *peer, 0);
        break;
    default:
        if (makers.peer)
            connection = makers.peer(this, *peer, passive);
        break;
    }
    if (!connection) {
        CloseSocket(socket);
        return;
    }
    // The set refuses (closing the socket) at 30 connections, for a client
    // id already connected, or once it is closing; it records accepted
    // peers through RecordConnectedPeer.
    m_connections->AddConnection(socket, connection);
}

void CDownload_Task::RecordConnectedPeer(const PeerInfo& peer)
{
    const std::uint64_t id = peer.clientid;   // a copy: the record is packed
    if (m_connected_peers.size() < kMaxConnectedPeers || m_connected_peers.count(id))
        m_connected_peers[id] = peer;
    if (PeerTypeCounter* c = CounterOf(peer.peertype))
        ++c->added;
}

std::size_t CDownload_Task::GetConnectedPeerCount() const
{
    return m_connected_peers.size();
}

bool CDownload_Task::IsConnected(std::uint64_t client_id)
{
    return m_connections && m_connections->HasClient(client_id);
}

// ---- Host passes ----

bool CDownload_Task::FindVpeer(std::uint64_t client_id, VPeerInfo& out) const
{
    for (const VPeerInfo& v : m_vpeers) {
        if (v.clientid == client_id) {
            out = v;
            return true;
        }
    }
    return false;
}

void CDownload_Task::NatToHost(const HostRecord& host)
{
    INatManager* nat = m_owner ? m_owner->GetNatManager() : nullptr;
    if (!nat)
        return;
    // A host another peer named (in a son list; the CIS names none with a
    // parent) is dialled at most once a minute for the task, however often
    // it is named: a peer cannot make the task dial a crowd again and again.
    if (host.parent.clientid != 0 && !m_conduct.TakeDial(host.peer, platform::tick_count()))
        return;
    // The parent's vpeer, when there is one, is the NAT server that passes
    // the request on to the peer behind NAT.
    std::uint32_t server_ip = 0;
    std::uint16_t server_port = 0;
    VPeerInfo vpeer;
    if (FindVpeer(host.parent.clientid, vpeer)) {
        server_ip = vpeer.ip;
        server_port = vpeer.port;
    }
    nat->NatToPeer(m_task_id, host.peer, &host.parent, server_ip, server_port);
    LogEvent(21, "LOG::LOG_PEER_NAT", Low(m_task_id), High(m_task_id), "%I64d %d", host.peer.clientid,
             static_cast<int>(host.peer.peertype));
}

void CDownload_Task::ConnectHostsWhileDownloading(std::uint32_t ref_ip)
{
    const std::size_t n = m_connections ? m_connections->GetCount() : 0;
    {
        std::ostringstream line;
        line << m_task_id << ",peers:" << n;
        platform::debug_output(line.str());
    }
    if (n >= kMaxConnections)
        return;
    std::vector<HostRecord> hosts;
    if (IHostCacheManager* cache = m_owner ? m_owner->GetHostCacheManager() : nullptr)
        cache->GetManyHost(m_task_id, hosts, ref_ip);
    if (hosts.empty()) {
        if (platform::tick_count() - m_last_request_tick >= 5000) {
            if (n < 5)
                RequestPeerList();
            m_last_request_tick = StampTick();
        }
        return;
    }
    const PeerInfo self = GetSelfPeerInfo();
    const std::uint64_t own_id = self.clientid;
    for (const HostRecord& host : hosts) {
        // A barred peer (late, or its blocks failed their checks) is not
        // dialled to be asked again.
        if (host.peer.clientid == own_id || IsConnected(host.peer.clientid) || IsPeerBarred(host.peer))
            continue;
        NatToHost(host);
    }
}

void CDownload_Task::SeedingPass(std::uint32_t ref_ip)
{
    const PeerInfo self = GetSelfPeerInfo();
    const std::uint8_t own_type = self.peertype;
    const std::uint32_t since = platform::tick_count() - m_last_request_tick;
    auto request_after = [this, since](std::uint32_t ms) {
        if (since >= ms) {
            RequestPeerList();
            m_last_request_tick = StampTick();
        }
    };
    if (own_type != PEERTYPE_NAT) {
        request_after(7200000);
        return;
    }
    // Behind NAT, other peers reach us only through our parents: look for
    // more of them until there are 10.
    INatManager* nat = m_owner ? m_owner->GetNatManager() : nullptr;
    std::vector<PeerInfo> parents;
    if (nat && nat->GetParentPeers(m_task_id, parents) >= 10) {
        request_after(7200000);
        return;
    }
    std::vector<HostRecord> hosts;
    if (IHostCacheManager* cache = m_owner ? m_owner->GetHostCacheManager() : nullptr)
        cache->GetManyHost(m_task_id, hosts, ref_ip);
    if (hosts.empty()) {
        request_after(600000);
        return;
    }
    static thread_local std::mt19937 shuffle_engine{std::random_device{}()};
    std::shuffle(hosts.begin(), hosts.end(), shuffle_engine);
    const std::uint64_t own_id = self.clientid;
    for (const HostRecord& host : hosts) {
        if (host.peer.clientid == own_id || host.peer.peertype == PEERTYPE_NAT || IsConnected(host.peer.clientid))
            continue;
        NatToHost(host);
    }
}

// ---- LAN and vpeer passes ----

void CDownload_Task::ConnectLanPeers()
{
    CLanPeerDiscovery* lan = CLanPeerDiscovery::GetInstance();
    INatManager* nat = m_owner ? m_owner->GetNatManager() : nullptr;
    if (!lan || !nat)
        return;
    std::map<std::uint64_t, LanPeer> peers;
    lan->GetPeers(m_task_id, peers);
    std::uint32_t asked = 0;
    for (const auto& entry : peers) {
        const LanPeer& lan_peer = entry.second;
        if (IsConnected(lan_peer.clientid))
            continue;
        if (asked >= 4 || lan->GetLanConnCount() > 5)
            break;
        PeerInfo info{};
        info.clientid = lan_peer.clientid;
        info.publicip = platform::parse_ipv4(lan_peer.ip);
        info.publicport = lan_peer.port;
        info.peertype = PEERTYPE_LAN;
        if (IsPeerBarred(info))
            continue;
        std::ostringstream line;
        line << "connect lan node,ip:" << lan_peer.ip << ",port:" << lan_peer.port << ",clientid:" << lan_peer.clientid
             << "\n";
        platform::debug_output(line.str());
        nat->NatToPeer(m_task_id, info, &kNoParent, info.publicip, lan_peer.port);
        ++asked;
    }
}

void CDownload_Task::ConnectVpeer(const VPeerInfo& vpeer)
{
    INatManager* nat = m_owner ? m_owner->GetNatManager() : nullptr;
    if (!nat)
        return;
    PeerInfo info{};
    info.clientid = vpeer.clientid;
    info.publicip = vpeer.ip;
    info.publicport = vpeer.port;
    info.peertype = vpeer.peertype;
    if (IsPeerBarred(info))
        return;
    std::memcpy(info.path, vpeer.path, sizeof(info.path));
    std::memcpy(info.hostname, vpeer.hostname, sizeof(info.hostname));
    TerminateFixedText(info.path);
    TerminateFixedText(info.hostname);
    nat->NatToPeer(m_task_id, info, &kNoParent, vpeer.ip, vpeer.port);
    std::ostringstream line;
    line << "CDownload_Task::OnTimerCheckToConnectVpeerList to connect vpeer,taskid:" << m_task_id
         << ",clientid:" << vpeer.clientid << ",ip:" << vpeer.ip << ",port:" << vpeer.port << "\n";
    platform::debug_output(line.str());
}

void CDownload_Task::OnTimerCheckToConnectVpeerList()
{
    if (!m_connections)
        return;
    const std::int64_t now = Now();
    const std::int64_t last = m_last_vpeer_check;
    if (now < last || now - last <= 10)
        return;
    // The task keeps no download speed of its own; the line says 0.
    platform::debug_output("CDownload_Task::OnTimerCheckToConnectVpeerList call,down speed:0");
    m_last_vpeer_check = now;

    const std::vector<VPeerInfo>& vpeers = m_vpeers;
    std::uint32_t cursor = m_vpeer_cursor;
    const std::size_t size = vpeers.size();
    if (size == 0)
        return;
    if (size < 3) {
        for (const VPeerInfo& v : vpeers) {
            if (!IsConnected(v.clientid))
                ConnectVpeer(v);
        }
        return;
    }
    // Round robin, three vpeers per pass: the next pass starts on the vpeer
    // where this one stopped.
    if (cursor >= size)
        cursor = 0;
    std::uint32_t asked = 0;
    for (std::size_t step = 0; step < size; ++step) {
        if (cursor >= size)
            cursor = 0;
        const VPeerInfo& v = vpeers[cursor];
        if (!IsConnected(v.clientid)) {
            ConnectVpeer(v);
            if (++asked == 3)
                break;
        }
        ++cursor;
    }
    m_vpeer_cursor = cursor;
}

std::vector<VPeerInfo> CDownload_Task::GetVpeers() const
{
    return m_vpeers;
}

// ---- HTTP peers ----

bool CDownload_Task::ResolveAll(const std::string& name, std::vector<std::uint32_t>& out) const
{
    out.clear();
    if (name.empty())
        return false;
    std::vector<std::uint32_t> found;
    CHttpPeerList::resolver resolve = m_resolver.load();
    const bool ok = resolve ? resolve(name, found) : platform::resolve_ipv4(name, found);
    if (!ok)
        return false;
    // Each address once, in ascending order of its dotted text.
    std::set<std::string> texts;
    for (std::uint32_t a : found)
        texts.insert(platform::ipv4_to_text(a));
    for (const std::string& t : texts)
        out.push_back(platform::parse_ipv4(t));
    return !out.empty();
}

void CDownload_Task::SetResolver(CHttpPeerList::resolver fn)
{
    m_resolver.store(fn);
    m_http_peers.SetResolver(fn);
}

void CDownload_Task::ConnectHttpPeers()
{
    std::vector<PeerInfo> peers;
    m_http_peers.GetAll(peers);
    for (const PeerInfo& r : peers) {
        if (m_stopping.load())
            return;
        TryConnectHttpPeer(r);
    }
}

void CDownload_Task::TryConnectHttpPeer(PeerInfo r)
{
    if (m_complete.load() || m_stopping.load())
        return;
    // An HTTP server record never becomes a connection (its expansion
    // does), so it is not dialled either.
    if (r.peertype == PEERTYPE_HTTP)
        return;
    // A source that failed (silent, refusing) waits out its back-off while
    // the others take its share.
    if (!HttpSourceUsable(r.clientid))
        return;
    const bool proven = HttpSourceProven(r.clientid);
    {
        CScopedLock guard(m_http_conn_lock);
        const std::uint64_t id = r.clientid;
        const auto found = m_http_counts.find(id);
        if (found != m_http_counts.end() && found->second >= kPerPeerHttpConnectionLimit)
            return;
        // A source that has not answered yet is probed by one connection.
        if (!proven && found != m_http_counts.end() && found->second >= 1)
            return;
        std::uint64_t sum = 0;
        for (const auto& entry : m_http_counts)
            sum += entry.second;
        const std::int32_t limit = transfer_limits::http_connection_limit().load();
        if (sum >= static_cast<std::uint64_t>(std::max<std::int32_t>(limit, 1)))
            return;
    }
    const TaskConnectionMakers makers = GetTaskConnectionMakers();
    if (!makers.connect_http)
        return;
    const int socket = makers.connect_http(r, r.publicport);
    if (socket == platform::invalid_socket)
        return;
    AdoptSocket(socket, r, 0);
}

void CDownload_Task::IncHttpConnectionCount(const PeerInfo* peer)
{
    if (!peer)
        return;
    CScopedLock guard(m_http_conn_lock);
    const std::uint64_t id = peer->clientid;
    ++m_http_counts[id];
}

void CDownload_Task::DecHttpConnectionCount(const PeerInfo* peer)
{
    if (!peer)
        return;
    CScopedLock guard(m_http_conn_lock);
    const std::uint64_t id = peer->clientid;
    const auto found = m_http_counts.find(id);
    if (found != m_http_counts.end() && found->second > 0)
        --found->second;
}

std::uint32_t CDownload_Task::GetHttpConnectionCount(std::uint64_t client_id) const
{
    CScopedLock guard(m_http_conn_lock);
    const auto found = m_http_counts.find(client_id);
    return found == m_http_counts.end() ? 0 : found->second;
}

bool CDownload_Task::SetHttpConnectionSpeed(int socket, float speed)
{
    {
        CScopedLock guard(m_http_conn_lock);
        if (speed > 0.001f) {
            m_http_speeds[socket] = speed;
            return true;
        }
        m_http_speeds.erase(socket);
    }
    // A connection that measured a stall makes every task open fewer HTTP
    // connections; at least one always stays allowed.
    auto& limit = transfer_limits::http_connection_limit();
    std::int32_t current = limit.load();
    while (current > 1 && !limit.compare_exchange_weak(current, current - 1)) {
    }
    return true;
}

void CDownload_Task::ReportHttpSource(std::uint64_t client_id, bool delivered)
{
    CScopedLock guard(m_http_conn_lock);
    SourceBackoff& b = m_http_backoff[client_id];
    b.proven = delivered;
    if (delivered) {
        b.failures = 0;
        b.until = 0;
        return;
    }
    b.failures = std::min<std::uint32_t>(b.failures + 1, 16);
    const std::uint32_t shift = std::min<std::uint32_t>(b.failures - 1, 5);
    b.until = platform::tick_count() + std::min<std::uint32_t>(kHttpSourceBackoffMs << shift, kHttpSourceBackoffMaxMs);
}

bool CDownload_Task::HttpSourceUsable(std::uint64_t client_id) const
{
    CScopedLock guard(m_http_conn_lock);
    const auto found = m_http_backoff.find(client_id);
    return found == m_http_backoff.end() || found->second.failures == 0 ||
           platform::tick_reached(platform::tick_count(), found->second.until);
}

std::uint32_t CDownload_Task::NoteHttpSourceRate(std::uint32_t rate)
{
    CScopedLock guard(m_http_conn_lock);
    const std::uint32_t now = platform::tick_count();
    if (rate >= m_best_rate || now - m_best_rate_tick > kBestRateMemoryMs) {
        m_best_rate = rate;
        m_best_rate_tick = now;
    }
    return m_best_rate;
}

bool CDownload_Task::HttpSourceProven(std::uint64_t client_id) const
{
    CScopedLock guard(m_http_conn_lock);
    const auto found = m_http_backoff.find(client_id);
    return found != m_http_backoff.end() && found->second.proven;
}

void CDownload_Task::RemoveHttpConnectionSpeed(int socket)
{
    CScopedLock guard(m_http_conn_lock);
    m_http_speeds.erase(socket);
}

std::size_t CDownload_Task::GetHttpSpeedCount() const
{
    CScopedLock guard(m_http_conn_lock);
    return m_http_speeds.size();
}

void CDownload_Task::RequestContinuousBlocks(BlockRequestQueue& out, std::uint32_t& count)
{
    out.clear();
    std::uint32_t moved = 0;
    {
        CScopedLock guard(m_run_lock);
        CBlockRequestMap* picker = GetPiecePicker();
        if (m_run.empty() && picker) {
            // Co-downloaders split the origin's work by their ids.
            picker->SetSelfId(GetSelfPeerInfo().clientid);
            picker->GetContinuousBlocks(m_run);
        }
        // A run taken before storage paused the task waits for it to go on.
        if (!m_run.empty() && !(picker && picker->IsPaused())) {
            moved = std::min<std::uint32_t>(count, static_cast<std::uint32_t>(m_run.size()));
            out.insert(out.end(), m_run.begin(), m_run.begin() + moved);
            m_run.erase(m_run.begin(), m_run.begin() + moved);
            count = moved;
        }
    }
    std::ostringstream line;
    line << "此次请求的连续块数是：" << moved << "\n";
    TextOutput(line.str());
}
