#include "discovery/trace_host.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <set>

#include <linux/errqueue.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "discovery/packet_channel.h"
#include "discovery/wire_records.h"
#include "foundation/cmd_packet.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "report/client_log.h"
#include "report/server_address.h"

namespace {

constexpr std::uint16_t kCmdRouteTable = 89;
constexpr int kMaxHops = 16;
constexpr int kProbesPerHop = 2;
constexpr int kProbeMs = 300;
constexpr int kMaxSilentHops = 4;
constexpr std::size_t kMaxCis = 4;
constexpr std::size_t kMaxQueued = 16;
constexpr std::size_t kMaxUploadedTasks = 4096;
constexpr std::uint16_t kProbeBasePort = 33434;
constexpr std::uint32_t kUploadMs = 5000;

struct Work {
    std::uint64_t task_id = 0;
    std::uint64_t client_id = 0;
    std::vector<CisAddress> cis_list;
    bool force_trace = false;
};

struct TraceState {
    std::mutex lock;   // guards everything below but `abort`
    bool done = false;
    bool closed = false;
    std::set<std::uint64_t> uploaded;
    std::vector<TraceRoute> routes;
    std::deque<Work> queue;
    bool worker_busy = false;
    platform::Thread worker;
    std::atomic<bool> abort{false};
};

TraceState& State()
{
    static TraceState state;
    return state;
}

bool Aborted()
{
    return State().abort.load();
}

// One probe with the given TTL. 1 a router answered (hop set), 2 the
// destination answered (hop set), 0 silence, -1 failure.
int Probe(int s, std::uint32_t dest_ip, int ttl, int probe_ms, std::uint32_t& hop)
{
    if (setsockopt(s, IPPROTO_IP, IP_TTL, &ttl, sizeof(ttl)) != 0)
        return -1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = dest_ip;
    to.sin_port = htons(static_cast<std::uint16_t>(kProbeBasePort + ttl));
    const char payload[8] = {'v', 'r', 't', 'r', 'a', 'c', 'e', 0};
    if (sendto(s, payload, sizeof(payload), MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&to), sizeof(to)) < 0)
        return -1;
    const std::uint32_t deadline = platform::tick_count() + static_cast<std::uint32_t>(probe_ms);
    while (!Aborted()) {
        const std::uint32_t left = platform::tick_remaining(platform::tick_count(), deadline);
        if (left == 0)
            return 0;
        pollfd p{s, POLLERR | POLLIN, 0};
        const int r = poll(&p, 1, static_cast<int>(left < 100 ? left : 100));
        if (r <= 0)
            continue;
        char data[64];
        char control[512];
        sockaddr_in from{};
        iovec iov{data, sizeof(data)};
        msghdr msg{};
        msg.msg_name = &from;
        msg.msg_namelen = sizeof(from);
        msg.msg_iov = &iov;
        msg.msg_iovlen = 1;
        msg.msg_control = control;
        msg.msg_controllen = sizeof(control);
        if (recvmsg(s, &msg, MSG_ERRQUEUE | MSG_DONTWAIT) < 0) {
            recv(s, data, sizeof(data), MSG_DONTWAIT);   // a reply to a probe: the destination
            hop = dest_ip;
            return 2;
        }
        for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
            if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR)
                continue;
            const auto* ee = reinterpret_cast<const sock_extended_err*>(CMSG_DATA(c));
            if (ee->ee_origin != SO_EE_ORIGIN_ICMP)
                continue;
            const auto* offender = reinterpret_cast<const sockaddr_in*>(SO_EE_OFFENDER(ee));
            hop = offender->sin_family == AF_INET ? offender->sin_addr.s_addr : 0;
            if (ee->ee_type == 11)
                return 1;   // time exceeded on the way
            if (hop == 0)
                hop = dest_ip;
            return 2;   // unreachable: the end of the route
        }
    }
    return 0;
}

void RunWork(const Work& work)
{
    TraceState& state = State();
    bool need_trace = work.force_trace;
    {
        std::lock_guard<std::mutex> guard(state.lock);
        need_trace = need_trace || !state.done;
    }
    std::vector<TraceRoute> routes;
    if (need_trace) {
        for (std::size_t i = 0; i < work.cis_list.size() && i < kMaxCis && !Aborted(); ++i)
            routes.push_back(CTraceHost::TraceOne(work.cis_list[i], kMaxHops, kProbeMs));
        if (Aborted())
            return;
        std::lock_guard<std::mutex> guard(state.lock);
        state.routes = routes;
        state.done = true;
    } else {
        std::lock_guard<std::mutex> guard(state.lock);
        routes = state.routes;
    }
    const int result = CTraceHost::UploadRouteTable(work.task_id, work.client_id, routes);
    WriteClientLog("route table upload, task id=" + std::to_string(work.task_id) +
                   ", result=" + std::to_string(result) + "\n");
}

void WorkerLoop()
{
    TraceState& state = State();
    for (;;) {
        Work work;
        {
            std::lock_guard<std::mutex> guard(state.lock);
            if (state.queue.empty() || state.abort.load()) {
                state.queue.clear();
                state.worker_busy = false;
                return;
            }
            work = state.queue.front();
            state.queue.pop_front();
        }
        RunWork(work);
    }
}

