#include "support/fake_ris_server.h"

#include "foundation/cmd_packet.h"
#include "foundation/cmd_packet_reader.h"

namespace test_support {

FakeRisServer::FakeRisServer() = default;

FakeRisServer::~FakeRisServer()
{
    Stop();
}

bool FakeRisServer::Start()
{
    return m_server.Start([this](const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply) {
        return Handle(request, reply);
    });
}

void FakeRisServer::Stop()
{
    m_server.Stop();
}

std::string FakeRisServer::address() const
{
    return "127.0.0.1:" + std::to_string(port());
}

void FakeRisServer::SetMode(Mode mode)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_mode = mode;
}

void FakeRisServer::SetAnswer(const Answer& answer)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_answer = answer;
}

int FakeRisServer::logons() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_logons;
}

std::uint64_t FakeRisServer::last_client_id() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_last_client_id;
}

std::uint32_t FakeRisServer::last_region() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_last_region;
}

bool FakeRisServer::Handle(const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply)
{
    CCmdPacketReader reader(request.data(), request.size(), cmd_packet::kRisLogonVersion);
    if (!reader.ok() || reader.command() != 50)
        return false;
    std::lock_guard<std::mutex> guard(m_lock);
    ++m_logons;
    reader.get_u64(0, m_last_client_id);
    reader.get_u32(1, m_last_region);

    CCmdPacket answer(51, cmd_packet::kRisLogonVersion);
    std::vector<std::uint8_t> cis(m_answer.cis.size() * 7);
    for (std::size_t i = 0; i < m_answer.cis.size(); ++i) {
        cmd_packet::store_u32(&cis[i * 7], m_answer.cis[i].ip);
        cmd_packet::store_u16(&cis[i * 7 + 4], m_answer.cis[i].port);
        cis[i * 7 + 6] = m_answer.cis[i].area;
    }
    static const std::uint8_t kOdd[3] = {1, 2, 3};
    switch (m_mode) {
    case Mode::silent:
        return true;
    case Mode::hang_up:
        return false;
    case Mode::garbage:
        reply = {8, 0, 0, 0, 0xde, 0xad, 0xbe, 0xef, 1, 2, 3, 4};
        return true;
    case Mode::malformed:
        answer.add_u32(0, 0);
        answer.add_u32(1, 0);
        answer.add_u16(2, 7);   // a client id of the wrong width
        reply = answer.build();
        return true;
    case Mode::refuse:
        answer.add_u32(0, m_answer.result != 0 ? m_answer.result : 9);
        answer.add_u32(1, 0);
        reply = answer.build();
        return true;
    case Mode::answer:
    case Mode::wrong_cis:
        answer.add_u32(0, 0);
        answer.add_u32(1, m_answer.status);
        answer.add_u64(2, m_answer.clientid);
        answer.add_u32(3, m_answer.region);
        answer.add_u32(4, m_answer.publicip);
        answer.add_u8(5, m_answer.peertype);
        if (m_mode == Mode::wrong_cis)
            answer.add_bytes(6, kOdd, sizeof(kOdd));
        else
            answer.add_bytes(6, cis.data(), cis.size());
        answer.add_u64(7, m_answer.server_time);
        reply = answer.build();
        return true;
    }
    return false;
}

}   // namespace test_support
