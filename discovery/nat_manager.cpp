#include "discovery/nat_manager.h"

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <new>
#include <sstream>
#include <utility>
#include <vector>

#include "discovery/nat_client.h"
#include "discovery/nat_listen.h"
#include "discovery/nat_protocol.h"
#include "discovery/nat_server.h"
#include "discovery/packet_channel.h"
#include "foundation/cmd_packet.h"
#include "platform/debug_output.h"
#include "platform/error_codes.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/tick.h"

namespace {

using discovery::NatMessage;
using discovery::PacketChannel;

constexpr std::uint32_t kConnectMs = 3000;
constexpr std::uint32_t kHandshakeMs = 5000;
constexpr std::uint32_t kConnectBackWaitMs = 15000;
constexpr std::uint32_t kPollMs = 100;
constexpr std::size_t kWorkerCount = 4;
constexpr std::size_t kMaxJobs = 64;
// Accepted connections whose first message the accept thread waits for at
// once (one poll with the listener); a newcomer beyond them pushes the
// oldest out.
constexpr std::size_t kMaxFirstReads = 63;

struct Job {
    enum Kind { dial, request, connect_back, accepted } kind = dial;
    std::uint64_t task_id = 0;
    PeerInfo peer{};        // target / requester
    std::uint32_t ip = 0;   // where to connect, network order
    std::uint16_t port = 0;
    std::uint32_t request_id = 0;
    platform::socket_t socket = platform::invalid_socket;   // accepted
    std::uint32_t from_ip = 0;                              // accepted: remote address
    std::vector<std::uint8_t> packet;                       // accepted: its first message
};

// An accepted connection whose first message is still coming in.
struct FirstRead {
    platform::socket_t socket = platform::invalid_socket;
    std::uint32_t from_ip = 0;
    std::uint32_t deadline = 0;   // tick
    std::vector<std::uint8_t> bytes;
};

std::string PeerText(const PeerInfo& p)
{
    std::ostringstream text;
    text << "clientid=" << p.clientid << " " << platform::ipv4_to_text(p.publicip) << ":" << p.publicport
         << " type=" << static_cast<int>(p.peertype);
    return text.str();
}

class CNatManager : public INatManager {
public:
    CNatManager() = default;
    ~CNatManager() override { Stop(); }

    bool Start(std::uint16_t* listen_port, PeerInfo self, INatManagerEvent* sink) override;
    void Stop() override;
    void SetSelf(const PeerInfo& self) override;
    void NatToPeer(std::uint64_t task_id, PeerInfo target, const PeerInfo* parent, std::uint32_t nat_server_ip,
                   std::uint16_t nat_server_port) override;
    void AddParentPeer(std::uint64_t task_id, PeerInfo peer) override;
    void AddSonPeer(std::uint64_t task_id, PeerInfo peer) override;
    int GetParentPeers(std::uint64_t task_id, std::vector<PeerInfo>& out) override;
    int GetSonPeers(std::uint64_t task_id, std::vector<PeerInfo>& out) override;

private:
    void AcceptLoop();
    // The accept thread's parts: take a connection (false when none
    // waits), read on at one whose first message is coming (true while it
    // goes on), drop one.
    bool AcceptOne(std::uint32_t now);
    bool ReadFirst(FirstRead& pending);
    void DropFirst(FirstRead& pending, const char* why);
    void UdpLoop();
    void TimerLoop();
    void WorkerLoop();
    bool Enqueue(Job job);
    void RunDial(Job& job, std::uint8_t kind);
    void RunRequest(Job& job);
    void RunAccepted(Job& job);
    void HandleDatagram(const std::uint8_t* data, std::size_t size, std::uint32_t from_ip, std::uint16_t from_port);
    bool DialAndGreet(PacketChannel& channel, const Job& job, std::uint8_t kind, PeerInfo& acceptor);
    void Notify(const std::string& text, std::uint32_t code);
    void SendDatagram(const NatMessage& message, std::uint32_t ip, std::uint16_t port);
    PeerInfo SelfRecord() const;
    bool Stopping() const { return m_stop.load(); }

