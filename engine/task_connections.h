// CTaskConnections: the live transfer connections of one task (peer
// connections and HTTP CDN connections), keyed by socket. It keeps at most
// kMaxConnections connections and one per peer client id, starts every
// connection it accepts, closes them all when the task stops, passes every
// passed piece to them and drops those a failed piece is blamed on.
//
// Upload slots: a popular seeder has more askers than its link serves
// well, so only kUploadSlots connections are served at full rate at a
// time. Every kSlotTurnMs the slots go to the askers that were served
// least of late (a score that halves each turn); the others keep their
// connection and get one block every kKeepAliveMs, well within the
// deadline their side gives a request, so nobody is dropped for waiting
// and nobody waits for long.
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
    // Connections a task keeps at most: the 30 it dials itself and peers
    // that dialled in, which wait for an upload slot connected rather
    // than being turned away (a turned-away peer dials again only a
    // minute later).
    static constexpr std::size_t kMaxConnections = 160;
    // Connections served at full rate at a time, how long a turn lasts,
    // how long a connection that lost its slot may still serve (until its
    // successor's timer has run), and how often a connection without a
    // slot gets one block.
    static constexpr std::size_t kUploadSlots = 30;
    static constexpr std::uint32_t kSlotTurnMs = 2000;
    static constexpr std::uint32_t kHandoverMs = 1000;
    static constexpr std::uint32_t kKeepAliveMs = 2000;
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
    // `socket`. When the set is full, the one held longer than
    // kEvictGraceMs that has exchanged the fewest bytes (received and sent)
    // is closed to make room, so peers that hold a place and give nothing
    // cannot keep others out. Refused when the set is closing, is full of
    // connections still in their grace, holds one to the same peer client
    // id or when the connection will not start: the connection is released
    // and the socket closed. When a live connection already holds the
    // socket, the newcomer is refused before anyone makes room and is
    // released without the socket being closed (the descriptor is the
    // holder's); a holder that is closing gives its place up. Otherwise the
    // connection is started on the socket and the owner records the peer.
    // True when accepted.
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

    // The connection of `socket` is about to answer a request of `bytes`:
    // true when it may now (it holds an upload slot, still hands its slot
    // over, or its keep-alive block is due), and the bytes count as served
    // to it. Turns are taken here, when due. A socket the set does not
    // hold is not limited.
    bool TakeUploadTurn(int socket, std::uint32_t bytes);

    // True when a held connection's peer has this client id.
    bool HasClient(std::uint64_t client_id) const;

    // Number of connections held.
    std::size_t GetCount() const;

    // True once CloseAll ran.
    bool IsClosing() const { return m_closing.load(); }

    void check_invariant() const;

private:
    using connection_map = std::map<int, x_connection*>;
    // What the set knows of a held connection besides the connection.
    struct Held {
        std::uint32_t added = 0;        // tick it was taken
        std::uint32_t last_ask = 0;     // tick it last asked to serve
        std::uint32_t keep_alive = 0;   // tick of its last keep-alive block
        std::uint32_t yield_by = 0;     // lost its slot: may serve until then
        bool asked = false;             // has asked to serve at all
        bool kept_alive = false;        // keep_alive is set
        bool yielding = false;          // yield_by is set
        bool slot = false;              // holds an upload slot
        std::uint64_t served = 0;       // bytes served this turn
        std::uint64_t score = 0;        // bytes served of late (halved each turn)
    };

    // Takes every connection out of the map (under the lock).
    connection_map TakeAll();
    // Closes and releases connections already out of the map.
    static void CloseAndRelease(const connection_map& connections);
    // Releases a refused connection and closes its socket.
    static void Refuse(int socket, x_connection* connection);
    bool HasClientLocked(std::uint64_t client_id) const;
    // The connection to give its place up (out of the map), or null.
    x_connection* TakeLeastExchangedLocked(std::uint32_t now);
    // Hands the upload slots to the askers served least, once a turn is due.
    void TurnSlotsLocked(std::uint32_t now);
    std::size_t SlotsHeldLocked() const;

    ITaskConnectionsOwner* m_owner;
    connection_map m_connections;
    std::map<int, Held> m_held;   // socket -> what is known of its connection
    std::uint32_t m_last_turn;    // tick the slots were last handed out
    mutable CcsLocker m_lock;     // guards m_connections, m_held and m_last_turn
    std::atomic<bool> m_closing{false};
};
