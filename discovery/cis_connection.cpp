#include "discovery/cis_connection.h"

#include <cstdio>
#include <sstream>

#include "discovery/packet_channel.h"
#include "discovery/wire_records.h"
#include "foundation/cmd_packet.h"
#include "foundation/cmd_packet_reader.h"
#include "platform/error_codes.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "report/client_log.h"

namespace {

constexpr std::uint16_t kCmdPeerList = 80;
constexpr std::uint16_t kCmdHttpPeers = 86;
constexpr std::uint16_t kCmdTaskReport = 87;
constexpr std::uint32_t kMaxReplyBody = 256 * 1024;
constexpr std::uint32_t kLogonRefuseWindowMs = 120000;
constexpr int kCmd87ConnectAttempts = 4;
constexpr std::size_t kMaxHostLength = 255;
constexpr std::size_t kMaxPathLength = 1023;

std::atomic<bool> g_cancel_all{false};

// The connection whose logon runs on this thread: its sink may call back
// into it, which must neither wait for itself nor for the lock its stopper
// holds while it waits.
thread_local const CCisConnectionEx* t_logon_of = nullptr;

std::string CisText(const CisAddress& cis)
{
    std::ostringstream text;
    text << discovery::HostOrderText(cis.ip) << ":" << cis.port;
    return text.str();
}

// Parses the HTTP peers of a 86 reply; false when a record runs past the
// field or a length is out of range.
bool ParseHttpPeers(const std::uint8_t* data, std::size_t length, std::vector<HttpPeerInfo>& out)
{
    out.clear();
    std::size_t at = 0;
    while (at < length) {
        if (length - at < 10)
            return false;
        HttpPeerInfo peer;
        peer.peerid = cmd_packet::load_u64(data + at);
        const std::size_t host_length = cmd_packet::load_u16(data + at + 8);
        at += 10;
        if (host_length == 0 || host_length > kMaxHostLength || length - at < host_length + 2)
            return false;
        peer.host.assign(reinterpret_cast<const char*>(data + at), host_length);
        at += host_length;
        const std::size_t path_length = cmd_packet::load_u16(data + at);
        at += 2;
        if (path_length > kMaxPathLength || length - at < path_length)
            return false;
        peer.path.assign(reinterpret_cast<const char*>(data + at), path_length);
        at += path_length;
        if (peer.host.find('\0') != std::string::npos || peer.path.find('\0') != std::string::npos)
            return false;
        out.push_back(std::move(peer));
    }
    return true;
}

// Reads the common head of a reply: its command, result and the task id,
// which must be the one asked about.
bool ReadReplyHead(const CCmdPacketReader& reader, std::uint16_t command, std::uint64_t task_id, std::uint32_t& result)
{
    std::uint64_t echoed = 0;
    return reader.ok() && reader.command() == command && reader.get_u32(0, result) && reader.get_u64(1, echoed) &&
           echoed == task_id;
}

}   // namespace

struct CCisConnectionEx::Reply {
    std::vector<PeerInfo> peers;
    std::vector<VPeerInfo> vpeers;
    std::vector<HttpPeerInfo> http_peers;
};

struct CCisConnectionEx::Request {
    CisLogonParam param;
    std::vector<CisAddress> cis_list;
    std::uint16_t peer_count = 0;
    std::uint32_t flags = 0;
};

CCisConnectionEx::CCisConnectionEx() = default;

CCisConnectionEx::~CCisConnectionEx()
{
    StopLogon();
}

void CCisConnectionEx::SetEventSink(CCisConnectionEx_Event* sink)
{
    m_sink.store(sink);
}

void CCisConnectionEx::SetTimeouts(std::uint32_t connect_ms, std::uint32_t reply_ms)
{
    m_connect_ms.store(connect_ms);
    m_reply_ms.store(reply_ms);
}

void CCisConnectionEx::CancelAll()
{
    g_cancel_all.store(true);
}

void CCisConnectionEx::ResetCancelAll()
{
    g_cancel_all.store(false);
}

bool CCisConnectionEx::Stopped() const
{
    return m_stop.load() || g_cancel_all.load();
}

bool CCisConnectionEx::IsLogonRunning() const
{
    return m_thread.running();
}

