#include "discovery/nat_manager.h"

#include <cassert>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <set>
#include <sstream>
#include <utility>

#include "discovery/nat_protocol.h"
#include "discovery/packet_channel.h"
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
constexpr std::uint32_t kHeartbeatMs = 20000;
constexpr std::uint32_t kParentExpireMs = 65000;
constexpr std::uint32_t kSonExpireMs = 180000;
constexpr std::uint32_t kPollMs = 100;
constexpr std::size_t kWorkerCount = 4;
constexpr std::size_t kMaxJobs = 64;
constexpr std::size_t kMaxParentsPerTask = 16;
constexpr std::size_t kMaxSonsPerTask = 200;
constexpr std::size_t kMaxTasks = 1024;
constexpr std::size_t kMaxPending = 256;
constexpr int kPortTries = 10;

struct Job {
    enum Kind { dial, request, connect_back, accepted } kind = dial;
    std::uint64_t task_id = 0;
    PeerInfo peer{};                 // target / requester
    std::uint32_t ip = 0;            // where to connect, network order
    std::uint16_t port = 0;
    std::uint32_t request_id = 0;
    platform::socket_t socket = platform::invalid_socket;   // accepted
    std::uint32_t from_ip = 0;       // accepted: remote address
};

struct ParentEntry {
    PeerInfo peer{};
    std::uint32_t added = 0;
    std::uint32_t last_ack = 0;
    std::uint32_t last_sent = 0;
    bool sent = false;
};

struct SonEntry {
    PeerInfo peer{};
    std::uint32_t udp_ip = 0;        // where its heartbeats come from
    std::uint16_t udp_port = 0;
    std::uint32_t last_heard = 0;
};

struct PendingConnectBack {
    std::uint64_t task_id = 0;
    PeerInfo target{};
    std::uint32_t deadline = 0;
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
    void NatToPeer(std::uint64_t task_id, PeerInfo target, const PeerInfo* parent, std::uint32_t nat_server_ip,
                   std::uint16_t nat_server_port) override;
    void AddParentPeer(std::uint64_t task_id, PeerInfo peer) override;
    void AddSonPeer(std::uint64_t task_id, PeerInfo peer) override;
    int GetParentPeers(std::uint64_t task_id, std::vector<PeerInfo>& out) override;
    int GetSonPeers(std::uint64_t task_id, std::vector<PeerInfo>& out) override;

private:
    bool BindPort(std::uint16_t wanted);
    void AcceptLoop();
    void UdpLoop();
    void TimerLoop();
    void WorkerLoop();
    bool Enqueue(Job job);
    void RunDial(Job& job, std::uint8_t kind);
    void RunRequest(Job& job);
    void RunAccepted(Job& job);
    void HandleDatagram(const std::uint8_t* data, std::size_t size, std::uint32_t from_ip, std::uint16_t from_port);
    bool DialAndGreet(PacketChannel& channel, const Job& job, std::uint8_t kind, PeerInfo& acceptor);
    bool BeginNatting(std::uint64_t task_id, std::uint64_t client_id);
    void EndNatting(std::uint64_t task_id, std::uint64_t client_id);
    void Notify(const std::string& text, std::uint32_t code);
    void SendDatagram(const NatMessage& message, std::uint32_t ip, std::uint16_t port);
    PeerInfo SelfRecord() const;
    bool Stopping() const { return m_stop.load(); }
    // Debug builds: the tables stay within their caps and every awaited
    // connect-back still holds its peer's natting mark. Call under m_lock.
    void check_invariant() const;

    std::atomic<bool> m_started{false};
    std::atomic<bool> m_stop{false};
    INatManagerEvent* m_sink = nullptr;
    PeerInfo m_self{};
    std::uint16_t m_port = 0;
    platform::socket_t m_listen = platform::invalid_socket;
    platform::socket_t m_udp = platform::invalid_socket;
    std::atomic<std::uint32_t> m_next_request{1};

