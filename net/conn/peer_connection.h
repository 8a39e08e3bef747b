// CPeerConnection: the transfer connection that speaks the peer wire
// protocol with another running service for one task. It shakes hands,
// exchanges piece bitmaps, asks the piece picker for blocks the remote
// peer holds (a window of requests in flight that follows the connection's
// rate and round trip, five more pending), writes received
// blocks to storage, serves the blocks the remote peer asks for, announces
// completed pieces, relays son lists for NAT traversal and closes after
// 20 s of silence.
//
// Threads: the handlers run on the I/O thread; assign_task, send_have and
// close are also called by the task's connection set from other threads.
// The request queues and the remote piece map are guarded by the
// connection's own lock, which is never held while the task, storage, NAT
// traversal or the connection set is called.
//
// Lifetime: created with one reference (its creator's, handed to the
// connection set); every pending operation holds another; the last
// release deletes it.
#pragma once

#include "discovery/peer_info.h"
#include "picker/block_request.h"
#include "net/conn/peer_task.h"
#include "net/conn/peer_wire.h"
#include "net/conn/lent_block_receiver.h"
#include "net/conn/request_window.h"
#include "net/conn/x_connection.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

class CBlockRequestMap;
class CDownload_Task;
class CCmdPacketReader;

class CPeerConnection : public x_connection {
public:
    // Requests in flight to the remote peer (at most; request_window says
    // how many now), and blocks taken from the picker beyond them.
    static constexpr std::size_t kMaxInFlight = request_window::kCeiling;
    static constexpr std::size_t kMaxPending = 5;
    // Silence after which the connection closes (more than this many ms).
    static constexpr std::uint32_t kSilenceMs = 20000;
    // The next block asked for must arrive within this long of the request
    // or of the block before it, or four times the connection's usual time
    // per block when that is longer (at most kSilenceMs): bytes that never
    // make a block do not count. A connection that misses it gives its
    // requests back to the picker and closes, and the task bars the peer;
    // but the task's only source keeps them, and is asked even when barred.
    static constexpr std::uint32_t kBlockDeadlineMs = 5000;
    // Son lists are asked for again after this long.
    static constexpr std::uint32_t kSonListMs = 120000;
    // Sons taken from one son-list reply (the rest are dropped): each is
    // dialled, so one peer's reply must not make the task dial a crowd.
    // Only a reply to our own request is taken.
    static constexpr std::size_t kMaxSonsTaken = 8;
    // A task keeps at most this many parents.
    static constexpr int kMaxParents = 10;
    // Requests of the peer waiting for their answer: a few more than an
    // honest peer keeps asked (kMaxInFlight); more are left unanswered.
    // The count goes out in our bitfield, so that the peer's window keeps
    // within it (an older peer asks at most six).
    static constexpr std::size_t kMaxUploadsWaiting = kMaxInFlight + 8;
    // Unsent bytes a connection may hold: the answers to the requests it
    // takes and a few blocks more, so a peer that asks for more than it
    // reads is cut off.
    static constexpr std::size_t kSendQueueLimit = (kMaxUploadsWaiting + 8) * (kBlockSize + 64);
    // What one receive may read: several blocks with their packets, so a
    // fast peer is read with few calls (a packet is at most 64 KiB + 4).
    static constexpr std::uint32_t kReceiveBuffer = 256u * 1024;

    // For a task of the engine. `passive`: wait for the remote handshake.
    CPeerConnection(CDownload_Task* task, const PeerInfo& peer, std::uint8_t passive);
    // For any task behind the interface; the connection owns `task`.
    CPeerConnection(std::unique_ptr<i_peer_task> task, const PeerInfo& peer, std::uint8_t passive);
    ~CPeerConnection() override;