    std::atomic<bool> m_started{false};
    std::atomic<bool> m_stop{false};
    INatManagerEvent* m_sink = nullptr;
    mutable std::mutex m_self_lock;   // guards m_self
    PeerInfo m_self{};
    std::uint16_t m_port = 0;
    CNatListen m_listen;
    CNatServer m_server;   // our sons
    CNatClient m_client;   // our parents and our requests
    std::atomic<std::uint32_t> m_next_request{1};

    std::mutex m_queue_lock;   // guards m_jobs
    std::condition_variable m_queue_cond;
    std::deque<Job> m_jobs;

    std::vector<FirstRead> m_first_reads;   // the accept thread's alone, oldest first
    platform::Thread m_accept_thread;
    platform::Thread m_udp_thread;
    platform::Thread m_timer_thread;
    platform::Thread m_workers[kWorkerCount];
};

bool CNatManager::Start(std::uint16_t* listen_port, PeerInfo self, INatManagerEvent* sink)
{
    if (m_started.load() || m_stop.load() || sink == nullptr)
        return false;
    m_sink = sink;
    SetSelf(self);
    if (!m_listen.Bind(listen_port != nullptr ? *listen_port : 0)) {
        Notify("NAT server: cannot bind the listen port", NAT_NOTIFY_FAILED);
        return false;
    }
    m_port = m_listen.Port();
    if (listen_port != nullptr)
        *listen_port = m_port;
    m_started.store(true);
    bool ok = m_accept_thread.start([this] { AcceptLoop(); }, "nat-accept") &&
              m_udp_thread.start([this] { UdpLoop(); }, "nat-udp") &&
              m_timer_thread.start([this] { TimerLoop(); }, "nat-timer");
    for (auto& worker : m_workers)
        ok = ok && worker.start([this] { WorkerLoop(); }, "nat-worker");
    if (!ok) {
        Stop();
        return false;
    }
    Notify("NAT server listening on port " + std::to_string(m_port), NAT_NOTIFY_INFO);
    return true;
}

void CNatManager::Stop()
{
    m_stop.store(true);
    m_queue_cond.notify_all();
    m_accept_thread.join();
    m_udp_thread.join();
    m_timer_thread.join();
    for (auto& worker : m_workers)
        worker.join();
    std::deque<Job> left;
    {
        std::lock_guard<std::mutex> guard(m_queue_lock);
        left.swap(m_jobs);
    }
    for (Job& job : left)
        platform::close_socket(job.socket);
    m_listen.Close();
    m_client.ClearRequests();
}

void CNatManager::SetSelf(const PeerInfo& self)
{
    std::lock_guard<std::mutex> guard(m_self_lock);
    m_self = self;
}

PeerInfo CNatManager::SelfRecord() const
{
    PeerInfo self;
    {
        std::lock_guard<std::mutex> guard(m_self_lock);
        self = m_self;
    }
    self.publicport = m_port;
    self.natport = m_port;
    return self;
}

void CNatManager::Notify(const std::string& text, std::uint32_t code)
{
    platform::debug_output(text + "\n");
    if (m_sink != nullptr)
        m_sink->OnNatNotify(text.c_str(), code);
}

bool CNatManager::Enqueue(Job job)
{
    std::lock_guard<std::mutex> guard(m_queue_lock);
    if (m_stop.load() || m_jobs.size() >= kMaxJobs)
        return false;
    m_jobs.push_back(std::move(job));
    m_queue_cond.notify_one();
    return true;
}

void CNatManager::NatToPeer(std::uint64_t task_id, PeerInfo target, const PeerInfo* parent, std::uint32_t nat_server_ip,
                            std::uint16_t nat_server_port)
{
    if (parent != nullptr) {
        char line[512];
        std::snprintf(line, sizeof(line),
                      "NatToPeer called: task_id=%lld,toPeerInfo.clientid=%lld, toPeerInfo.publicip=%u, "
                      "toPeerInfo.publicport=%d, toPeerInfo.natip=%u, toPeerInfo.natport=%d, "
                      "pcParentPeerInfo->clientid=%lld, pcParentPeerInfo->publicip=%u, "
                      "pcParentPeerInfo->publicport=%d, dwNatSvrIp=%u, wNatSvrPort=%d.\n",
                      static_cast<long long>(task_id), static_cast<long long>(target.clientid), target.publicip,
                      target.publicport, target.natip, target.natport, static_cast<long long>(parent->clientid),
                      parent->publicip, parent->publicport, nat_server_ip, nat_server_port);
        platform::debug_output(line);
    }
    if (!m_started.load() || m_stop.load())
        return;
    if (target.peertype == PEERTYPE_NAT && parent == nullptr)
        return;

    Job job;
    job.task_id = task_id;
    job.peer = target;
    if (target.peertype != PEERTYPE_NAT) {
        job.kind = Job::dial;
        job.ip = target.publicip;
        job.port = target.publicport;
    } else {
        job.kind = Job::request;
        job.ip = nat_server_ip;
        job.port = nat_server_port;
        job.request_id = m_next_request.fetch_add(1);
    }
    if (job.ip == 0 || job.port == 0) {
        Notify("NatToPeer: no address to reach " + PeerText(target), NAT_NOTIFY_FAILED);
        return;
    }
    if (!m_client.BeginNatting(task_id, target.clientid)) {
        Notify("This peer is currently being natted.", NAT_NOTIFY_INFO);
        return;
    }
    if (!Enqueue(job)) {
        m_client.EndNatting(task_id, target.clientid);
        Notify("NatToPeer: too many requests queued, " + PeerText(target), NAT_NOTIFY_FAILED);
    }
}

void CNatManager::AddParentPeer(std::uint64_t task_id, PeerInfo peer)
{
    m_client.AddParent(task_id, peer, platform::tick_count());
}

void CNatManager::AddSonPeer(std::uint64_t task_id, PeerInfo peer)
{
    if (m_started.load())
        m_server.AddSon(task_id, peer, platform::tick_count());
}

int CNatManager::GetParentPeers(std::uint64_t task_id, std::vector<PeerInfo>& out)
{
    return m_client.GetParents(task_id, out);
}

int CNatManager::GetSonPeers(std::uint64_t task_id, std::vector<PeerInfo>& out)
{
    return m_server.GetSons(task_id, out);
}

// A first message is awaited here, not on a worker: connections that never
// send one cannot tie the workers up or fill their queue; each gets
// kHandshakeMs, and the oldest gives way when kMaxFirstReads wait.
void CNatManager::AcceptLoop()
{
    std::vector<platform::socket_t> sockets;
    bool ready[kMaxFirstReads + 1];
    while (!Stopping()) {
        sockets.assign(1, m_listen.Tcp());
        for (const FirstRead& pending : m_first_reads)
            sockets.push_back(pending.socket);
        const int found = platform::wait_any_readable(sockets.data(), sockets.size(), kPollMs, ready);
        const std::uint32_t now = platform::tick_count();
        std::size_t kept = 0;
        for (std::size_t i = 0; i < m_first_reads.size(); ++i) {
            FirstRead& pending = m_first_reads[i];
            if (found > 0 && ready[i + 1] && !ReadFirst(pending))
                continue;   // handed to a worker, or dropped
            if (platform::tick_reached(now, pending.deadline)) {
                DropFirst(pending, "NAT: bad or missing first message from ");
                continue;
            }
            if (kept != i)
                m_first_reads[kept] = std::move(pending);
            ++kept;
        }
        m_first_reads.resize(kept);
        // Every connection waiting is taken, so a crowd arriving at once
        // never fills the listener's backlog.
        for (std::size_t taken = 0; found > 0 && ready[0] && taken <= kMaxFirstReads && AcceptOne(now); ++taken) {
        }
    }
    for (FirstRead& pending : m_first_reads)
        platform::close_socket(pending.socket);
    m_first_reads.clear();
}

bool CNatManager::AcceptOne(std::uint32_t now)
{
    std::uint32_t ip = 0, error = 0;
    std::uint16_t port = 0;
    platform::socket_t s = platform::accept_socket(m_listen.Tcp(), &ip, &port, error);
    if (s == platform::invalid_socket)
        return false;
    platform::set_non_blocking(s, true);
    if (m_first_reads.size() >= kMaxFirstReads) {
        DropFirst(m_first_reads.front(), "NAT: first message not sent, place given to a newer connection, from ");
        m_first_reads.erase(m_first_reads.begin());
    }
    FirstRead pending;
    pending.socket = s;
    pending.from_ip = ip;
    pending.deadline = now + kHandshakeMs;
    m_first_reads.push_back(std::move(pending));
    return true;
}

bool CNatManager::ReadFirst(FirstRead& pending)
{
    // Exactly the first packet: whatever follows it belongs to the peer
    // connection the socket may become.
    std::vector<std::uint8_t>& bytes = pending.bytes;
    std::size_t want = 4;
    if (bytes.size() >= 4) {
        const std::uint32_t length = cmd_packet::load_u32(bytes.data());
        if (length == 0 || length > discovery::kNatMaxBody) {
            DropFirst(pending, "NAT: bad or missing first message from ");
            return false;
        }
        want = 4 + std::size_t(length);
    }
    const std::size_t had = bytes.size();
    bytes.resize(want);
    std::uint32_t error = 0;
    const long n = platform::receive_some(pending.socket, bytes.data() + had, want - had, error);
    bytes.resize(had + (n > 0 ? std::size_t(n) : 0));
    if (n < 0 && error == platform::err::would_block)
        return true;
    if (n <= 0) {
        DropFirst(pending, "NAT: bad or missing first message from ");
        return false;
    }
    if (bytes.size() < 4 || bytes.size() < 4 + std::size_t(cmd_packet::load_u32(bytes.data())))
        return true;   // the length is checked on the next read
    Job job;
    job.kind = Job::accepted;
    job.socket = pending.socket;
    job.from_ip = pending.from_ip;
    job.packet.swap(bytes);
    if (!Enqueue(job))
        platform::close_socket(job.socket);
    pending.socket = platform::invalid_socket;
    return false;
}

void CNatManager::DropFirst(FirstRead& pending, const char* why)
{
    Notify(why + platform::ipv4_to_text(pending.from_ip), NAT_NOTIFY_FAILED);
    platform::close_socket(pending.socket);
    pending.socket = platform::invalid_socket;
}

void CNatManager::UdpLoop()
{
    std::vector<std::uint8_t> buffer(discovery::kNatMaxBody + 4);
    while (!Stopping()) {
        if (platform::wait_readable(m_listen.Udp(), kPollMs) <= 0)
            continue;
        std::uint32_t ip = 0, error = 0;
        std::uint16_t port = 0;
        const long n = platform::receive_from(m_listen.Udp(), buffer.data(), buffer.size(), &ip, &port, error);
        if (n > 0)
            HandleDatagram(buffer.data(), static_cast<std::size_t>(n), ip, port);
    }
}

void CNatManager::HandleDatagram(const std::uint8_t* data, std::size_t size, std::uint32_t from_ip,
                                 std::uint16_t from_port)
{
    NatMessage m;
    if (!discovery::DecodeNatMessage(data, size, m))
        return;
    const std::uint32_t now = platform::tick_count();
    if (m.command == discovery::NAT_HEARTBEAT) {
        if (m_server.OnHeartbeat(m.task_id, m.peer.clientid, from_ip, from_port, now)) {
            NatMessage ack;
            ack.command = discovery::NAT_HEARTBEAT_ACK;
            ack.task_id = m.task_id;
            ack.client_id = SelfRecord().clientid;
            SendDatagram(ack, from_ip, from_port);
        }
    } else if (m.command == discovery::NAT_HEARTBEAT_ACK) {
        m_client.OnHeartbeatAck(m.task_id, m.client_id, now);
    } else if (m.command == discovery::NAT_CONNECT_BACK) {
        // Only a parent of the task may order us to connect out.
        if (!m_client.IsParentAddress(m.task_id, from_ip) || m.seen_ip == 0 || m.peer.publicport == 0)
            return;
        if (!m_client.BeginNatting(m.task_id, m.peer.clientid))
            return;
        Job job;
        job.kind = Job::connect_back;
        job.task_id = m.task_id;
        job.peer = m.peer;
        job.ip = m.seen_ip;
        job.port = m.peer.publicport;
        job.request_id = m.request_id;
        if (!Enqueue(job))
            m_client.EndNatting(m.task_id, m.peer.clientid);
    }
}

void CNatManager::SendDatagram(const NatMessage& message, std::uint32_t ip, std::uint16_t port)
{
    const std::vector<std::uint8_t> bytes = discovery::EncodeNatMessage(message);
    std::uint32_t error = 0;
    platform::send_to(m_listen.Udp(), bytes.data(), bytes.size(), ip, port, error);
}

void CNatManager::TimerLoop()
{
    while (!Stopping()) {
        platform::sleep_ms(kPollMs * 2);
        const std::uint32_t now = platform::tick_count();
        std::vector<std::pair<std::uint64_t, PeerInfo>> heartbeats;
        std::vector<PeerInfo> dropped;
        std::vector<CNatClient::PeerKey> expired;
        m_client.Tick(now, heartbeats, dropped, expired);
        m_server.Expire(now);
        for (const auto& hb : heartbeats) {
            NatMessage m;
            m.command = discovery::NAT_HEARTBEAT;
            m.task_id = hb.first;
            m.peer = SelfRecord();
            SendDatagram(m, hb.second.publicip, hb.second.publicport);
        }
        for (const PeerInfo& parent : dropped)
            Notify("NAT parent silent, dropped: " + PeerText(parent), NAT_NOTIFY_INFO);
        for (const auto& key : expired)
            Notify("NAT connect-back did not come: task " + std::to_string(key.first) + " clientid " +
                       std::to_string(key.second),
                   NAT_NOTIFY_FAILED);
    }
}

void CNatManager::WorkerLoop()
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(m_queue_lock);
            m_queue_cond.wait_for(lock, std::chrono::milliseconds(kPollMs * 2),
                                  [this] { return m_stop.load() || !m_jobs.empty(); });
            if (m_stop.load())
                return;
            if (m_jobs.empty())
                continue;
            job = m_jobs.front();
            m_jobs.pop_front();
        }
        switch (job.kind) {
        case Job::dial:
            RunDial(job, discovery::kNatDirect);
            break;
        case Job::request:
            RunRequest(job);
            break;
        case Job::connect_back:
            RunDial(job, discovery::kNatConnectBack);
            break;
        case Job::accepted:
            RunAccepted(job);
            break;
        }
        platform::close_socket(job.socket);
    }
}