void Submit(Work work)
{
    TraceState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    if (state.closed || state.queue.size() >= kMaxQueued)
        return;
    state.queue.push_back(std::move(work));
    if (state.worker_busy)
        return;
    if (state.worker.joinable())
        state.worker.join();   // the previous pass has ended (busy was cleared)
    state.worker_busy = state.worker.start(WorkerLoop, "route-trace");
    if (!state.worker_busy)
        state.queue.clear();
}

}   // namespace

bool CTraceHost::IsTraceDone()
{
    std::lock_guard<std::mutex> guard(State().lock);
    return State().done;
}

void CTraceHost::RunTrace(std::uint64_t task_id, std::uint64_t client_id, const std::vector<CisAddress>& cis_list)
{
    {
        std::lock_guard<std::mutex> guard(State().lock);
        if (!State().uploaded.insert(task_id).second)
            return;
    }
    Submit(Work{task_id, client_id, cis_list, true});
}

void CTraceHost::SendRouteTable(std::uint64_t task_id, std::uint64_t client_id, const std::vector<CisAddress>& cis_list)
{
    {
        std::lock_guard<std::mutex> guard(State().lock);
        if (State().uploaded.size() >= kMaxUploadedTasks || !State().uploaded.insert(task_id).second)
            return;
    }
    Submit(Work{task_id, client_id, cis_list, false});
}

bool CTraceHost::Shutdown(std::uint32_t wait_ms)
{
    TraceState& state = State();
    {
        std::lock_guard<std::mutex> guard(state.lock);
        state.closed = true;
        state.abort.store(true);
    }
    return state.worker.join_for(wait_ms);
}

void CTraceHost::Reset()
{
    TraceState& state = State();
    {
        // Closed first, under the lock: a submit on another thread must not
        // start or reap the worker while this join runs.
        std::lock_guard<std::mutex> guard(state.lock);
        state.closed = true;
        state.abort.store(true);   // a pass still running ends at its next probe
    }
    state.worker.join();
    std::lock_guard<std::mutex> guard(state.lock);
    state.closed = false;
    state.abort.store(false);
    state.done = false;
    state.uploaded.clear();
    state.routes.clear();
    state.queue.clear();
    state.worker_busy = false;
}

std::vector<TraceRoute> CTraceHost::LastRoutes()
{
    std::lock_guard<std::mutex> guard(State().lock);
    return State().routes;
}

TraceRoute CTraceHost::TraceOne(const CisAddress& cis, int max_hops, int probe_ms)
{
    TraceRoute route;
    route.cis = cis;
    const std::uint32_t dest = platform::ipv4_from_host_order(cis.ip);
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0 || dest == 0)
        return route;
    const int on = 1;
    setsockopt(s, IPPROTO_IP, IP_RECVERR, &on, sizeof(on));
    int silent = 0;
    for (int ttl = 1; ttl <= max_hops && !Aborted() && silent < kMaxSilentHops; ++ttl) {
        std::uint32_t hop = 0;
        int r = 0;
        for (int probe = 0; probe < kProbesPerHop && r == 0 && !Aborted(); ++probe)
            r = Probe(s, dest, ttl, probe_ms, hop);
        if (r < 0)
            break;
        route.hops.push_back(r == 0 ? 0 : platform::ipv4_to_host_order(hop));
        silent = r == 0 ? silent + 1 : 0;
        if (r == 2) {
            route.reached = true;
            break;
        }
    }
    close(s);
    return route;
}

int CTraceHost::UploadRouteTable(std::uint64_t task_id, std::uint64_t client_id, const std::vector<TraceRoute>& routes)
{
    std::vector<std::uint8_t> table;
    for (const TraceRoute& route : routes) {
        std::uint8_t head[8];
        discovery::StoreCisAddress(route.cis, head);
        const std::size_t hops = route.hops.size() < 255 ? route.hops.size() : 255;
        head[7] = static_cast<std::uint8_t>(hops);
        table.insert(table.end(), head, head + 8);
        for (std::size_t i = 0; i < hops; ++i) {
            std::uint8_t hop[4];
            cmd_packet::store_u32(hop, route.hops[i]);
            table.insert(table.end(), hop, hop + 4);
        }
    }
    CCmdPacket packet(kCmdRouteTable);
    packet.add_u64(0, task_id);
    packet.add_u64(1, client_id);
    packet.add_bytes(2, table.data(), table.size());

    const ServerAddress server = ServerAddressFromEnv("VR_ROUTE_SERVER", 3334);
    const discovery::StopCheck stop = [] { return Aborted(); };
    discovery::PacketChannel channel;
    const std::uint32_t ip = discovery::ResolveHost(server.host);
    if (ip == 0 || channel.Connect(ip, server.port, kUploadMs, stop) != 0)
        return 1;
    if (channel.SendAll(packet.bytes().data(), packet.size(), kUploadMs, stop) != 0)
        return 2;
    std::vector<std::uint8_t> reply;
    std::uint32_t result = 0;
    if (channel.ReceivePacket(reply, 4096, kUploadMs, stop) != 0 ||
        !discovery::ReadResultReply(reply, kCmdRouteTable, result))
        return 3;
    return result == 0 ? 0 : 4;
}