    // x_connection hooks.
    // 0: true while not ready; 1: ready and the peer holds some piece;
    // 2: nothing in flight (also traced); other kinds: false.
    bool assign_task(std::uint32_t kind) override;
    void add_ref() override;
    void release() override;   // deletes at 0
    void on_connect() override;
    void on_close() override;
    void on_timer() override;
    void on_receive(const i_error_code& error, std::uint32_t bytes) override;
    // Announces a completed piece (68) once ready.
    void send_have(std::uint32_t piece) override;
    // Counts sent bytes in the engine's upload bucket.
    void on_send(const i_error_code& error, std::uint32_t bytes) override;

    // Leaves the task's connection set and closes; later calls do nothing.
    void close();

    // Requests for pieces we do not hold get no answer; a peer that asks
    // for them this many times, though our bitmap and haves said we lack
    // them, is closed.
    static constexpr std::uint32_t kMaxUnheldRequests = 16;
    // The request limits hold: at most the window in flight and five in
    // reserve, both empty once closed. Debug builds check it after every
    // pick.
    void check_invariant() const;

    // Test and diagnostic views.
    bool is_ready() const { return m_ready.load(); }
    bool is_passive() const { return m_passive; }
    std::uint32_t handshake_result() const { return m_handshake_result.load(); }
    std::uint8_t son_list_cookie() const { return m_cookie.load(); }
    std::size_t in_flight_count() const;
    std::size_t pending_count() const;
    // The requests kept in flight now, the most the peer said it answers,
    // and the shortest request-to-block time seen (ms).
    std::size_t window_size() const;
    std::size_t window_bound() const;
    std::uint32_t round_trip() const;
    std::vector<std::uint8_t> remote_piece_map() const;
    std::uint32_t ref_count() const { return m_refs.load(); }
    i_peer_task* task() const { return m_task.get(); }

private:
    void init(std::uint8_t passive);
    // Frame reader and dispatch (I/O thread): `bytes` came in with the
    // last receive.
    void read_frames(std::uint32_t bytes);
    // Lays the next receive out over the blocks asked for, when it can take
    // the `tail` bytes of a partial packet the buffer holds; false when the
    // buffer is to be filled as usual.
    bool receive_into_storage(std::uint32_t tail);
    void on_packet(const std::uint8_t* packet, std::uint32_t length);
    void dispatch(const CCmdPacketReader& reader, std::uint16_t command);
    void on_handshake(const CCmdPacketReader& reader);
    void on_handshake_reply(const CCmdPacketReader& reader);
    void on_son_list_request(const CCmdPacketReader& reader);
    void on_son_list_reply(const CCmdPacketReader& reader);
    void on_bitfield(const CCmdPacketReader& reader);
    void on_block_request(const CCmdPacketReader& reader);
    void on_block_data(const CCmdPacketReader& reader);
    // A block has come in (its bytes at block.data, or in `loan`).
    void take_block(const BlockRequest& block, zeq::i_block_loan* loan);
    void on_have(const CCmdPacketReader& reader);
    // Upload: answers the waiting requests in order until one waits for
    // the disk; `on_piece_read` takes that wait back (I/O thread).
    void serve_uploads();
    void on_piece_read(int status);
    void refuse_block(std::uint32_t piece);
    // Senders.
    void send_packet(const std::vector<std::uint8_t>& packet, const BlockFile& file = BlockFile{},
                     std::uint32_t file_bytes = 0);
    void send_handshake();
    void send_bitfield();
    void send_son_list_request();
    void request_blocks();
    // The allowance for the next block (under m_lock).
    std::uint32_t block_allowance() const;
    // True when the requests in flight have passed their deadline.
    bool requests_late(std::uint32_t now) const;
    // The protocol-error line (and close); `as_text`: plain text, not error.
    void fail(const std::string& what, bool as_text = false);
    // A peer that sent fields we cannot take.
    void refuse(std::uint16_t command);
    std::string line_prefix() const;
    void peer_log(std::uint32_t kind, std::uint32_t result);
    void trace(const std::string& text, bool to_sink);
    bool piece_count(std::uint32_t& pieces);
    void check_invariant_locked() const;
    // The peer's place in the origin's work split (peer_connection_swarm.cpp),
    // under m_lock: a seed is counted as one from its first bitmap, any
    // other peer once it holds a piece we lack; both leave at the close.
    void join_swarm_locked(CBlockRequestMap& picker, const std::vector<std::uint8_t>& map);
    void leave_swarm_locked(CBlockRequestMap& picker);
    // End game: requests another source's copy has brought in since are
    // dropped (the wire has no cancel; storage ignores the late copy), so
    // a peer slower than that source is not held to their deadline. True
    // when some were dropped and the peer has stalled: the connection is
    // to close (without barring the peer), which ends its receive. I/O
    // thread only (it reads the receive's state).
    bool drop_received_locked(CBlockRequestMap& picker, std::uint32_t now);