bool CNatManager::DialAndGreet(PacketChannel& channel, const Job& job, std::uint8_t kind, PeerInfo& acceptor)
{
    const discovery::StopCheck stop = [this] { return Stopping(); };
    std::uint32_t error = channel.Connect(job.ip, job.port, kConnectMs, stop);
    const PeerInfo& t = job.peer;
    if (error != 0 && kind == discovery::kNatDirect && t.natip != 0 && t.natport != 0 &&
        (t.natip != job.ip || t.natport != job.port))
        error = channel.Connect(t.natip, t.natport, kConnectMs, stop);   // same LAN behind one NAT
    if (error != 0) {
        Notify("NAT connect failed (" + std::to_string(error) + "): " + PeerText(t), NAT_NOTIFY_FAILED);
        return false;
    }
    NatMessage hello;
    hello.command = discovery::NAT_HANDSHAKE;
    hello.task_id = job.task_id;
    hello.peer = SelfRecord();
    hello.kind = kind;
    hello.request_id = job.request_id;
    const std::vector<std::uint8_t> bytes = discovery::EncodeNatMessage(hello);
    std::vector<std::uint8_t> reply;
    NatMessage ack;
    if (channel.Exchange(bytes, reply, discovery::kNatMaxBody, kHandshakeMs, kHandshakeMs, stop) != 0 ||
        !discovery::DecodeNatMessage(reply.data(), reply.size(), ack) || ack.command != discovery::NAT_HANDSHAKE_ACK ||
        ack.task_id != job.task_id || ack.result != 0 || (t.clientid != 0 && ack.peer.clientid != t.clientid)) {
        Notify("NAT handshake refused or wrong: " + PeerText(t), NAT_NOTIFY_FAILED);
        channel.Close();
        return false;
    }
    acceptor = ack.peer;
    return true;
}

