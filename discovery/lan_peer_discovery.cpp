#include "discovery/lan_peer_discovery.h"

#include <cstdlib>

#include "foundation/cmd_packet.h"
#include "platform/socket.h"
#include "platform/invariant.h"

namespace {

constexpr std::size_t kQuerySize = 16;
constexpr std::size_t kAnswerSize = 18;
constexpr std::uint32_t kPollMs = 100;
constexpr std::size_t kMaxPeersPerTask = 64;
constexpr std::size_t kMaxTasks = 1024;

std::atomic<CLanPeerDiscovery*> g_instance{nullptr};

platform::socket_t BindUdp(std::uint16_t port, bool broadcast)
{
    platform::socket_t s = platform::udp_socket();
    if (s == platform::invalid_socket)
        return s;
    platform::set_reuse_address(s, true);
    if (broadcast)
        platform::set_broadcast(s, true);
    if (platform::bind_ipv4(s, 0, port) != 0) {
        platform::close_socket(s);
        return s;
    }
    platform::set_non_blocking(s, true);
    return s;
}

std::uint16_t BoundPort(platform::socket_t s)
{
    std::uint32_t ip = 0;
    std::uint16_t port = 0;
    platform::local_endpoint(s, ip, port);
    return port;
}

}   // namespace

CLanPeerDiscovery::CLanPeerDiscovery()
{
    const char* target = std::getenv("VR_LAN_BROADCAST");
    m_target_ip = (target != nullptr && *target != '\0') ? target : "255.255.255.255";
    const char* answer_port = std::getenv("VR_LAN_ANSWER_PORT");
    if (answer_port != nullptr && *answer_port != '\0')
        m_answer_port = static_cast<std::uint16_t>(std::strtoul(answer_port, nullptr, 10));
}

CLanPeerDiscovery::~CLanPeerDiscovery()
{
    Stop();
    CLanPeerDiscovery* self = this;
    g_instance.compare_exchange_strong(self, nullptr);
}

CLanPeerDiscovery* CLanPeerDiscovery::GetInstance()
{
    return g_instance.load();
}

void CLanPeerDiscovery::SetInstance(CLanPeerDiscovery* instance)
{
    g_instance.store(instance);
}

void CLanPeerDiscovery::SetParams(std::uint64_t client_id, std::uint16_t port)
{
    m_client_id.store(client_id);
    m_listen_port.store(port);
}

void CLanPeerDiscovery::SetPorts(std::uint16_t answer_port, std::uint16_t query_port)
{
    m_answer_port = answer_port;
    m_query_port = query_port;
    m_target_port = query_port;
}

void CLanPeerDiscovery::SetQueryTarget(const std::string& ip, std::uint16_t port)
{
    std::lock_guard<std::mutex> guard(m_send_lock);
    m_target_ip = ip;
    m_target_port = port;
}

bool CLanPeerDiscovery::Start()
{
    if (m_running.load())
        return true;
    m_thread.join();
    {
        std::lock_guard<std::mutex> guard(m_send_lock);
        m_answer_socket = BindUdp(m_answer_port, true);
        m_query_socket = BindUdp(m_query_port, false);
    }
    if (m_answer_socket == platform::invalid_socket || m_query_socket == platform::invalid_socket) {
        CloseSockets();
        return false;
    }
    m_answer_port = BoundPort(m_answer_socket);
    m_query_port = BoundPort(m_query_socket);
    m_running.store(true);
    if (!m_thread.start([this] { Run(); }, "lan-discovery")) {
        m_running.store(false);
        CloseSockets();
        return false;
    }
    return true;
}

void CLanPeerDiscovery::Stop()
{
    m_running.store(false);
    m_thread.join();   // the loop polls the flag every 100 ms
    CloseSockets();
}

void CLanPeerDiscovery::CloseSockets()
{
    std::lock_guard<std::mutex> guard(m_send_lock);
    platform::close_socket(m_answer_socket);
    platform::close_socket(m_query_socket);
}

void CLanPeerDiscovery::AddTask(std::uint64_t task_id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_tasks.size() < kMaxTasks)
        m_tasks.insert(task_id);
}

void CLanPeerDiscovery::RemoveTask(std::uint64_t task_id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_tasks.erase(task_id);
    m_peers.erase(task_id);
    check_invariant();
}