    std::unique_ptr<i_peer_task> m_task;
    const bool m_passive;
    BlockRequestQueue m_in_flight;   // requested of the peer, not yet received
    BlockRequestQueue m_pending;     // taken from the picker, not yet requested
    mutable std::mutex m_lock;       // guards both queues and the remote piece map
    bool m_blocks_arrived = false;   // a block of this receive freed a request place (I/O thread)
    std::atomic<std::uint32_t> m_handshake_result{peer_wire::handshake_matched};
    std::atomic<std::uint32_t> m_last_receive;
    std::atomic<std::uint32_t> m_last_son_list;
    std::atomic<bool> m_bitfield_received{false};
    std::atomic<std::uint8_t> m_cookie{0};
    std::atomic<bool> m_son_list_asked{false};   // a son-list request awaits its reply
    std::atomic<bool> m_ready{false};
    std::atomic<std::uint32_t> m_refs{1};
    bool m_wanted = false;   // the peer was seen holding a piece (under m_lock)
    enum class swarm_role : std::uint8_t { none, co_downloader, seed };
    swarm_role m_swarm_role = swarm_role::none;   // under m_lock
    // Delivery of the blocks asked for (under m_lock): when the next is due
    // (0: nothing in flight), when the last came, and the usual time
    // between blocks (0: none measured yet).
    std::uint32_t m_block_due = 0;
    std::uint32_t m_last_block_tick = 0;
    std::uint32_t m_block_interval = 0;
    request_window m_window;   // how many requests to keep in flight (under m_lock)
    bool m_first_request_log = true;
    bool m_starved = false;   // found nothing to ask and said so (I/O thread)
    bool m_first_data_log = true;
    std::atomic<bool> m_close_done{false};
    bool m_close_handled = false;                   // on_close has run (under m_lock)
    std::uint32_t m_pieces = 0;                     // the task's piece count, known once storage has it
    std::vector<std::uint8_t> m_out;                // scratch for outgoing packets (I/O thread)
    std::vector<std::uint8_t> m_bitmap;             // scratch for our own bitmap (I/O thread)
    std::uint32_t m_unheld_requests = 0;            // requests for pieces we lack (I/O thread)
    std::deque<peer_wire::BlockRecord> m_uploads;   // requests not yet answered, in order (I/O thread)
    bool m_upload_waiting = false;                  // the first of them waits for its piece (I/O thread)
    bool m_upload_turn = false;                     // the first of them has its upload turn (I/O thread)
    std::vector<std::uint8_t> m_batch;              // scratch for the requests of one pick (I/O thread)
    std::vector<BlockRequest> m_asked;              // the records of those requests (I/O thread)
    // Blocks received straight into storage (I/O thread).
    lent_block_receiver m_lander;
    bool m_landing = false;                 // the receive in flight is laid out by m_lander
    std::vector<BlockRequest> m_expected;   // scratch: the requests in flight, in order
    std::vector<i_receive_span> m_spans;    // scratch: the spans of the next receive
};

// The connection maker the download task installs for its peer
// connections: a new CPeerConnection holding one reference.
x_connection* CreatePeerConnection(CDownload_Task* task, const PeerInfo& peer, std::uint8_t passive);
