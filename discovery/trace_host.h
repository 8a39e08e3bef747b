// Traces the route to each CIS and uploads the route table once.
//
// Probes are UDP datagrams with a growing TTL (no raw socket, no root); the
// routers' "time exceeded" answers are read from the socket error queue.
// At most 16 hops, 2 probes of 300 ms per hop, 4 CIS per trace; a route
// gives up after 4 silent hops in a row.
//
// Upload: one TCP connection to the route server (default 127.0.0.1:3334,
// VR_ROUTE_SERVER "host[:port]"), one command packet (flag 0, version 258):
//   command 89: field 0: u64 task id, 1: u64 client id,
//     2: per CIS: u32 IPv4 (host order), u16 port, u8 hop count, then
//        hop count x u32 hop IPv4 (host order, 0 for a hop that did not answer)
//   reply, command 89: field 0: u32 result
// Uploads happen on one background thread; Shutdown() ends it promptly.
#pragma once

#include <cstdint>
#include <vector>

#include "discovery/peer_info.h"

// One traced route.
struct TraceRoute {
    CisAddress cis{};
    std::vector<std::uint32_t> hops;   // host order, 0 for a silent hop
    bool reached = false;
};

class CTraceHost {
public:
    // True once a trace has completed in this process.
    static bool IsTraceDone();

    // Traces the routes to the CIS servers and uploads the table (once per
    // process for task id 0). Starts in the background; returns at once.
    static void RunTrace(std::uint64_t task_id, std::uint64_t client_id, const std::vector<CisAddress>& cis_list);

    // Uploads the route table for the task once (tracing first when no trace
    // has run). Starts in the background; returns at once.
    static void SendRouteTable(std::uint64_t task_id, std::uint64_t client_id, const std::vector<CisAddress>& cis_list);

    // Waits (bounded) for background work to end and refuses new work until
    // Reset(). Returns false when work was still running after `wait_ms`.
    static bool Shutdown(std::uint32_t wait_ms = 3000);
    static void Reset();

    // Blocking pieces, also used by tests: one route, and one upload (0 the
    // server took it, 1 no connection, 2 send failed, 3 no or bad reply,
    // 4 the server answered a non-zero result).
    static TraceRoute TraceOne(const CisAddress& cis, int max_hops, int probe_ms);
    static int UploadRouteTable(std::uint64_t task_id, std::uint64_t client_id, const std::vector<TraceRoute>& routes);

    // The last routes traced.
    static std::vector<TraceRoute> LastRoutes();
};
