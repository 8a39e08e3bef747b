// Logon replies of an index server (RIS), as a broken or hostile server may
// send them: the real logon client connects to a one-answer server on
// 127.0.0.1, which sends the input (after its first byte) in pieces of the
// size that byte picks and closes. The logon must end promptly with a
// result that fits the reply.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "discovery/ris_connection.h"
#include "foundation/cmd_packet_reader.h"
#include "fuzz_check.h"
#include "isolated_env.h"
#include "loopback_server.h"
#include "platform/event.h"

namespace {

class Sink : public CRisConnectionEx_Event {
public:
    void OnRisConnectionCompleted(std::uint32_t result, const std::vector<CisAddress>& cis_list,
                                  const RisLogonResult& logon, std::uint32_t status) override
    {
        m_result = result;
        m_cis = cis_list.size();
        m_logon = logon;
        m_status = status;
        m_done.set();
    }
    void OnRisConnectionNotify(std::uint32_t, std::uint32_t) override {}

    platform::Event m_done{platform::Event::Reset::manual};
    std::uint32_t m_result = ~0u;
    size_t m_cis = 0;
    RisLogonResult m_logon{};
    std::uint32_t m_status = 0;
};

LoopbackServer& server()
{
    static LoopbackServer* s = [] {
        isolate_platform_folders("ris_reply_fuzz");
        auto* made = new LoopbackServer;
        // Both sides name the one server, so the logon tries it alone.
        const std::string address = "127.0.0.1:" + std::to_string(made->port());
        setenv("VR_RIS_SOUTH", address.c_str(), 1);
        setenv("VR_RIS_NORTH", address.c_str(), 1);
        FUZZ_CHECK(CRisConnectionEx::CandidateServers().size() == 1);
        return made;
    }();
    return *s;
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    LoopbackServer& loopback = server();
    const std::string reply(reinterpret_cast<const char*>(data) + 1, size - 1);

    Sink sink;
    bool ended = false;
    {
        CRisConnectionEx logon;
        logon.SetEventSink(&sink);
        logon.SetTimeouts(3000, 3000, 8000);
        loopback.answer_once(reply, 1 + data[0] % 53, framed_packet_complete, [&] {
            FUZZ_CHECK(logon.Start(~0u) == 0);
            ended = sink.m_done.wait(20000);
        });
        logon.Stop();
    }
    FUZZ_CHECK(ended);

    // The server answered and closed: only a reply it did not like, a
    // refusal, a stream that ended early or success are possible.
    const std::uint32_t r = sink.m_result;
    FUZZ_CHECK(r == RIS_OK || r == RIS_NO_REPLY || r == RIS_BAD_REPLY || r == RIS_REFUSED);
    if (r == RIS_OK || r == RIS_REFUSED) {
        // The first framed packet reads as a logon reply.
        FUZZ_CHECK(reply.size() >= 4);
        const size_t framed = 4 + cmd_packet::load_u32(reinterpret_cast<const uint8_t*>(reply.data()));
        FUZZ_CHECK(framed <= reply.size());
        CCmdPacketReader reader(reinterpret_cast<const uint8_t*>(reply.data()), framed, cmd_packet::kRisLogonVersion);
        FUZZ_CHECK(reader.ok());
        std::uint32_t result = 0;
        FUZZ_CHECK(reader.get_u32(0, result));
        FUZZ_CHECK((result == 0) == (r == RIS_OK));
        if (r == RIS_REFUSED)
            FUZZ_CHECK(sink.m_status == result);
        if (r == RIS_OK && sink.m_status != 0) {
            // A second status other than 0 is no success: nothing is handed over.
            FUZZ_CHECK(sink.m_cis == 0);
        } else if (r == RIS_OK) {
            std::uint64_t id = 0;
            FUZZ_CHECK(reader.get_u64(2, id) && id == sink.m_logon.clientid);
            FUZZ_CHECK(sink.m_logon.peertype <= PEERTYPE_LAN);
            CmdField list;
            FUZZ_CHECK(reader.find(6, list) ? list.length == 7 * sink.m_cis : sink.m_cis == 0);
        }
    } else {
        FUZZ_CHECK(sink.m_cis == 0);
    }
    return 0;
}