void CCisConnectionEx::Message(const std::string& text)
{
    CCisConnectionEx_Event* sink = m_sink.load();
    if (sink != nullptr)
        sink->OnCisMessage(text.c_str(), 3);
}

int CCisConnectionEx::StartLogon(const CisLogonParam& param, const std::vector<CisAddress>& cis_list,
                                 std::uint16_t peer_count, std::uint32_t flags)
{
    if (t_logon_of == this)
        return 0;   // asked from the logon's own sink: it cannot replace itself
    if (m_thread.running()) {
        // An old logon still running is told to end, not waited for: this
        // may be the I/O thread. The next request finds it ended.
        if (platform::tick_count() - m_started_tick.load() > kLogonRefuseWindowMs)
            m_stop.store(true);
        return 0;
    }
    const auto prepare = [this] {
        m_stop.store(false);
        m_started_tick.store(platform::tick_count());
    };
    Request request{param, cis_list, peer_count, flags};
    const platform::ThreadSlot::Started started = m_thread.start(
        prepare, [this, request] { LogonThread(request); }, "cis-logon");
    if (started == platform::ThreadSlot::Started::yes)
        return 1;
    if (started == platform::ThreadSlot::Started::failed) {
        CCisConnectionEx_Event* sink = m_sink.load();
        if (sink != nullptr)
            sink->OnCisConnectionCompleted(CIS_NO_THREAD, {}, {}, {}, 0);
    }
    return 0;
}

void CCisConnectionEx::StopLogon()
{
    if (t_logon_of == this) {
        m_stop.store(true);
        return;   // from the logon's own sink: it ends when the sink returns
    }
    // Raised under the start lock, so a StartLogon on another thread cannot
    // clear it again for a fresh logon this would then wait out. Every wait
    // of the logon polls the stop flag; only a sink still busy with a reply
    // can hold it, and the thread is never abandoned.
    m_thread.stop([this] { m_stop.store(true); }, 3000,
                  [] { WriteClientLog("CCisConnectionEx::StopLogon: logon thread still busy, waiting\n"); });
}

// One CIS: the peer-list and the HTTP-peer exchanges on one connection.
// Empty on success, else what went wrong; `refusal` is the CIS's non-zero
// result when it refused.
std::string CCisConnectionEx::AskOne(const CisAddress& cis, const Request& request, Reply& reply,
                                     std::uint32_t& refusal)
{
    const discovery::StopCheck stop = [this] { return Stopped(); };
    const std::uint64_t task_id = request.param.taskid;
    discovery::PacketChannel channel;
    std::uint32_t error = channel.Connect(platform::ipv4_from_host_order(cis.ip), cis.port, m_connect_ms.load(), stop);
    if (error != 0)
        return "connect failed, error=" + std::to_string(error);

    CCmdPacket ask(kCmdPeerList);
    ask.add_u64(0, request.param.clientid);
    ask.add_u64(1, task_id);
    ask.add_u16(2, request.param.peertype);
    ask.add_u16(3, request.param.listenport);
    ask.add_u16(4, request.peer_count);
    ask.add_u32(5, request.flags);
    std::vector<std::uint8_t> packet;
    error = channel.Exchange(ask.bytes(), packet, kMaxReplyBody, m_connect_ms.load(), m_reply_ms.load(), stop);
    if (error != 0)
        return "no peer-list reply, error=" + std::to_string(error);
    std::uint32_t result = 0;
    const std::uint8_t* data = nullptr;
    std::uint32_t length = 0;
    {
        CCmdPacketReader reader(packet.data(), packet.size());
        if (!ReadReplyHead(reader, kCmdPeerList, task_id, result))
            return "bad peer-list reply";
        if (result != 0) {
            refusal = result;
            return "refused, result=" + std::to_string(result);
        }
        if (reader.get_bytes(2, data, length) && !discovery::LoadPeerInfoList(data, length, reply.peers))
            return "bad peer records";
        if (reader.get_bytes(3, data, length) && !discovery::LoadVPeerInfoList(data, length, reply.vpeers))
            return "bad vpeer records";
    }

    CCmdPacket ask_http(kCmdHttpPeers);
    ask_http.add_u64(0, request.param.clientid);
    ask_http.add_u64(1, task_id);
    error = channel.Exchange(ask_http.bytes(), packet, kMaxReplyBody, m_connect_ms.load(), m_reply_ms.load(), stop);
    if (error != 0)
        return "no http-peer reply, error=" + std::to_string(error);
    CCmdPacketReader reader(packet.data(), packet.size());
    if (!ReadReplyHead(reader, kCmdHttpPeers, task_id, result))
        return "bad http-peer reply";
    if (result != 0) {
        refusal = result;
        return "http peers refused, result=" + std::to_string(result);
    }
    if (reader.get_bytes(2, data, length) && !ParseHttpPeers(data, length, reply.http_peers))
        return "bad http-peer records";
    return std::string();
}