void CNatManager::RunDial(Job& job, std::uint8_t kind)
{
    PacketChannel channel;
    PeerInfo acceptor{};
    if (DialAndGreet(channel, job, kind, acceptor) && !Stopping())
        m_sink->AddPeerSocket(job.peer, job.task_id, channel.Detach(), 0);
    m_client.EndNatting(job.task_id, job.peer.clientid);
}

void CNatManager::RunRequest(Job& job)
{
    const discovery::StopCheck stop = [this] { return Stopping(); };
    PacketChannel channel;
    NatMessage ask;
    ask.command = discovery::NAT_REQUEST;
    ask.task_id = job.task_id;
    ask.peer = SelfRecord();
    ask.client_id = job.peer.clientid;
    ask.request_id = job.request_id;
    const std::vector<std::uint8_t> bytes = discovery::EncodeNatMessage(ask);
    std::vector<std::uint8_t> reply;
    NatMessage answer;
    // Registered before asking: the son may dial back before the reply is read.
    m_client.AwaitConnectBack(job.request_id, job.task_id, job.peer, platform::tick_count() + kConnectBackWaitMs);
    const bool passed_on =
        channel.Connect(job.ip, job.port, kConnectMs, stop) == 0 &&
        channel.Exchange(bytes, reply, discovery::kNatMaxBody, kHandshakeMs, kHandshakeMs, stop) == 0 &&
        discovery::DecodeNatMessage(reply.data(), reply.size(), answer) &&
        answer.command == discovery::NAT_REQUEST_REPLY && answer.request_id == job.request_id && answer.result == 0;
    if (passed_on)
        return;   // the pending entry and the natting mark wait for the son
    if (m_client.CancelConnectBack(job.request_id))
        Notify("NAT request not passed on by the parent: " + PeerText(job.peer), NAT_NOTIFY_FAILED);
}

