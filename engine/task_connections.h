// CTaskConnections: the live transfer connections of one task (peer
// connections and HTTP CDN connections), keyed by socket. It keeps at most
// 30 connections and one per peer client id, starts every connection it
// accepts, closes them all when the task stops, passes every passed piece
// to them and drops those a failed piece is blamed on.
//
// Ownership: the set holds one reference of every connection it keeps, the
// one its creator hands over with AddConnection (a new connection's
// initial reference). Refusing, removing or closing a connection drops
// that reference with release(); the connection's own pending operations
// keep it alive until they have completed. A connection that ends by
// itself calls RemoveConnection (through the task) once it is closing.
//
// Locking: the set's lock is the innermost of storage -> channel -> task
// map -> connection set. Connections are closed, released and told of
// pieces outside it, so a connection may call back into the set (and the
// task) from any of those calls.
#pragma once

#include "discovery/peer_info.h"
#include "platform/critical_section.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <vector>

class CBlockRequestMap;
class ICmdEvent;
class x_connection;

// What the set needs of its task (CDownload_Task implements it).
class ITaskConnectionsOwner {
public:
    virtual ~ITaskConnectionsOwner() = default;
    // The task id (for the failed-check lines).
    virtual std::uint64_t GetTaskId() const = 0;
    // The engine event sink; may be null.
    virtual ICmdEvent* GetCmdEvent() = 0;
    // The task's piece picker; null before storage reported the channel.
    virtual CBlockRequestMap* GetPiecePicker() = 0;
    // A connection to `peer` was accepted and started: record the peer and
    // count it for its type.
    virtual void RecordConnectedPeer(const PeerInfo& peer) = 0;
};

class CTaskConnections {
public:
    // Connections a task keeps at most.
    static constexpr std::size_t kMaxConnections = 30;
    // A connection held this long may give its place to a newcomer when
    // the set is full (see AddConnection); a younger one has had no time
    // to show what it exchanges.
    static constexpr std::uint32_t kEvictGraceMs = 10000;

    // `owner` must outlive the set.
    explicit CTaskConnections(ITaskConnectionsOwner* owner);
    // Connections still held are closed and released.
    ~CTaskConnections();
    CTaskConnections(const CTaskConnections&) = delete;
    CTaskConnections& operator=(const CTaskConnections&) = delete;

    // Takes `connection` (and its reference) for the connected native
    // `socket`. When the set holds 30 connections, the one held longer
    // than kEvictGraceMs that has exchanged the fewest bytes (received and
    // sent) is closed to make room, so peers that hold a place and give
    // nothing cannot keep others out. Refused when the set is closing, is
    // full of connections still in their grace, holds one to the same peer
    // client id or when the connection will not start: the connection is
    // released and the socket closed. When a live
    // connection already holds the socket, only the newcomer is released
    // (the descriptor is the holder's); a holder that is closing gives its
    // place up. Otherwise the connection is started on the socket and the
    // owner records the peer. True when accepted.
    bool AddConnection(int socket, x_connection* connection);

    // Forgets the connection of `socket` and drops the set's reference
    // (nothing when the socket is not held). It is not closed here.
    void RemoveConnection(int socket);

    // Closes and drops every connection; from then on every connection
    // handed in is refused.
    void CloseAll();

    // Closes and drops every connection; new ones are still accepted (the
    // flag is not used).
    void CloseAllNoFlag(std::uint8_t flag = 0);

    // A piece check result: 1 every connection announces the piece to its
    // peer; 0 the connections to the peers of `blamed` (the client ids that
    // supplied blocks of the piece) are closed and dropped, each with a
    // "哈希校验不过!" line through OnErrorOutput, the others go on, and the
    // piece picker frees the piece's blocks.
    void OnPieceChecked(std::uint32_t piece, std::uint8_t result, const std::vector<std::uint64_t>& blamed = {});

    // True when a held connection's peer has this client id.
    bool HasClient(std::uint64_t client_id) const;

    // Number of connections held.
    std::size_t GetCount() const;

    // True once CloseAll ran.
    bool IsClosing() const { return m_closing.load(); }

    void check_invariant() const;

private:
    using connection_map = std::map<int, x_connection*>;

    // Takes every connection out of the map (under the lock).
    connection_map TakeAll();
    // Closes and releases connections already out of the map.
    static void CloseAndRelease(const connection_map& connections);
    // Releases a refused connection and closes its socket.
    static void Refuse(int socket, x_connection* connection);
    bool HasClientLocked(std::uint64_t client_id) const;
    // The connection to give its place up (out of the map), or null.
    x_connection* TakeLeastExchangedLocked(std::uint32_t now);

    ITaskConnectionsOwner* m_owner;
    connection_map m_connections;
    std::map<int, std::uint32_t> m_added;   // socket -> tick it was taken
    mutable CcsLocker m_lock;               // guards m_connections and m_added
    std::atomic<bool> m_closing{false};
};