    std::mutex m_lock;   // guards the four tables below
    std::map<std::uint64_t, std::vector<ParentEntry>> m_parents;
    std::map<std::uint64_t, std::vector<SonEntry>> m_sons;
    std::map<std::uint32_t, PendingConnectBack> m_pending;   // by request id
    std::set<std::pair<std::uint64_t, std::uint64_t>> m_natting;   // (task, client id)

    std::mutex m_queue_lock;   // guards m_jobs
    std::condition_variable m_queue_cond;
    std::deque<Job> m_jobs;

    platform::Thread m_accept_thread;
    platform::Thread m_udp_thread;
    platform::Thread m_timer_thread;
    platform::Thread m_workers[kWorkerCount];
};

bool CNatManager::BindPort(std::uint16_t wanted)
{
    for (int attempt = 0; attempt < kPortTries; ++attempt) {
        const std::uint16_t port = wanted == 0 ? 0 : static_cast<std::uint16_t>(wanted + attempt);
        platform::socket_t tcp = platform::tcp_socket();
        platform::socket_t udp = platform::udp_socket();
        if (tcp == platform::invalid_socket || udp == platform::invalid_socket) {
            platform::close_socket(tcp);
            platform::close_socket(udp);
            return false;
        }
        platform::set_reuse_address(tcp, true);
        std::uint32_t ip = 0;
        std::uint16_t bound = 0;
        if (platform::bind_ipv4(tcp, 0, port) == 0 && platform::listen_socket(tcp, 64) == 0 &&
            platform::local_endpoint(tcp, ip, bound) && platform::bind_ipv4(udp, 0, bound) == 0) {
            platform::set_non_blocking(tcp, true);
            platform::set_non_blocking(udp, true);
            m_listen = tcp;
            m_udp = udp;
            m_port = bound;
            return true;
        }
        platform::close_socket(tcp);
        platform::close_socket(udp);
    }
    return false;
}

bool CNatManager::Start(std::uint16_t* listen_port, PeerInfo self, INatManagerEvent* sink)
{
    if (m_started.load() || m_stop.load() || sink == nullptr)
        return false;
    m_sink = sink;
    m_self = self;
    if (!BindPort(listen_port != nullptr ? *listen_port : 0)) {
        Notify("NAT server: cannot bind the listen port", NAT_NOTIFY_FAILED);
        return false;
    }
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
    platform::close_socket(m_listen);
    platform::close_socket(m_udp);
    std::lock_guard<std::mutex> guard(m_lock);
    m_natting.clear();
    m_pending.clear();
}

PeerInfo CNatManager::SelfRecord() const
{
    PeerInfo self = m_self;
    self.publicport = m_port;
    self.natport = m_port;
    return self;
}

void CNatManager::check_invariant() const
{
#ifndef NDEBUG
    assert(m_parents.size() <= kMaxTasks && m_sons.size() <= kMaxTasks);
    for (const auto& task : m_parents)
        assert(task.second.size() <= kMaxParentsPerTask);
    for (const auto& task : m_sons)
        assert(task.second.size() <= kMaxSonsPerTask);
    assert(m_natting.size() <= kMaxPending);
    for (const auto& p : m_pending)
        assert(m_natting.count({p.second.task_id, p.second.target.clientid}) != 0);
#endif
}

void CNatManager::Notify(const std::string& text, std::uint32_t code)
{
    platform::debug_output(text + "\n");
    if (m_sink != nullptr)
        m_sink->OnNatNotify(text.c_str(), code);
}

bool CNatManager::BeginNatting(std::uint64_t task_id, std::uint64_t client_id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_natting.size() >= kMaxPending)
        return false;
    return m_natting.insert({task_id, client_id}).second;
}

void CNatManager::EndNatting(std::uint64_t task_id, std::uint64_t client_id)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_natting.erase({task_id, client_id});
}

bool CNatManager::Enqueue(Job job)
{
    std::lock_guard<std::mutex> guard(m_queue_lock);
    if (m_stop.load() || m_jobs.size() >= kMaxJobs)
        return false;
    m_jobs.push_back(job);
    m_queue_cond.notify_one();
    return true;
}

