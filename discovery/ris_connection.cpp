#include "discovery/ris_connection.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "discovery/packet_channel.h"
#include "discovery/server_list.h"
#include "discovery/wire_records.h"
#include "foundation/cmd_packet.h"
#include "foundation/cmd_packet_reader.h"
#include "platform/error_codes.h"
#include "platform/registry.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "report/client_id.h"
#include "report/client_log.h"
#include "report/server_address.h"

namespace {

constexpr std::uint16_t kRisDefaultPort = 3334;
constexpr std::uint16_t kCmdLogon = 50;
constexpr std::uint16_t kCmdLogonReply = 51;
constexpr std::uint32_t kMaxReplyBody = 64 * 1024;
constexpr std::size_t kMaxCandidates = 6;

// The connection whose logon runs on this thread (its sink may call Start
// or Stop, which must not wait for the thread itself).
thread_local const CRisConnectionEx* t_logon_of = nullptr;

// The first "nameserver" of /etc/resolv.conf, host order; 0 when none.
std::uint32_t FirstDnsServer()
{
    std::ifstream in("/etc/resolv.conf");
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string key, value;
        if (words >> key >> value && key == "nameserver") {
            const std::uint32_t ip = platform::parse_ipv4(value);
            if (ip != platform::ipv4_none)
                return platform::ipv4_to_host_order(ip);
        }
    }
    return 0;
}

std::uint16_t PortOrDefault(std::uint64_t port)
{
    return (port == 0 || port > 65535) ? kRisDefaultPort : static_cast<std::uint16_t>(port);
}

// One side (south or north) of the candidates.
void AddSide(std::vector<RisServerAddress>& out, const char* env_name, std::int32_t type, const char* reg_ip,
             const char* reg_port)
{
    const char* env = std::getenv(env_name);
    if (env != nullptr && *env != '\0') {
        ServerAddress parsed;
        if (ParseServerAddress(env, kRisDefaultPort, parsed)) {
            out.push_back({parsed.host, parsed.port});
            return;
        }
    }
    std::vector<ServerRecord> listed;
    CServerList::Instance().GetByType(type, listed);
    for (const ServerRecord& r : listed)
        out.push_back({r.host, PortOrDefault(r.port)});

    platform::RegistryKey key;
    std::string host;
    if (key.get_string(reg_ip, host) && !host.empty()) {
        std::uint32_t port = 0;
        std::string port_text;
        if (!key.get_dword(reg_port, port) && key.get_string(reg_port, port_text))
            port = static_cast<std::uint32_t>(std::strtoul(port_text.c_str(), nullptr, 10));
        out.push_back({host, PortOrDefault(port)});
    }
}

// The client id and region code this installation already holds.
void StoredIdentity(std::uint64_t& client_id, std::uint32_t& region)
{
    platform::RegistryKey key;
    std::string text;
    client_id = 0;
    if (key.get_string("ClientIdStr", text))
        client_id = std::strtoull(text.c_str(), nullptr, 10);
    region = 0;
    key.get_dword("RegionCode", region);
}

}   // namespace

CRisConnectionEx::CRisConnectionEx() = default;

CRisConnectionEx::~CRisConnectionEx()
{
    Stop();
}

void CRisConnectionEx::SetEventSink(CRisConnectionEx_Event* sink)
{
    m_sink.store(sink);
}

void CRisConnectionEx::SetCmdEvent(ICmdEvent* cmd_event)
{
    if (cmd_event != nullptr)
        m_cmd_event.store(cmd_event);
}

void CRisConnectionEx::SetTimeouts(std::uint32_t connect_ms, std::uint32_t reply_ms, std::uint32_t total_ms)
{
    m_connect_ms.store(connect_ms);
    m_reply_ms.store(reply_ms);
    m_total_ms.store(total_ms);
}

bool CRisConnectionEx::IsRunning() const
{
    return m_thread.running();
}

std::vector<RisServerAddress> CRisConnectionEx::CandidateServers()
{
    std::vector<RisServerAddress> all;
    AddSide(all, "VR_RIS_SOUTH", 1, "SouRisIp", "SouRisPort");
    AddSide(all, "VR_RIS_NORTH", 2, "NorRisIp", "NorRisPort");
    if (all.empty())
        all.push_back({"127.0.0.1", kRisDefaultPort});
    std::vector<RisServerAddress> unique;
    for (const RisServerAddress& a : all) {
        bool seen = false;
        for (const RisServerAddress& u : unique)
            seen = seen || (u.host == a.host && u.port == a.port);
        if (!seen && unique.size() < kMaxCandidates)
            unique.push_back(a);
    }
    return unique;
}

int CRisConnectionEx::Start(std::uint32_t param)
{
    if (t_logon_of == this)
        return 10;   // the logon is still running: it is the caller
    if (m_sink.load() == nullptr)
        return 1;
    const auto prepare = [&] {
        m_param.store(param);
        m_stop.store(false);
        m_stop_event.reset();
    };
    switch (m_thread.start(
        prepare, [this] { LogonThread(); }, "ris-logon")) {
    case platform::ThreadSlot::Started::yes:
        return 0;
    case platform::ThreadSlot::Started::failed:
        return 4;
    default:
        return 10;   // running, or a Stop is waiting for it
    }
}

