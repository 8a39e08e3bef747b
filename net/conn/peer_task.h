// What a peer connection needs of its task. The engine adapts
// CDownload_Task to it (make_peer_task); tests supply their own. Every
// operation may be called from the I/O thread while the task's other
// threads run; none is called with a lock of the connection held.
#pragma once

#include "discovery/peer_info.h"
#include "net/conn/block_loan.h"
#include "picker/block_request.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class CBlockRequestMap;
class CDownload_Task;
class i_io_service;

class i_peer_task {
public:
    virtual ~i_peer_task() = default;

    virtual std::uint64_t task_id() = 0;
    // The I/O service the connection's socket lives on.
    virtual i_io_service* io_service() = 0;
    // The seed's piece size.
    virtual std::uint32_t piece_size() = 0;
    // The piece picker; null until storage reported the channel.
    virtual CBlockRequestMap* piece_picker() = 0;
    // This client's own record.
    virtual PeerInfo self_peer_info() = 0;
    // The port this client listens on for peers.
    virtual std::uint16_t listen_port() = 0;

    // Storage: the piece bitmap (1 = verified; empty when unknown), a block
    // of a verified piece for upload, a received block. A block whose piece
    // must be read from the disk first is kPending: `ready` runs later on
    // the I/O thread (0: ask again, -1: not read, 995: storage stopped).
    virtual void get_bitmap(std::vector<std::uint8_t>& bitmap) = 0;
    virtual BlockRead read_block(BlockRequest& block, PieceReadHandler ready, BlockFile* file) = 0;
    virtual bool write_block(const BlockRequest& block) = 0;
    // The write-cache place of `block`, lent for a receive straight into it
    // (see IStorageManager::LendBlocks); null when storage cannot lend it.
    virtual std::shared_ptr<zeq::i_block_loan> lend_block(const BlockRequest& block) = 0;

    // NAT traversal: the task's parents and sons.
    virtual int parent_peers(std::vector<PeerInfo>& out) = 0;
    virtual void add_parent_peer(const PeerInfo& peer) = 0;
    virtual int son_peers(std::vector<PeerInfo>& out) = 0;
    virtual void add_son_peer(const PeerInfo& peer) = 0;
    // Hands hosts learned from a son list to the task's host cache.
    virtual void add_hosts(const std::vector<HostRecord>& hosts) = 0;

    // Removes the connection of `socket` from the task's connection set.
    virtual void remove_connection(int socket) = 0;
    // Counts one received block of `bytes` from a peer of `peer_type`.
    virtual void count_download(std::uint8_t peer_type, std::uint32_t bytes) = 0;
    // Counts one block served to a peer of `peer_type`.
    virtual void count_upload(std::uint8_t peer_type) = 0;
    // The connection of `socket` would answer a request of `bytes` now:
    // false while it is another connection's turn to be served (it asks
    // again with its next timer).
    virtual bool take_upload_turn(int socket, std::uint32_t bytes)
    {
        (void)socket;
        (void)bytes;
        return true;
    }
    // Nothing is left to ask this peer for: raises the task's block-release
    // request count, so that HTTP sources hand half their runs back.
    virtual void add_release_request() = 0;

    // The peer's conduct, judged by the task. `peer` sent a block of
    // `piece`, told before storage has it (a failed piece is blamed on its
    // suppliers); its requests passed their deadline (the task stops
    // dialling it for a while); may_ask is false while the task has barred
    // the peer, so nothing is asked of it. has_other_source is false while
    // the peer is all the task has to fetch from: its requests are then
    // not taken from it for being slow (nobody else would serve them).
    virtual void block_supplied(std::int32_t piece, const PeerInfo& peer)
    {
        (void)piece;
        (void)peer;
    }
    virtual void peer_late(const PeerInfo& peer) { (void)peer; }
    virtual bool may_ask(const PeerInfo& peer)
    {
        (void)peer;
        return true;
    }
    virtual bool has_other_source(const PeerInfo& peer)
    {
        (void)peer;
        return true;
    }
    // Blocks went back to the piece picker: sources waiting for work (the
    // CDN thread) look again now.
    virtual void blocks_returned() {}

    // The task's event sink: error texts and plain texts. events_enabled()
    // is false when nothing would receive them, so callers skip building.
    virtual bool events_enabled() = 0;
    virtual void error_output(const std::string& text) = 0;
    virtual void text_output(const std::string& text) = 0;
};

// The adapter over a running task of the engine.
std::unique_ptr<i_peer_task> make_peer_task(CDownload_Task* task);