void CNatManager::NatToPeer(std::uint64_t task_id, PeerInfo target, const PeerInfo* parent,
                            std::uint32_t nat_server_ip, std::uint16_t nat_server_port)
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
    if (!BeginNatting(task_id, target.clientid)) {
        Notify("This peer is currently being natted.", NAT_NOTIFY_INFO);
        return;
    }
    if (!Enqueue(job)) {
        EndNatting(task_id, target.clientid);
        Notify("NatToPeer: too many requests queued, " + PeerText(target), NAT_NOTIFY_FAILED);
    }
}

void CNatManager::AddParentPeer(std::uint64_t task_id, PeerInfo peer)
{
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_parents.find(task_id) == m_parents.end() && m_parents.size() >= kMaxTasks)
        return;
    std::vector<ParentEntry>& parents = m_parents[task_id];
    for (ParentEntry& known : parents) {
        if (known.peer.clientid == peer.clientid) {
            known.peer = peer;
            return;
        }
    }
    if (parents.size() >= kMaxParentsPerTask)
        return;
    ParentEntry entry;
    entry.peer = peer;
    entry.added = platform::tick_count();
    entry.last_ack = entry.added;
    parents.push_back(entry);
}

void CNatManager::AddSonPeer(std::uint64_t task_id, PeerInfo peer)
{
    if (!m_started.load())
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    if (m_sons.find(task_id) == m_sons.end() && m_sons.size() >= kMaxTasks)
        return;
    std::vector<SonEntry>& sons = m_sons[task_id];
    for (SonEntry& known : sons) {
        if (known.peer.clientid == peer.clientid) {
            known.peer = peer;
            known.last_heard = platform::tick_count();
            return;
        }
    }
    if (sons.size() >= kMaxSonsPerTask)
        return;
    SonEntry entry;
    entry.peer = peer;
    entry.last_heard = platform::tick_count();
    sons.push_back(entry);
}

// Copies the records of one task's entries (parents or sons).
template <typename Entry>
int CopyPeers(const std::map<std::uint64_t, std::vector<Entry>>& table, std::uint64_t task_id,
              std::vector<PeerInfo>& out)
{
    out.clear();
    auto it = table.find(task_id);
    if (it != table.end()) {
        for (const Entry& e : it->second)
            out.push_back(e.peer);
    }
    return static_cast<int>(out.size());
}

int CNatManager::GetParentPeers(std::uint64_t task_id, std::vector<PeerInfo>& out)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return CopyPeers(m_parents, task_id, out);
}

int CNatManager::GetSonPeers(std::uint64_t task_id, std::vector<PeerInfo>& out)
{
    std::lock_guard<std::mutex> guard(m_lock);
    return CopyPeers(m_sons, task_id, out);
}

void CNatManager::AcceptLoop()
{
    while (!Stopping()) {
        if (platform::wait_readable(m_listen, kPollMs) <= 0)
            continue;
        std::uint32_t ip = 0, error = 0;
        std::uint16_t port = 0;
        platform::socket_t s = platform::accept_socket(m_listen, &ip, &port, error);
        if (s == platform::invalid_socket)
            continue;
        platform::set_non_blocking(s, true);
        Job job;
        job.kind = Job::accepted;
        job.socket = s;
        job.from_ip = ip;
        if (!Enqueue(job))
            platform::close_socket(s);
    }
}

