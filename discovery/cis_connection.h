// The per-task CIS client: asks the CIS servers for the peers, vpeers and
// HTTP peers of one task, and sends the task reports (command 87).
//
// Wire protocol (command packets, little-endian, flag 0, version 258); each
// logon opens one TCP connection per CIS, in list order, until one answers:
//   peer-list request, command 80:
//     field 0: u64 client id, 1: u64 task id, 2: u16 peer type of the
//     requester, 3: u16 listen port, 4: u16 requested peer count,
//     5: u32 request flags (the caller's last argument)
//   reply, command 80:
//     field 0: u32 result (0 ok), 1: u64 task id (must match),
//     2: n x 149-byte PeerInfo, 3: m x 143-byte vpeer records
//   HTTP-peer request, command 86 (same connection, after the 80 reply):
//     field 0: u64 client id, 1: u64 task id
//   reply, command 86:
//     field 0: u32 result (0 ok), 1: u64 task id (must match),
//     2: HTTP peers, each u64 id, u16 host length, host bytes, u16 path
//        length, path bytes (host 1..255 bytes, path 0..1023 bytes)
//   task report, command 87 (own connection):
//     field 0: u64 task id, 1: u64 client id, 2..4: u32 a, b, c, 5: u8 type
//   reply, command 87: field 0: u32 result
// Record lists must be whole multiples of their record size; text fields of
// received records are cut at 63 characters. A CIS that is down, silent or
// answers wrongly makes the logon try the next CIS; when none answers the
// sink gets a non-zero result.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "discovery/peer_info.h"
#include "platform/event.h"
#include "platform/thread.h"

// Result codes of a CIS logon (first argument of OnCisConnectionCompleted).
enum CisLogonCode : std::uint32_t {
    CIS_OK = 0,
    CIS_NO_SERVER = 1,   // empty CIS list
    CIS_FAILED = 2,      // every CIS was down, silent or answered wrongly
    CIS_NO_THREAD = 3,   // the logon thread could not start
    CIS_STOPPED = 4,     // StopLogon() during the logon
    CIS_REFUSED = 5,     // a CIS answered with a non-zero result (status carries it)
};

// Sink of a CIS logon (the download task).
class CCisConnectionEx_Event {
public:
    virtual ~CCisConnectionEx_Event() = default;
    // Once per logon, on the logon thread: result 0 and status 0 on success.
    virtual void OnCisConnectionCompleted(std::uint32_t result, const std::vector<PeerInfo>& peers,
                                          const std::vector<VPeerInfo>& vpeers,
                                          const std::vector<HttpPeerInfo>& http_peers, std::uint32_t status) = 0;
    // Progress: (1, n) asking CIS n, (2, n) CIS n failed.
    virtual void OnCisConnectionNotify(std::uint32_t code, std::uint32_t value) = 0;
    // Progress and failure texts, with code 3.
    virtual void OnCisMessage(const char* text, std::uint32_t code) = 0;
};

class CCisConnectionEx {
public:
    CCisConnectionEx();
    ~CCisConnectionEx();   // StopLogon()
    CCisConnectionEx(const CCisConnectionEx&) = delete;
    CCisConnectionEx& operator=(const CCisConnectionEx&) = delete;

    void SetEventSink(CCisConnectionEx_Event* sink);

    // Starts a logon thread asking `cis_list` in order. Returns 0 and does
    // nothing while a logon started at most 120000 ms ago still runs; an
    // older one is told to stop (never waited for: the caller may be an
    // I/O thread) and the next call starts anew. 1 when the thread
    // started; when it cannot start, the sink gets CIS_NO_THREAD and the
    // result is 0.
    int StartLogon(const CisLogonParam& param, const std::vector<CisAddress>& cis_list, std::uint16_t peer_count,
                   std::uint32_t flags);

    // Stops the logon promptly (each wait polls the stop flag) and joins its
    // thread, holding no lock; also cancels a SendCmd87Packet running on
    // this object.
    void StopLogon();

    // True while a logon thread runs.
    bool IsLogonRunning() const;

    // Sends command 87 to the first CIS of the list and waits for its reply:
    // up to 4 connects of the connect bound (10000 ms) and one reply wait
    // (10000 ms). Blocking: call it off the I/O thread. 0 when the CIS
    // answered 0; 1 empty list; 2 not connected; 3 send failed; 4 no or bad
    // reply; 5 cancelled (StopLogon or CancelAll); 6 the CIS answered a
    // non-zero result.
    int SendCmd87Packet(std::uint64_t task_id, std::uint64_t client_id, std::uint32_t a, std::uint32_t b,
                        std::uint32_t c, const std::vector<CisAddress>& cis_list, std::uint8_t type);

    // Bounds (tests shorten them): connect and reply for the logon and for
    // command 87.
    void SetTimeouts(std::uint32_t connect_ms, std::uint32_t reply_ms);

    // Process-wide cancel of every running and later request (shutdown);
    // ResetCancelAll() allows requests again (engine restart, tests).
    static void CancelAll();
    static void ResetCancelAll();

private:
    struct Request;
    struct Reply;
    void LogonThread(Request request);
    std::string AskOne(const CisAddress& cis, const Request& request, Reply& reply, std::uint32_t& refusal);
    bool Stopped() const;
    void Message(const std::string& text);

    std::atomic<CCisConnectionEx_Event*> m_sink{nullptr};
    std::atomic<bool> m_stop{false};
    std::atomic<std::uint32_t> m_connect_ms{10000};
    std::atomic<std::uint32_t> m_reply_ms{10000};
    platform::ThreadSlot m_thread;   // the logon; StopLogon joins it holding no lock
    std::atomic<std::uint32_t> m_started_tick{0};
};
