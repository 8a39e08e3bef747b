#include "support/fake_cis_server.h"

#include <cstring>

#include "foundation/cmd_packet.h"
#include "foundation/cmd_packet_reader.h"

namespace test_support {
namespace {

using cmd_packet::store_u16;
using cmd_packet::store_u32;
using cmd_packet::store_u64;

// Records as they travel (little-endian, packed), written here rather than
// taken from the code under test.
std::vector<std::uint8_t> EncodePeers(const std::vector<PeerInfo>& peers)
{
    std::vector<std::uint8_t> out(peers.size() * 149);
    for (std::size_t i = 0; i < peers.size(); ++i) {
        std::uint8_t* p = &out[i * 149];
        store_u64(p, peers[i].clientid);
        store_u32(p + 8, peers[i].publicip);
        store_u16(p + 12, peers[i].publicport);
        store_u32(p + 14, peers[i].natip);
        store_u16(p + 18, peers[i].natport);
        p[20] = peers[i].peertype;
        std::memcpy(p + 21, peers[i].path, 64);
        std::memcpy(p + 85, peers[i].hostname, 64);
    }
    return out;
}

std::vector<std::uint8_t> EncodeVPeers(const std::vector<VPeerInfo>& vpeers)
{
    std::vector<std::uint8_t> out(vpeers.size() * 143);
    for (std::size_t i = 0; i < vpeers.size(); ++i) {
        std::uint8_t* p = &out[i * 143];
        store_u64(p, vpeers[i].clientid);
        store_u32(p + 8, vpeers[i].ip);
        store_u16(p + 12, vpeers[i].port);
        p[14] = vpeers[i].peertype;
        std::memcpy(p + 15, vpeers[i].path, 64);
        std::memcpy(p + 79, vpeers[i].hostname, 64);
    }
    return out;
}

std::vector<std::uint8_t> EncodeHttpPeers(const std::vector<HttpPeerInfo>& peers)
{
    std::vector<std::uint8_t> out;
    for (const HttpPeerInfo& h : peers) {
        std::uint8_t head[10];
        store_u64(head, h.peerid);
        store_u16(head + 8, static_cast<std::uint16_t>(h.host.size()));
        out.insert(out.end(), head, head + 10);
        out.insert(out.end(), h.host.begin(), h.host.end());
        std::uint8_t length[2];
        store_u16(length, static_cast<std::uint16_t>(h.path.size()));
        out.insert(out.end(), length, length + 2);
        out.insert(out.end(), h.path.begin(), h.path.end());
    }
    return out;
}

}   // namespace

FakeCisServer::FakeCisServer() = default;

FakeCisServer::~FakeCisServer()
{
    Stop();
}

bool FakeCisServer::Start()
{
    return m_server.Start([this](const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply) {
        return Handle(request, reply);
    });
}

void FakeCisServer::Stop()
{
    m_server.Stop();
}

CisAddress FakeCisServer::address() const
{
    CisAddress a{};
    a.ip = 0x7F000001;
    a.port = port();
    a.area = 1;
    return a;
}

void FakeCisServer::SetMode(Mode mode)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_mode = mode;
}

void FakeCisServer::SetRefusal(std::uint32_t result)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_refusal = result;
}

void FakeCisServer::SetReportResult(std::uint32_t result)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_report_result = result;
}

void FakeCisServer::SetTaskPeers(std::uint64_t task_id, const std::vector<PeerInfo>& peers,
                                 const std::vector<VPeerInfo>& vpeers, const std::vector<HttpPeerInfo>& http_peers)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_tasks[task_id] = TaskAnswer{peers, vpeers, http_peers};
}

std::vector<FakeCisServer::PeerRequest> FakeCisServer::peer_requests() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_peer_requests;
}

std::vector<FakeCisServer::Report> FakeCisServer::reports() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_reports;
}

std::vector<std::pair<std::uint64_t, std::vector<std::uint8_t>>> FakeCisServer::route_tables() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_route_tables;
}

bool FakeCisServer::Handle(const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply)
{
    CCmdPacketReader reader(request.data(), request.size());
    if (!reader.ok())
        return false;
    std::lock_guard<std::mutex> guard(m_lock);
    const std::uint16_t command = reader.command();
    if (command == 87 || command == 89) {
        if (command == 87) {
            Report r;
            reader.get_u64(0, r.task_id);
            reader.get_u64(1, r.client_id);
            reader.get_u32(2, r.a);
            reader.get_u32(3, r.b);
            reader.get_u32(4, r.c);
            reader.get_u8(5, r.type);
            m_reports.push_back(r);
        } else {
            std::uint64_t task_id = 0;
            const std::uint8_t* data = nullptr;
            std::uint32_t length = 0;
            reader.get_u64(0, task_id);
            reader.get_bytes(2, data, length);
            m_route_tables.push_back({task_id, std::vector<std::uint8_t>(data, data + length)});
        }
        if (m_mode == Mode::silent)
            return true;
        if (m_mode == Mode::hang_up)
            return false;
        CCmdPacket answer(command);
        answer.add_u32(0, m_report_result);
        reply = answer.build();
        return true;
    }
    if (command != 80 && command != 86)
        return false;

    std::uint64_t task_id = 0;
    if (command == 80) {
        PeerRequest r;
        reader.get_u64(0, r.client_id);
        reader.get_u64(1, r.task_id);
        reader.get_u16(2, r.peer_type);
        reader.get_u16(3, r.listen_port);
        reader.get_u16(4, r.peer_count);
        m_peer_requests.push_back(r);
        task_id = r.task_id;
    } else {
        reader.get_u64(1, task_id);
    }
    const TaskAnswer known = m_tasks.count(task_id) != 0 ? m_tasks[task_id] : TaskAnswer{};
    CCmdPacket answer(command);
    switch (m_mode) {
    case Mode::silent:
        return true;
    case Mode::hang_up:
        return false;
    case Mode::garbage:
        reply = {8, 0, 0, 0, 0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4};
        return true;
    case Mode::refuse:
        answer.add_u32(0, m_refusal);
        answer.add_u64(1, task_id);
        break;
    case Mode::wrong_task:
        answer.add_u32(0, 0);
        answer.add_u64(1, task_id + 1);
        break;
    case Mode::malformed: {
        answer.add_u32(0, 0);
        answer.add_u64(1, task_id);
        std::vector<std::uint8_t> peers = EncodePeers(known.peers);
        peers.resize(peers.size() + 100, 0xAB);   // a short record at the end
        answer.add_bytes(2, peers.data(), peers.size());
        break;
    }
    case Mode::answer: {
        answer.add_u32(0, 0);
        answer.add_u64(1, task_id);
        if (command == 80) {
            const std::vector<std::uint8_t> peers = EncodePeers(known.peers);
            const std::vector<std::uint8_t> vpeers = EncodeVPeers(known.vpeers);
            answer.add_bytes(2, peers.data(), peers.size());
            answer.add_bytes(3, vpeers.data(), vpeers.size());
        } else {
            const std::vector<std::uint8_t> http = EncodeHttpPeers(known.http_peers);
            answer.add_bytes(2, http.data(), http.size());
        }
        break;
    }
    }
    reply = answer.build();
    return true;
}

}   // namespace test_support