void CNatManager::UdpLoop()
{
    std::vector<std::uint8_t> buffer(discovery::kNatMaxBody + 4);
    while (!Stopping()) {
        if (platform::wait_readable(m_udp, kPollMs) <= 0)
            continue;
        std::uint32_t ip = 0, error = 0;
        std::uint16_t port = 0;
        const long n = platform::receive_from(m_udp, buffer.data(), buffer.size(), &ip, &port, error);
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
        bool known = false;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto it = m_sons.find(m.task_id);
            if (it != m_sons.end()) {
                for (SonEntry& son : it->second) {
                    if (son.peer.clientid == m.peer.clientid) {
                        son.udp_ip = from_ip;
                        son.udp_port = from_port;
                        son.last_heard = now;
                        known = true;
                    }
                }
            }
        }
        if (known) {
            NatMessage ack;
            ack.command = discovery::NAT_HEARTBEAT_ACK;
            ack.task_id = m.task_id;
            ack.client_id = m_self.clientid;
            SendDatagram(ack, from_ip, from_port);
        }
    } else if (m.command == discovery::NAT_HEARTBEAT_ACK) {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_parents.find(m.task_id);
        if (it != m_parents.end()) {
            for (ParentEntry& parent : it->second) {
                if (parent.peer.clientid == m.client_id)
                    parent.last_ack = now;
            }
        }
    } else if (m.command == discovery::NAT_CONNECT_BACK) {
        // Only a parent of the task may order us to connect out.
        bool from_parent = false;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto it = m_parents.find(m.task_id);
            if (it != m_parents.end()) {
                for (const ParentEntry& parent : it->second)
                    from_parent = from_parent || parent.peer.publicip == from_ip;
            }
        }
        if (!from_parent || m.seen_ip == 0 || m.peer.publicport == 0)
            return;
        if (!BeginNatting(m.task_id, m.peer.clientid))
            return;
        Job job;
        job.kind = Job::connect_back;
        job.task_id = m.task_id;
        job.peer = m.peer;
        job.ip = m.seen_ip;
        job.port = m.peer.publicport;
        job.request_id = m.request_id;
        if (!Enqueue(job))
            EndNatting(m.task_id, m.peer.clientid);
    }
}

void CNatManager::SendDatagram(const NatMessage& message, std::uint32_t ip, std::uint16_t port)
{
    const std::vector<std::uint8_t> bytes = discovery::EncodeNatMessage(message);
    std::uint32_t error = 0;
    platform::send_to(m_udp, bytes.data(), bytes.size(), ip, port, error);
}

void CNatManager::TimerLoop()
{
    while (!Stopping()) {
        platform::sleep_ms(kPollMs * 2);
        const std::uint32_t now = platform::tick_count();
        std::vector<std::pair<std::uint64_t, PeerInfo>> heartbeats;
        std::vector<std::string> notes;
        std::vector<std::pair<std::uint64_t, std::uint64_t>> expired;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            for (auto task = m_parents.begin(); task != m_parents.end();) {
                auto& parents = task->second;
                for (auto p = parents.begin(); p != parents.end();) {
                    if (now - p->last_ack > kParentExpireMs) {
                        notes.push_back("NAT parent silent, dropped: " + PeerText(p->peer));
                        p = parents.erase(p);
                        continue;
                    }
                    if (!p->sent || now - p->last_sent >= kHeartbeatMs) {
                        p->sent = true;
                        p->last_sent = now;
                        heartbeats.push_back({task->first, p->peer});
                    }
                    ++p;
                }
                task = parents.empty() ? m_parents.erase(task) : std::next(task);
            }
            for (auto task = m_sons.begin(); task != m_sons.end();) {
                auto& sons = task->second;
                for (auto s = sons.begin(); s != sons.end();)
                    s = (now - s->last_heard > kSonExpireMs) ? sons.erase(s) : std::next(s);
                task = sons.empty() ? m_sons.erase(task) : std::next(task);
            }
            for (auto p = m_pending.begin(); p != m_pending.end();) {
                if (platform::tick_reached(now, p->second.deadline)) {
                    expired.push_back({p->second.task_id, p->second.target.clientid});
                    p = m_pending.erase(p);
                } else {
                    ++p;
                }
            }
            for (const auto& key : expired)
                m_natting.erase(key);
            check_invariant();
        }
        for (const auto& hb : heartbeats) {
            NatMessage m;
            m.command = discovery::NAT_HEARTBEAT;
            m.task_id = hb.first;
            m.peer = SelfRecord();
            SendDatagram(m, hb.second.publicip, hb.second.publicport);
        }
        for (const std::string& note : notes)
            Notify(note, NAT_NOTIFY_INFO);
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
        case Job::dial: RunDial(job, discovery::kNatDirect); break;
        case Job::request: RunRequest(job); break;
        case Job::connect_back: RunDial(job, discovery::kNatConnectBack); break;
        case Job::accepted: RunAccepted(job); break;
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
        !discovery::DecodeNatMessage(reply.data(), reply.size(), ack) ||
        ack.command != discovery::NAT_HANDSHAKE_ACK || ack.task_id != job.task_id || ack.result != 0 ||
        (t.clientid != 0 && ack.peer.clientid != t.clientid)) {
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
    EndNatting(job.task_id, job.peer.clientid);
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
    {
        std::lock_guard<std::mutex> guard(m_lock);
        PendingConnectBack pending;
        pending.task_id = job.task_id;
        pending.target = job.peer;
        pending.deadline = platform::tick_count() + kConnectBackWaitMs;
        m_pending[job.request_id] = pending;
    }
    const bool passed_on = channel.Connect(job.ip, job.port, kConnectMs, stop) == 0 &&
                           channel.Exchange(bytes, reply, discovery::kNatMaxBody, kHandshakeMs, kHandshakeMs,
                                            stop) == 0 &&
                           discovery::DecodeNatMessage(reply.data(), reply.size(), answer) &&
                           answer.command == discovery::NAT_REQUEST_REPLY &&
                           answer.request_id == job.request_id && answer.result == 0;
    if (passed_on)
        return;   // the pending entry and the natting mark wait for the son
    std::size_t erased = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        erased = m_pending.erase(job.request_id);
        if (erased != 0)
            m_natting.erase({job.task_id, job.peer.clientid});
    }
    if (erased != 0)
        Notify("NAT request not passed on by the parent: " + PeerText(job.peer), NAT_NOTIFY_FAILED);
}