void CLanPeerDiscovery::SendQuery(std::uint64_t task_id)
{
    if (!m_running.load())
        return;
    std::uint8_t query[kQuerySize];
    cmd_packet::store_u64(query, task_id);
    cmd_packet::store_u64(query + 8, m_client_id.load());
    std::lock_guard<std::mutex> guard(m_send_lock);   // Stop may be closing the socket
    // parse_ipv4 gives all ones for "255.255.255.255", the broadcast address.
    const std::uint32_t ip = platform::parse_ipv4(m_target_ip);
    std::uint32_t error = 0;
    platform::send_to(m_answer_socket, query, sizeof(query), ip, m_target_port, error);
}

void CLanPeerDiscovery::GetPeers(std::uint64_t task_id, std::map<std::uint64_t, LanPeer>& out) const
{
    out.clear();
    std::lock_guard<std::mutex> guard(m_lock);
    auto it = m_peers.find(task_id);
    if (it != m_peers.end())
        out = it->second;
}

void CLanPeerDiscovery::check_invariant() const
{
#if defined(VR_INVARIANTS)
    VR_INVARIANT(m_tasks.size() <= kMaxTasks);
    for (const auto& task : m_peers) {
        VR_INVARIANT(m_tasks.count(task.first) != 0);
        VR_INVARIANT(task.second.size() <= kMaxPeersPerTask);
    }
#endif
}

void CLanPeerDiscovery::IncLanConnCount()
{
    m_conn_count.fetch_add(1);
}

void CLanPeerDiscovery::DecLanConnCount()
{
    // The count of live connections: it cannot go below none.
    std::int32_t current = m_conn_count.load();
    while (current > 0 && !m_conn_count.compare_exchange_weak(current, current - 1)) {
    }
}

void CLanPeerDiscovery::Run()
{
    std::uint8_t buffer[64];
    while (m_running.load()) {
        bool idle = true;
        std::uint32_t ip = 0, error = 0;
        std::uint16_t port = 0;
        long n = platform::receive_from(m_query_socket, buffer, sizeof(buffer), &ip, &port, error);
        if (n > 0) {
            idle = false;
            if (static_cast<std::size_t>(n) == kQuerySize) {
                std::uint64_t task_id = cmd_packet::load_u64(buffer);
                std::uint64_t asker = cmd_packet::load_u64(buffer + 8);
                bool answer = false;
                const std::uint64_t self = m_client_id.load();
                if (asker != self) {
                    std::lock_guard<std::mutex> guard(m_lock);
                    answer = m_tasks.count(task_id) != 0;
                }
                if (answer) {
                    std::uint8_t reply[kAnswerSize];
                    cmd_packet::store_u64(reply, task_id);
                    cmd_packet::store_u64(reply + 8, self);
                    cmd_packet::store_u16(reply + 16, m_listen_port.load());
                    platform::send_to(m_query_socket, reply, sizeof(reply), ip, port, error);
                }
            }
        }
        n = platform::receive_from(m_answer_socket, buffer, sizeof(buffer), &ip, &port, error);
        if (n > 0) {
            idle = false;
            if (static_cast<std::size_t>(n) == kAnswerSize)
                HandleAnswer(buffer, ip);
        }
        if (idle) {
            platform::wait_readable(m_query_socket, kPollMs / 2);
            platform::wait_readable(m_answer_socket, kPollMs / 2);
        }
    }
}

void CLanPeerDiscovery::HandleAnswer(const std::uint8_t* data, std::uint32_t from_ip)
{
    LanPeer peer;
    const std::uint64_t task_id = cmd_packet::load_u64(data);
    peer.clientid = cmd_packet::load_u64(data + 8);
    peer.port = cmd_packet::load_u16(data + 16);
    peer.ip = platform::ipv4_to_text(from_ip);
    if (peer.clientid == m_client_id.load() || peer.port == 0)
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_tasks.count(task_id) == 0)
        return;   // an answer for a task we no longer run
    std::map<std::uint64_t, LanPeer>& peers = m_peers[task_id];
    if (peers.size() < kMaxPeersPerTask || peers.count(peer.clientid) != 0)
        peers[peer.clientid] = peer;
    check_invariant();
}
