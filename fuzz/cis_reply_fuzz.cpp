// Peer-list and HTTP-peer replies of a CIS, as a broken or hostile server
// may send them: the real CIS client asks a one-answer server on 127.0.0.1,
// which sends the input (after its first byte) in pieces of the size that
// byte picks; both replies travel on one connection, so the input holds the
// peer-list reply followed by the HTTP-peer reply. The logon must end
// promptly, and what it hands over must be sound.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "discovery/cis_connection.h"
#include "fuzz_check.h"
#include "isolated_env.h"
#include "loopback_server.h"
#include "platform/event.h"

namespace {

constexpr std::uint64_t kTaskId = 0x1122334455667788ull;

class Sink : public CCisConnectionEx_Event {
public:
    void OnCisConnectionCompleted(std::uint32_t result, const std::vector<PeerInfo>& peers,
                                  const std::vector<VPeerInfo>& vpeers, const std::vector<HttpPeerInfo>& http_peers,
                                  std::uint32_t status) override
    {
        m_result = result;
        m_status = status;
        m_peers = peers;
        m_vpeers = vpeers;
        m_http = http_peers;
        m_done.set();
    }
    void OnCisConnectionNotify(std::uint32_t, std::uint32_t) override {}
    void OnCisMessage(const char*, std::uint32_t) override {}

    platform::Event m_done{platform::Event::Reset::manual};
    std::uint32_t m_result = ~0u;
    std::uint32_t m_status = 0;
    std::vector<PeerInfo> m_peers;
    std::vector<VPeerInfo> m_vpeers;
    std::vector<HttpPeerInfo> m_http;
};

LoopbackServer& server()
{
    static LoopbackServer* s = [] {
        isolate_platform_folders("cis_reply_fuzz");
        return new LoopbackServer;
    }();
    return *s;
}

template <size_t N>
bool terminated(const char (&text)[N])
{
    for (char c : text)
        if (c == 0)
            return true;
    return false;
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    LoopbackServer& loopback = server();
    const std::string replies(reinterpret_cast<const char*>(data) + 1, size - 1);

    Sink sink;
    bool ended = false;
    {
        CCisConnectionEx cis;
        cis.SetEventSink(&sink);
        cis.SetTimeouts(3000, 3000);
        CisLogonParam param;
        param.clientid = 99;
        param.taskid = kTaskId;
        param.peertype = 1;
        param.listenport = 4000;
        const CisAddress address{0x7f000001u, loopback.port(), 0};
        loopback.answer_once(replies, 1 + data[0] % 53, framed_packet_complete, [&] {
            FUZZ_CHECK(cis.StartLogon(param, {address}, 20, 0) == 1);
            ended = sink.m_done.wait(20000);
        });
        cis.StopLogon();
    }
    FUZZ_CHECK(ended);

    const std::uint32_t r = sink.m_result;
    FUZZ_CHECK(r == CIS_OK || r == CIS_FAILED || r == CIS_REFUSED);
    if (r != CIS_OK) {
        FUZZ_CHECK(sink.m_peers.empty() && sink.m_vpeers.empty() && sink.m_http.empty());
        FUZZ_CHECK((r == CIS_REFUSED) == (sink.m_status != 0));
        return 0;
    }
    FUZZ_CHECK(sink.m_status == 0);
    // Records of the two replies cannot hold more than the input did.
    const size_t record_bytes = sink.m_peers.size() * sizeof(PeerInfo) + sink.m_vpeers.size() * sizeof(VPeerInfo);
    FUZZ_CHECK(record_bytes + sink.m_http.size() * 11 <= replies.size());
    for (const PeerInfo& p : sink.m_peers)
        FUZZ_CHECK(terminated(p.path) && terminated(p.hostname));
    for (const VPeerInfo& p : sink.m_vpeers)
        FUZZ_CHECK(terminated(p.path) && terminated(p.hostname));
    for (const HttpPeerInfo& h : sink.m_http) {
        FUZZ_CHECK(!h.host.empty() && h.host.size() <= 255 && h.path.size() <= 1023);
        FUZZ_CHECK(h.host.find('\0') == std::string::npos && h.path.find('\0') == std::string::npos);
    }
    return 0;
}
