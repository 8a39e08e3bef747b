// A CIS on 127.0.0.1 for tests: names the peers, vpeers and HTTP peers set
// for a task (commands 80 and 86), records task reports (87) and route
// tables (89), or refuses, answers wrongly, stays silent or hangs up.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/peer_info.h"
#include "support/fake_packet_server.h"

namespace test_support {

class FakeCisServer {
public:
    enum class Mode {
        answer,       // the peers set for the asked task (none for others)
        refuse,       // result = refusal() on the peer-list request
        malformed,    // peer records that are not whole 149-byte records
        wrong_task,   // a reply naming another task id
        garbage,      // bytes that are not a command packet
        silent,       // reads requests and never answers
        hang_up,      // closes the connection on the first request
    };

    // One report received as command 87.
    struct Report {
        std::uint64_t task_id = 0;
        std::uint64_t client_id = 0;
        std::uint32_t a = 0, b = 0, c = 0;
        std::uint8_t type = 0;
    };

    // One peer-list request received as command 80.
    struct PeerRequest {
        std::uint64_t client_id = 0;
        std::uint64_t task_id = 0;
        std::uint16_t peer_type = 0;
        std::uint16_t listen_port = 0;
        std::uint16_t peer_count = 0;
    };

    FakeCisServer();
    ~FakeCisServer();

    bool Start();
    void Stop();
    std::uint16_t port() const { return m_server.port(); }
    // This server as a CisAddress (127.0.0.1 in host order).
    CisAddress address() const;

    void SetMode(Mode mode);
    void SetRefusal(std::uint32_t result);
    // The answers for one task.
    void SetTaskPeers(std::uint64_t task_id, const std::vector<PeerInfo>& peers, const std::vector<VPeerInfo>& vpeers,
                      const std::vector<HttpPeerInfo>& http_peers);
    // Result of 87 and 89 replies (0 by default).
    void SetReportResult(std::uint32_t result);

    std::vector<PeerRequest> peer_requests() const;
    std::vector<Report> reports() const;
    // Raw field 2 of every route table received, with its task id.
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> route_tables() const;
    int connections() const { return m_server.connections(); }

private:
    struct TaskAnswer {
        std::vector<PeerInfo> peers;
        std::vector<VPeerInfo> vpeers;
        std::vector<HttpPeerInfo> http_peers;
    };
    bool Handle(const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply);

    FakePacketServer m_server;
    mutable std::mutex m_lock;   // guards everything below
    Mode m_mode = Mode::answer;
    std::uint32_t m_refusal = 7;
    std::uint32_t m_report_result = 0;
    std::map<std::uint64_t, TaskAnswer> m_tasks;
    std::vector<PeerRequest> m_peer_requests;
    std::vector<Report> m_reports;
    std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> m_route_tables;
};

}   // namespace test_support