void CCisConnectionEx::LogonThread(Request request)
{
    t_logon_of = this;
    const std::uint64_t task_id = request.param.taskid;
    std::uint32_t result = request.cis_list.empty() ? CIS_NO_SERVER : CIS_FAILED;
    std::uint32_t status = 0;
    Reply reply;

    for (std::size_t i = 0; i < request.cis_list.size(); ++i) {
        if (Stopped())
            return;
        const CisAddress& cis = request.cis_list[i];
        CCisConnectionEx_Event* sink = m_sink.load();
        if (sink != nullptr)
            sink->OnCisConnectionNotify(1, static_cast<std::uint32_t>(i));
        Message("connect cis " + CisText(cis));
        reply = Reply();
        std::uint32_t refusal = 0;
        const std::string failure = AskOne(cis, request, reply, refusal);
        if (failure.empty()) {
            result = CIS_OK;
            status = 0;
            break;
        }
        if (refusal != 0) {
            result = CIS_REFUSED;
            status = refusal;
        }
        if (Stopped())
            return;
        Message("cis " + CisText(cis) + " failed: " + failure);
        if (sink != nullptr)
            sink->OnCisConnectionNotify(2, static_cast<std::uint32_t>(i));
    }
    if (Stopped())
        return;
    if (result != CIS_OK)
        reply = Reply();
    char line[128];
    std::snprintf(line, sizeof(line), "task id=%lld,result=%d,status=%d", static_cast<long long>(task_id),
                  static_cast<int>(result), static_cast<int>(status));
    Message(line);
    CCisConnectionEx_Event* sink = m_sink.load();
    if (sink != nullptr)
        sink->OnCisConnectionCompleted(result, reply.peers, reply.vpeers, reply.http_peers, status);
}

int CCisConnectionEx::SendCmd87Packet(std::uint64_t task_id, std::uint64_t client_id, std::uint32_t a, std::uint32_t b,
                                      std::uint32_t c, const std::vector<CisAddress>& cis_list, std::uint8_t type)
{
    if (cis_list.empty())
        return 1;
    const discovery::StopCheck stop = [this] { return Stopped(); };
    const CisAddress& cis = cis_list.front();
    discovery::PacketChannel channel;
    std::uint32_t error = 0;
    for (int attempt = 0; attempt < kCmd87ConnectAttempts; ++attempt) {
        if (Stopped())
            return 5;
        error = channel.Connect(platform::ipv4_from_host_order(cis.ip), cis.port, m_connect_ms.load(), stop);
        if (error == 0)
            break;
        if (error == platform::err::operation_aborted)
            return 5;
        // A refused connect fails at once; pause a little so the attempts
        // are spread over time rather than spent in a burst.
        for (int i = 0; i < 5 && !Stopped(); ++i)
            platform::sleep_ms(20);
    }
    if (error != 0)
        return 2;
    CCmdPacket report(kCmdTaskReport);
    report.add_u64(0, task_id);
    report.add_u64(1, client_id);
    report.add_u32(2, a);
    report.add_u32(3, b);
    report.add_u32(4, c);
    report.add_u8(5, type);
    std::vector<std::uint8_t> reply;
    error = channel.Exchange(report.bytes(), reply, 4096, m_connect_ms.load(), m_reply_ms.load(), stop);
    if (error == platform::err::operation_aborted)
        return 5;
    if (error != 0)
        return 4;
    std::uint32_t result = 0;
    if (!discovery::ReadResultReply(reply, kCmdTaskReport, result))
        return 4;
    return result == 0 ? 0 : 6;
}
