// NAT traversal as the engine sees it: connected sockets to other peers of
// a task, dialled directly or, for a peer behind NAT, asked of its parent
// so that the son connects back.
//
// Messages are command packets (little-endian, flag 0, version 258) framed
// by their u32 length, at most 4096 bytes. PeerInfo fields are sent whole
// (149 bytes); the sender puts its listen port into publicport.
//   69 np_handshake (TCP, dialler -> acceptor, first bytes of a connection)
//      0: u64 task id, 1: PeerInfo of the sender, 2: u8 kind (0 direct,
//      1 connect-back), 3: u32 request id (connect-back only, else 0)
//   70 np_handshake_ack (TCP, acceptor -> dialler)
//      0: u64 task id, 1: PeerInfo of the acceptor, 2: u32 result (0 accepted)
//   After 69/70 the socket carries the peer wire protocol: the dialler gets
//   it with passive flag 0 (it speaks first), the acceptor with flag 1.
//   71 np_heartbeat (UDP, son -> parent, every 20 s per parent)
//      0: u64 task id, 1: PeerInfo of the son
//   72 np_sp_natrequest (TCP, requester -> the parent's NAT server)
//      0: u64 task id, 1: PeerInfo of the requester, 2: u64 client id of
//      the son wanted, 3: u32 request id
//   73 np_sp_natreply (TCP, parent -> requester, then the parent closes)
//      0: u32 result (0 passed on, 1 son unknown, 2 task unknown), 1: u32 request id
//   74 np_ps_connectback (UDP, parent -> son)
//      0: u64 task id, 1: PeerInfo of the requester, 2: u32 request id,
//      3: u32 requester IPv4 as the parent saw it (network byte order)
//   75 np_heartbeat_ack (UDP, parent -> son)
//      0: u64 task id, 1: u64 client id of the parent
// Every step has a bound: connects 3 s, handshakes 5 s, a connect-back is
// awaited 15 s. A handshake that names an unknown task, a PeerInfo that is
// not 149 bytes, an unexpected command or client id, or a connect-back that
// matches no request of ours gets its socket closed.
#pragma once

#include <cstdint>
#include <vector>

#include "discovery/peer_info.h"

// Sink of NAT traversal (the download manager).
class INatManagerEvent {
public:
    virtual ~INatManagerEvent() = default;
    // A connected socket for `task_id` to `peer`; the sink owns the socket
    // from here. passive 1: the remote side speaks first.
    virtual void AddPeerSocket(PeerInfo peer, std::uint64_t task_id, int socket, std::uint8_t passive) = 0;
    // A progress or failure text of NAT traversal.
    virtual void OnNatNotify(const char* text, std::uint32_t code) = 0;
    // Whether an incoming handshake for `task_id` may be accepted. The
    // default accepts every task and leaves the check to AddPeerSocket.
    virtual bool IsNatTaskKnown(std::uint64_t task_id)
    {
        (void)task_id;
        return true;
    }
};

// Codes of OnNatNotify.
enum NatNotifyCode : std::uint32_t {
    NAT_NOTIFY_INFO = 1,
    NAT_NOTIFY_FAILED = 2,
};

class INatManager {
public:
    virtual ~INatManager() = default;

    // Starts the NAT server (TCP and UDP on *listen_port) and client. A port
    // of 0 picks a free one; the port in use is written back. False when
    // nothing could be bound or the sink is null.
    virtual bool Start(std::uint16_t* listen_port, PeerInfo self, INatManagerEvent* sink) = 0;

    // Stops every thread (bounded) and closes every socket. Start can not be
    // called again afterwards.
    virtual void Stop() = 0;

    // Replaces this client's record given to Start (a logon that succeeded
    // after the session began offline).
    virtual void SetSelf(const PeerInfo& self) = 0;

    // Asks for a connected socket to `target` for the task. A peer of any
    // type but 0 (reachable, LAN, vpeer) is dialled at its public address;
    // a peer of type 0 with a parent record is asked of the NAT server at
    // nat_server_ip (network byte order) / nat_server_port, whose son it is.
    // A peer already being handled is skipped ("This peer is currently being
    // natted."). Returns at once; the socket comes back through the sink.
    virtual void NatToPeer(std::uint64_t task_id, PeerInfo target, const PeerInfo* parent, std::uint32_t nat_server_ip,
                           std::uint16_t nat_server_port) = 0;

    // Keeps `peer` as a parent of the task: heartbeats go to it so that it
    // can pass connect-back requests on to us.
    virtual void AddParentPeer(std::uint64_t task_id, PeerInfo peer) = 0;

    // Keeps `peer` as a son of the task on the NAT server side.
    virtual void AddSonPeer(std::uint64_t task_id, PeerInfo peer) = 0;

    // Fill `out` with the task's parents / sons; return their number.
    virtual int GetParentPeers(std::uint64_t task_id, std::vector<PeerInfo>& out) = 0;
    virtual int GetSonPeers(std::uint64_t task_id, std::vector<PeerInfo>& out) = 0;
};

// A new NAT manager (not started); DestroyNatManager stops and deletes it
// (null ignored).
INatManager* CreateNatManager();
void DestroyNatManager(INatManager* manager);