void CNatManager::RunAccepted(Job& job)
{
    const discovery::StopCheck stop = [this] { return Stopping(); };
    PacketChannel channel(job.socket);
    job.socket = platform::invalid_socket;
    // The accept thread has read the first message already.
    NatMessage m;
    if (!discovery::DecodeNatMessage(job.packet.data(), job.packet.size(), m)) {
        Notify("NAT: bad or missing first message from " + platform::ipv4_to_text(job.from_ip), NAT_NOTIFY_FAILED);
        return;
    }
    if (m.command == discovery::NAT_REQUEST) {
        NatMessage reply;
        reply.command = discovery::NAT_REQUEST_REPLY;
        reply.request_id = m.request_id;
        std::uint32_t son_ip = 0;
        std::uint16_t son_port = 0;
        reply.result = m_server.FindSon(m.task_id, m.client_id, son_ip, son_port);
        if (reply.result == CNatServer::SON_FOUND) {
            NatMessage order;
            order.command = discovery::NAT_CONNECT_BACK;
            order.task_id = m.task_id;
            order.peer = m.peer;
            order.request_id = m.request_id;
            order.seen_ip = job.from_ip;
            SendDatagram(order, son_ip, son_port);
        }
        const std::vector<std::uint8_t> bytes = discovery::EncodeNatMessage(reply);
        channel.SendAll(bytes.data(), bytes.size(), kHandshakeMs, stop);
        return;
    }
    if (m.command != discovery::NAT_HANDSHAKE)
        return;

    PeerInfo remote = m.peer;
    bool refused = false;
    if (m.kind == discovery::kNatConnectBack) {
        // Only a connect-back we asked for, from the son we asked for.
        refused = !m_client.TakeConnectBack(m.request_id, m.task_id, m.peer.clientid, remote);
    } else {
        refused = !m_sink->IsNatTaskKnown(m.task_id);
    }
    if (refused) {
        Notify("NAT handshake refused: task " + std::to_string(m.task_id) + " from " +
                   platform::ipv4_to_text(job.from_ip),
               NAT_NOTIFY_FAILED);
        return;
    }
    NatMessage ack;
    ack.command = discovery::NAT_HANDSHAKE_ACK;
    ack.task_id = m.task_id;
    ack.peer = SelfRecord();
    const std::vector<std::uint8_t> bytes = discovery::EncodeNatMessage(ack);
    if (channel.SendAll(bytes.data(), bytes.size(), kHandshakeMs, stop) != 0 || Stopping())
        return;
    m_sink->AddPeerSocket(remote, m.task_id, channel.Detach(), 1);
}

}   // namespace

INatManager* CreateNatManager()
{
    return new (std::nothrow) CNatManager();
}

void DestroyNatManager(INatManager* manager)
{
    delete manager;
}