void CNatManager::RunAccepted(Job& job)
{
    const discovery::StopCheck stop = [this] { return Stopping(); };
    PacketChannel channel(job.socket);
    job.socket = platform::invalid_socket;
    std::vector<std::uint8_t> packet;
    NatMessage m;
    if (channel.ReceivePacket(packet, discovery::kNatMaxBody, kHandshakeMs, stop) != 0 ||
        !discovery::DecodeNatMessage(packet.data(), packet.size(), m)) {
        Notify("NAT: bad or missing first message from " + platform::ipv4_to_text(job.from_ip), NAT_NOTIFY_FAILED);
        return;
    }
    if (m.command == discovery::NAT_REQUEST) {
        NatMessage reply;
        reply.command = discovery::NAT_REQUEST_REPLY;
        reply.request_id = m.request_id;
        reply.result = 2;
        std::uint32_t son_ip = 0;
        std::uint16_t son_port = 0;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            auto it = m_sons.find(m.task_id);
            if (it != m_sons.end()) {
                reply.result = 1;
                for (const SonEntry& son : it->second) {
                    if (son.peer.clientid != m.client_id)
                        continue;
                    son_ip = son.udp_ip != 0 ? son.udp_ip : son.peer.publicip;
                    son_port = son.udp_port != 0 ? son.udp_port : son.peer.publicport;
                }
            }
        }
        if (son_ip != 0 && son_port != 0) {
            NatMessage order;
            order.command = discovery::NAT_CONNECT_BACK;
            order.task_id = m.task_id;
            order.peer = m.peer;
            order.request_id = m.request_id;
            order.seen_ip = job.from_ip;
            SendDatagram(order, son_ip, son_port);
            reply.result = 0;
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
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_pending.find(m.request_id);
        refused = it == m_pending.end() || it->second.task_id != m.task_id ||
                  it->second.target.clientid != m.peer.clientid;
        if (!refused) {
            remote = it->second.target;
            m_pending.erase(it);
            m_natting.erase({m.task_id, remote.clientid});
        }
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

} // namespace

INatManager* CreateNatManager()
{
    return new (std::nothrow) CNatManager();
}

void DestroyNatManager(INatManager* manager)
{
    delete manager;
}