void CRisConnectionEx::Stop()
{
    if (t_logon_of == this) {
        m_stop.store(true);
        m_stop_event.set();
        return;   // from the sink: the logon ends when the sink returns
    }
    // Raised under the start lock: raised before it, a Start on another
    // thread could clear the flag again and this would wait for a fresh
    // logon running its full course. The wait holds no lock.
    const auto raise = [this] {
        m_stop.store(true);
        m_stop_event.set();
    };
    // Every wait of the logon polls the stop flag; only a sink still busy
    // with the result can hold the thread, and it must not be abandoned.
    m_thread.stop(raise, 3000, [] { WriteClientLog("CRisConnectionEx::Stop: logon thread still busy, waiting\n"); });
}

void CRisConnectionEx::LogonThread()
{
    t_logon_of = this;
    std::vector<CisAddress> cis_list;
    RisLogonResult logon{};
    std::uint32_t status = 0;
    std::uint32_t result = RIS_CONNECT_FAILED;

    const std::vector<RisServerAddress> servers = CandidateServers();
    const std::uint32_t deadline = platform::tick_count() + m_total_ms.load();
    for (std::size_t i = 0; i < servers.size(); ++i) {
        if (m_stop.load())
            return;
        if (platform::tick_reached(platform::tick_count(), deadline))
            break;   // the logon's own bound: the last failure stands
        CRisConnectionEx_Event* sink = m_sink.load();
        if (sink != nullptr)
            sink->OnRisConnectionNotify(1, static_cast<std::uint32_t>(i));
        cis_list.clear();
        logon = RisLogonResult{};
        status = 0;
        result = TryServer(servers[i], deadline, cis_list, logon, status);
        std::ostringstream line;
        line << "ris logon " << servers[i].host << ":" << servers[i].port << " result=" << result
             << " status=" << status << "\n";
        WriteClientLog(line.str());
        if (result == RIS_OK || result == RIS_REFUSED)
            break;
        if (sink != nullptr)
            sink->OnRisConnectionNotify(2, static_cast<std::uint32_t>(i));
    }
    if (m_stop.load())
        return;

    if (result == RIS_OK && status == 0) {
        platform::RegistryKey key;
        key.set_string("ClientIdStr", std::to_string(logon.clientid));
        key.set_dword("RegionCode", m_region_code.load());
        SetProcessClientId(logon.clientid);
    } else {
        cis_list.clear();
    }
    CRisConnectionEx_Event* sink = m_sink.load();
    if (sink != nullptr)
        sink->OnRisConnectionCompleted(result, cis_list, logon, status);
}

std::uint32_t CRisConnectionEx::TryServer(const RisServerAddress& server, std::uint32_t deadline,
                                          std::vector<CisAddress>& cis_list, RisLogonResult& logon,
                                          std::uint32_t& status)
{
    // Each step waits its own bound, but never past the logon's deadline.
    const auto bound = [deadline](std::uint32_t ms) {
        const std::uint32_t left = platform::tick_remaining(platform::tick_count(), deadline);
        return ms < left ? ms : left;
    };
    const discovery::StopCheck stop = [this] { return m_stop.load(); };
    const std::uint32_t ip = discovery::ResolveHost(server.host);
    if (ip == 0)
        return RIS_CONNECT_FAILED;
    discovery::PacketChannel channel;
    if (channel.Connect(ip, server.port, bound(m_connect_ms.load()), stop) != 0)
        return RIS_CONNECT_FAILED;

    std::uint64_t client_id = 0;
    std::uint32_t region = 0;
    StoredIdentity(client_id, region);
    std::uint32_t local_ip = 0;
    std::uint16_t local_port = 0;
    platform::local_endpoint(channel.Get(), local_ip, local_port);

    CCmdPacket request(kCmdLogon, cmd_packet::kRisLogonVersion);
    request.add_u64(0, client_id);
    request.add_u32(1, region);
    request.add_u32(2, platform::ipv4_to_host_order(local_ip));
    request.add_u32(3, FirstDnsServer());
    if (channel.SendAll(request.bytes().data(), request.size(), bound(m_connect_ms.load()), stop) != 0)
        return RIS_SEND_FAILED;

    std::vector<std::uint8_t> reply;
    const std::uint32_t error = channel.ReceivePacket(reply, kMaxReplyBody, bound(m_reply_ms.load()), stop);
    if (error == platform::err::msg_size)
        return RIS_BAD_REPLY;
    if (error != 0)
        return RIS_NO_REPLY;

    CCmdPacketReader reader(reply.data(), reply.size(), cmd_packet::kRisLogonVersion);
    std::uint32_t server_result = 0, server_status = 0, region_code = 0, public_ip = 0;
    std::uint64_t new_id = 0;
    std::uint8_t peer_type = 0;
    if (!reader.ok() || reader.command() != kCmdLogonReply || !reader.get_u32(0, server_result) ||
        !reader.get_u32(1, server_status))
        return RIS_BAD_REPLY;
    if (server_result != 0) {
        status = server_result;
        return RIS_REFUSED;
    }
    if (!reader.get_u64(2, new_id) || !reader.get_u32(3, region_code) || !reader.get_u32(4, public_ip) ||
        !reader.get_u8(5, peer_type) || peer_type > PEERTYPE_LAN)
        return RIS_BAD_REPLY;
    const std::uint8_t* list = nullptr;
    std::uint32_t list_length = 0;
    if (reader.get_bytes(6, list, list_length)) {
        if (!discovery::LoadCisAddressList(list, list_length, cis_list))
            return RIS_BAD_REPLY;
    }
    std::uint64_t server_time = 0;
    if (reader.get_u64(7, server_time))
        m_server_time.store(server_time);

    status = server_status;
    logon.publicip = public_ip;
    logon.natip = platform::ipv4_to_host_order(local_ip);
    logon.peertype = peer_type;
    logon.clientid = new_id;
    m_region_code.store(region_code);
    return RIS_OK;
}
