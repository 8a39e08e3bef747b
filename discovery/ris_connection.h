// The RIS client: logs this installation on to an index server and learns
// its client id, region code, public address, peer type and the CIS list.
//
// Wire protocol (command packets, little-endian, flag 0, version 257), one
// TCP connection per attempt, one request and one reply:
//   request, command 50:
//     field 0: u64 client id we hold ("ClientIdStr" in the registry, 0 if none)
//     field 1: u32 region code we hold ("RegionCode", 0 if none)
//     field 2: u32 local IPv4 of the connection, host byte order
//     field 3: u32 first DNS server of this machine, host byte order (0 if none)
//   reply, command 51:
//     field 0: u32 result (0: logged on; otherwise the server refused)
//     field 1: u32 second status (0 on success)
//     field 2: u64 client id assigned to this installation
//     field 3: u32 region code
//     field 4: u32 public IPv4 the server saw, host byte order
//     field 5: u8 peer type of this client (0 behind NAT, 1 reachable, 2 direct)
//     field 6: n x 7-byte CisAddress (n may be 0)
//     field 7: u64 server time, seconds since 1970 (optional)
//   Fields 0 to 5 must be present with exactly these widths; field 6 must be
//   a whole number of records. Anything else is a malformed reply.
//
// Servers are tried in order: the south server(s), then the north ones.
// South: VR_RIS_SOUTH ("host[:port]") when set; otherwise the type-1
// records of CServerList, then the registry values "SouRisIp"/"SouRisPort".
// North likewise with VR_RIS_NORTH, type 2, "NorRisIp"/"NorRisPort". When
// nothing names any server, 127.0.0.1:3334. Host names are resolved with
// getaddrinfo. Each attempt has a connect bound and a reply bound, and the
// whole logon one more, so down or silent servers end it with a failure
// within a few seconds however many are configured.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/peer_info.h"
#include "platform/event.h"
#include "platform/thread.h"

class ICmdEvent;

#pragma pack(push, 1)
// The logon result block handed to the sink (24 bytes).
struct RisLogonResult {
    std::uint32_t publicip;   // host byte order, as the server saw us
    std::uint32_t natip;      // host byte order, our local address
    std::uint8_t peertype;    // byte 8
    std::uint8_t reserved[7];
    std::uint64_t clientid;   // byte 16
};
#pragma pack(pop)
static_assert(sizeof(RisLogonResult) == 24, "logon result block");

// Result codes of a logon (first argument of OnRisConnectionCompleted).
enum RisLogonCode : std::uint32_t {
    RIS_OK = 0,
    RIS_CONNECT_FAILED = 1,   // no server could be reached
    RIS_SEND_FAILED = 2,
    RIS_NO_REPLY = 3,    // closed or silent past the reply bound
    RIS_BAD_REPLY = 4,   // malformed reply
    RIS_REFUSED = 6,     // the server answered with a non-zero result
};

// Sink of the logon (the client core).
class CRisConnectionEx_Event {
public:
    virtual ~CRisConnectionEx_Event() = default;
    // Called once per logon that is not stopped, on the logon thread. Success when both
    // result and status are 0; then `cis_list` and `logon` are filled. On
    // RIS_REFUSED `status` carries the server's result code.
    virtual void OnRisConnectionCompleted(std::uint32_t result, const std::vector<CisAddress>& cis_list,
                                          const RisLogonResult& logon, std::uint32_t status) = 0;
    // Progress of the logon: (1, n) trying server n, (2, n) server n failed.
    virtual void OnRisConnectionNotify(std::uint32_t code, std::uint32_t value) = 0;
};

struct RisServerAddress {
    std::string host;
    std::uint16_t port = 0;
};

class CRisConnectionEx {
public:
    CRisConnectionEx();
    ~CRisConnectionEx();   // stops the logon (bounded)
    CRisConnectionEx(const CRisConnectionEx&) = delete;
    CRisConnectionEx& operator=(const CRisConnectionEx&) = delete;

    void SetEventSink(CRisConnectionEx_Event* sink);
    // Stores the engine's event sink (null ignored).
    void SetCmdEvent(ICmdEvent* cmd_event);

    // Starts the logon thread: 0 started, 10 a logon is already running,
    // 1 no event sink, 2 the stop event cannot be made, 4 no thread.
    // `param` is kept for the caller's records (the client core passes -1).
    int Start(std::uint32_t param);

    // Ends a running logon promptly and joins the thread. A logon ended this
    // way reports nothing to the sink (a client core that is stopping must
    // not build a session); one that already reported is just joined.
    void Stop();

    bool IsRunning() const;

    // Bounds of each attempt and of the whole logon over every server
    // (defaults 3000, 4000 and 10000 ms; tests shorten them).
    void SetTimeouts(std::uint32_t connect_ms, std::uint32_t reply_ms, std::uint32_t total_ms = 10000);

    // The servers the logon will try, in order (see the header comment).
    static std::vector<RisServerAddress> CandidateServers();

    // Region code and server time of the last successful logon.
    std::uint32_t GetRegionCode() const { return m_region_code.load(); }
    std::uint64_t GetServerTime() const { return m_server_time.load(); }
    ICmdEvent* GetCmdEvent() const { return m_cmd_event.load(); }

private:
    void LogonThread();
    std::uint32_t TryServer(const RisServerAddress& server, std::uint32_t deadline, std::vector<CisAddress>& cis_list,
                            RisLogonResult& logon, std::uint32_t& status);

    std::atomic<CRisConnectionEx_Event*> m_sink{nullptr};
    std::atomic<ICmdEvent*> m_cmd_event{nullptr};
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint32_t> m_connect_ms{3000};
    std::atomic<std::uint32_t> m_reply_ms{4000};
    std::atomic<std::uint32_t> m_total_ms{10000};
    std::atomic<std::uint32_t> m_region_code{0};
    std::atomic<std::uint64_t> m_server_time{0};
    std::atomic<std::uint32_t> m_param{0};
    platform::Event m_stop_event{platform::Event::Reset::manual};
    platform::ThreadSlot m_thread;   // the logon; Stop joins it holding no lock
};
