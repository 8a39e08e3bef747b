// The commands of the peer wire protocol as CPeerConnection handles them
// (the connection's events and helpers are in peer_connection.cpp).
#include "net/conn/peer_connection.h"

#include "picker/block_request_map.h"
#include "foundation/cmd_packet_reader.h"
#include "net/conn/connection_ref.h"
#include "platform/debug_output.h"
#include "platform/error_codes.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "report/debug_log.h"
#include "report/down_data_log.h"
#include "report/log_event.h"

#include <algorithm>
#include <sstream>

namespace {

bool block_shape_ok(const peer_wire::BlockRecord& b, std::uint32_t pieces, std::uint32_t piece_size)
{
    // One block of a piece we know: aligned, at most one block long and
    // inside the piece (storage checks the exact length).
    return b.piece < pieces && b.piece <= static_cast<std::uint32_t>(INT32_MAX) && b.offset % kBlockSize == 0 &&
           b.length >= 1 && b.length <= kBlockSize && std::uint64_t(b.offset) + b.length <= piece_size;
}

BlockRequest to_request(const peer_wire::BlockRecord& b, std::uint8_t* data)
{
    BlockRequest r;
    r.piece = static_cast<std::int32_t>(b.piece);
    r.offset = static_cast<std::int32_t>(b.offset);
    r.length = static_cast<std::int32_t>(b.length);
    r.data = data;
    return r;
}

std::string block_text_of(const BlockRequest& b)
{
    return "piece:" + std::to_string(b.piece) + " offset:" + std::to_string(b.offset) +
           " length:" + std::to_string(b.length);
}

std::string addresses(const PeerInfo& p)
{
    // The record holds the address in network order; the text reads a.b.c.d.
    return " ip:" + x_connection::format_ipv4(platform::ipv4_to_host_order(p.publicip)) +
           " port:" + std::to_string(p.publicport) + " ";
}

}   // namespace

// ---- Senders ----

void CPeerConnection::send_handshake()
{
    const PeerInfo self = m_task->self_peer_info();
    peer_wire::Handshake m;
    m.task_id = task_id();
    m.sender.clientid = self.clientid;
    m.sender.natip = self.natip;
    m.sender.listen_port = m_task->listen_port();
    m.sender.peertype = self.peertype;
    m.piece_size = m_task->piece_size();
    std::vector<std::uint8_t> packet;
    peer_wire::build_handshake(m, packet);
    send_packet(packet);
}

void CPeerConnection::send_bitfield()
{
    std::vector<std::uint8_t> bitmap;
    m_task->get_bitmap(bitmap);
    std::vector<std::uint8_t> packet;
    // The requests we answer go with it: a peer that reads it may keep
    // that many in flight.
    peer_wire::build_bitfield(m_task->self_peer_info().clientid, task_id(), bitmap, packet,
                              static_cast<std::uint16_t>(kMaxUploadsWaiting));
    send_packet(packet);
}

void CPeerConnection::send_son_list_request()
{
    if (is_closing() || !m_ready.load())
        return;
    peer_wire::SonListRequest m;
    m.client_id = m_task->self_peer_info().clientid;
    m.task_id = task_id();
    m.cookie = m_cookie.load();
    std::vector<std::uint8_t> packet;
    peer_wire::build_son_list_request(m, packet);
    m_son_list_asked.store(true);
    send_packet(packet);
}

std::uint32_t CPeerConnection::block_allowance() const
{
    const std::uint32_t usual = m_block_interval * 4;
    return usual > kBlockDeadlineMs ? (usual < kSilenceMs ? usual : kSilenceMs) : kBlockDeadlineMs;
}

void CPeerConnection::request_blocks()
{
    if (!m_task || is_closing() || !m_ready.load())
        return;
    // A peer the task has barred (late or lying before) is asked nothing
    // unless it is all the task has; it may still fetch from us.
    if (!m_task->may_ask(*GetPeerInfo()) && m_task->has_other_source(*GetPeerInfo()))
        return;
    // Reused between calls (I/O thread only): no allocation per block.
    std::vector<std::uint8_t>& batch = m_batch;
    std::vector<BlockRequest>& asked = m_asked;
    batch.clear();
    asked.clear();
    const std::uint64_t own_id = m_task->self_peer_info().clientid;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (is_closing())
            return;   // on_close has handed the queues back already
        CBlockRequestMap* picker = m_task->piece_picker();
        // The picker keeps the reserve at five; requests go out from it
        // until the window is full, and the reserve is topped up again so
        // that the next free place is filled at once.
        const std::size_t window = m_window.size();
        const std::uint32_t now = platform::tick_count();
        bool starved = false;
        if (picker)
            drop_received_locked(*picker, platform::tick_count());
        for (;;) {
            if (picker)
                starved = picker->GetRequestBlocksForPeer(remote_pieces(), m_pending, kMaxPending, &m_in_flight);
            if (m_in_flight.size() >= window || m_pending.empty())
                break;
            while (m_in_flight.size() < window && !m_pending.empty()) {
                const BlockRequest b = m_pending.front();
                m_pending.pop_front();
                // An end-game copy another connection has brought in since.
                if (picker &&
                    picker->BlockState(b.piece, b.offset / std::int32_t(kBlockSize)) == CBlockRequestMap::kReceived)
                    continue;
                peer_wire::BlockAsk ask;
                ask.client_id = own_id;
                ask.task_id = task_id();
                ask.block = {static_cast<std::uint32_t>(b.piece), static_cast<std::uint32_t>(b.offset),
                             static_cast<std::uint32_t>(b.length)};
                peer_wire::build_block_request(ask, batch);
                if (m_in_flight.empty()) {
                    // The first of a new batch: it is due from now.
                    m_last_block_tick = now;
                    m_block_due = m_last_block_tick + block_allowance();
                }
                m_window.asked(b, now, m_in_flight.empty());
                m_in_flight.push_back(b);
                asked.push_back(b);
            }
        }
        check_invariant_locked();
        // Idle with blocks still missing (at most end-game copies to ask):
        // the task's HTTP sources are asked to hand part of their runs back
        // (once until the connection has more).
        const bool idle = ((m_in_flight.empty() && m_pending.empty()) ||
                           (starved && m_in_flight.size() + m_pending.size() <= CBlockRequestMap::kEndGameBlocks)) &&
                          picker && !picker->IsDownloadComplete();
        if (idle && !m_starved)
            m_task->add_release_request();
        m_starved = idle;
    }
    if (asked.empty())
        return;
    send_packet(batch);
    CDownDataLog* data_log = CDownDataLog::GetInstance();
    const bool tracing = platform::debug_output_enabled() || m_task->events_enabled();
    // The lines of one pick differ only in their blocks.
    const std::string head = tracing ? "请求block: " + std::to_string(task_id()) + addresses(*GetPeerInfo()) +
                                           "socket:" + std::to_string(native()) + " "
                                     : std::string();
    for (const BlockRequest& b : asked) {
        if (data_log)
            data_log->AddTask(task_id());
        if (tracing)
            trace(head + block_text_of(b) + "\n", true);
    }
    if (m_first_request_log) {
        m_first_request_log = false;
        peer_log(6, 7);
    }
}

// ---- Commands received ----

void CPeerConnection::on_handshake(const CCmdPacketReader& reader)
{
    peer_wire::Handshake m;
    if (!peer_wire::parse_handshake(reader, m)) {
        refuse(peer_wire::cmd_handshake);
        return;
    }
    const PeerInfo self = m_task->self_peer_info();
    const PeerInfo& remote = *GetPeerInfo();
    std::uint32_t result = peer_wire::handshake_matched;
    if (m.task_id != task_id())
        result = peer_wire::handshake_task_mismatch;
    if (m.sender.clientid != remote.clientid)
        result = peer_wire::handshake_client_mismatch;
    if (m.piece_size != m_task->piece_size())
        result = peer_wire::handshake_piece_size_mismatch;
    m_handshake_result.store(result);
    // A peer naming another task or piece size would have us answer for
    // data that is not what it asks about: the connection ends unanswered.
    if (m.task_id != task_id() || m.piece_size != m_task->piece_size()) {
        fail("握手不匹配! result=" + std::to_string(result) + " task_id=" + std::to_string(m.task_id) +
             " piece_size=" + std::to_string(m.piece_size));
        return;
    }

    // A reachable peer offers itself as parent to a peer behind NAT.
    peer_wire::HandshakeReply reply;
    if (self.peertype != PEERTYPE_NAT && remote.peertype == PEERTYPE_NAT) {
        std::vector<PeerInfo> parents;
        if (m_task->parent_peers(parents) < kMaxParents) {
            reply.parent_offer = 1;
            m_task->add_son_peer(remote);
        }
    }
    reply.client_id = self.clientid;
    reply.task_id = task_id();
    reply.result = result;
    std::vector<std::uint8_t> packet;
    peer_wire::build_handshake_reply(reply, packet);
    send_packet(packet);
    send_bitfield();
}

void CPeerConnection::on_handshake_reply(const CCmdPacketReader& reader)
{
    peer_wire::HandshakeReply m;
    if (!peer_wire::parse_handshake_reply(reader, m)) {
        refuse(peer_wire::cmd_handshake_reply);
        return;
    }
    if (m.task_id != task_id()) {
        fail("频道号不正确!");
        return;
    }
    if (m.parent_offer == 1) {
        std::vector<PeerInfo> parents;
        if (m_task->parent_peers(parents) < kMaxParents)
            m_task->add_parent_peer(*GetPeerInfo());
    }
}

void CPeerConnection::on_son_list_request(const CCmdPacketReader& reader)
{
    peer_wire::SonListRequest m;
    if (!peer_wire::parse_son_list_request(reader, m)) {
        refuse(peer_wire::cmd_son_list_request);
        return;
    }
    if (is_closing() || !m_ready.load())
        return;
    const PeerInfo self = m_task->self_peer_info();
    peer_wire::SonListReply reply;
    reply.client_id = self.clientid;
    reply.task_id = task_id();
    if (self.peertype == PEERTYPE_SP) {
        std::vector<PeerInfo> sons;
        m_task->son_peers(sons);
        const std::uint64_t asker = GetPeerInfo()->clientid;
        for (const PeerInfo& son : sons) {
            if (reply.sons.size() >= peer_wire::kMaxSons)
                break;
            if (son.clientid != asker)
                reply.sons.push_back(son);
        }
    }
    std::vector<std::uint8_t> packet;
    peer_wire::build_son_list_reply(reply, packet);
    send_packet(packet);
}

void CPeerConnection::on_son_list_reply(const CCmdPacketReader& reader)
{
    peer_wire::SonListReply m;
    if (!peer_wire::parse_son_list_reply(reader, m)) {
        refuse(peer_wire::cmd_son_list_reply);
        return;
    }
    m_cookie.store(m.cookie);
    // Sons are taken only from the reply to our request, and a few of them:
    // every son taken is dialled.
    if (!m_son_list_asked.exchange(false) || m.sons.empty())
        return;
    // Each son is reached through the peer that named it.
    std::vector<HostRecord> hosts(std::min(m.sons.size(), kMaxSonsTaken));
    for (std::size_t i = 0; i < hosts.size(); ++i) {
        hosts[i].peer = m.sons[i];
        hosts[i].parent = *GetPeerInfo();
    }
    m_task->add_hosts(hosts);
}

void CPeerConnection::on_bitfield(const CCmdPacketReader& reader)
{
    peer_wire::Bitfield m;
    if (!peer_wire::parse_bitfield(reader, m)) {
        refuse(peer_wire::cmd_bitfield);
        return;
    }
    std::uint32_t pieces = 0;
    piece_count(pieces);
    std::vector<std::uint8_t> map;
    if (GetPeerInfo()->peertype == PEERTYPE_DIRECT) {
        // A directly connectable peer is a seed: taken to hold every piece.
        map.assign(pieces, 1);
    } else if (!peer_wire::unpack_bitfield(m.bits, m.bytes, pieces, map)) {
        fail("位图长度不对! bytes=" + std::to_string(m.bytes) + " pieces=" + std::to_string(pieces));
        return;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (is_closing())
            return;
        if (CBlockRequestMap* picker = m_task->piece_picker()) {
            // A second bitmap replaces the first: its counts go first.
            const std::vector<std::uint8_t>& old = remote_pieces();
            for (std::size_t i = 0; i < old.size(); ++i) {
                if (old[i])
                    picker->DecPieceAvailability(static_cast<std::int32_t>(i));
            }
            join_swarm_locked(*picker, map);
            for (std::size_t i = 0; i < map.size(); ++i) {
                if (map[i])
                    picker->IncPieceAvailability(static_cast<std::int32_t>(i));
            }
        }
        set_remote_pieces(map);
        // The window keeps within what the peer answers; one that does not
        // say answers as many as older versions did.
        m_window.set_bound(m.serve_queue != 0 ? m.serve_queue : peer_wire::kLegacyServeQueue);
    }
    m_bitfield_received.store(true);
    m_ready.store(true);
    if (platform::debug_output_enabled()) {
        std::ostringstream os;
        os << "对方的位图: " << task_id() << addresses(*GetPeerInfo()) << "socket:" << native() << " ";
        if (map.size() < 1000) {
            for (std::uint8_t v : map)
                os << static_cast<int>(v);
        }
        os << "\n";
        platform::debug_output(os.str());
    }
    send_son_list_request();
    request_blocks();
}

void CPeerConnection::on_block_request(const CCmdPacketReader& reader)
{
    peer_wire::BlockAsk m;
    if (!peer_wire::parse_block_request(reader, m)) {
        refuse(peer_wire::cmd_block_request);
        return;
    }
    if (m.task_id != task_id()) {
        fail("请求的频道号不正确! task_id=" + std::to_string(m.task_id));
        return;
    }
    std::uint32_t pieces = 0;
    piece_count(pieces);
    if (!block_shape_ok(m.block, pieces, m_task->piece_size())) {
        fail("请求的block不对! piece_index=" + std::to_string(static_cast<std::int32_t>(m.block.piece)));
        return;
    }
    if (is_closing() || !m_ready.load()) {
        refuse_block(m.block.piece);
        return;
    }
    // Answers go out in the order of the requests: one arriving while an
    // earlier one waits for the disk waits behind it.
    if (m_uploads.size() >= kMaxUploadsWaiting) {
        trace("CPeerConnection: too many requests waiting, left unanswered: " + std::to_string(task_id()) + " " +
                  block_text_of(to_request(m.block, nullptr)) + "\n",
              false);
        return;
    }
    m_uploads.push_back(m.block);
    if (!m_upload_waiting)
        serve_uploads();
}

void CPeerConnection::serve_uploads()
{
    while (!m_uploads.empty() && !is_closing()) {
        const peer_wire::BlockRecord next = m_uploads.front();
        // The first waiting answer takes its turn once, however often its
        // read is tried; without a turn it waits for the next timer.
        if (!m_upload_turn && !m_task->take_upload_turn(native(), next.length))
            break;
        m_upload_turn = true;
        std::uint8_t* data = peer_wire::layout_block_data(m_task->self_peer_info().clientid, task_id(), next, m_out);
        BlockRequest block = to_request(next, data);
        // The read holds the connection until its handler has run, so a
        // close meanwhile leaves nothing it could reach freed.
        const connection_ref<CPeerConnection> self(this);
        // Sent from the file the block needs no copy on this thread (unless
        // the data log wants its bytes).
        BlockFile file;
        const BlockRead read = m_task->read_block(
            block, [self](int status) { self->on_piece_read(status); }, DebugLog::DataSwitch() < 3 ? &file : nullptr);
        if (read == BlockRead::kPending) {
            m_upload_waiting = true;
            return;
        }
        m_uploads.pop_front();
        m_upload_turn = false;
        if (read == BlockRead::kRefused) {
            refuse_block(next.piece);   // a held block that cannot be read gets no answer
            continue;
        }
        if (!file.handle)
            DebugLog::WriteData(3, data, next.length, "send");
        m_task->count_upload(GetPeerInfo()->peertype);
        if (platform::debug_output_enabled())
            platform::debug_output("上传block:" + std::to_string(task_id()) + " " + block_text_of(block) + "\n");
        send_packet(m_out, file, next.length);
    }
    if (is_closing())
        m_uploads.clear();
}

void CPeerConnection::on_piece_read(int status)
{
    m_upload_waiting = false;
    if (status == static_cast<int>(platform::err::operation_aborted) || is_closing()) {
        m_uploads.clear();
        return;
    }
    if (status != 0 && !m_uploads.empty()) {
        const std::uint32_t piece = m_uploads.front().piece;
        m_uploads.pop_front();
        m_upload_turn = false;
        refuse_block(piece);
    }
    serve_uploads();
}

// Only verified pieces are served (storage reads no other); a request for
// another gets no answer. A peer may ask for a piece it has not yet seen us
// lose or gain, but one that keeps asking for what we said we lack is
// closed. A directly connectable peer is taken to hold every piece, so
// requests it cannot serve are never the asker's fault. The bitmap is
// copied only when the request is not served, not once per block uploaded.
void CPeerConnection::refuse_block(std::uint32_t piece)
{
    m_task->get_bitmap(m_bitmap);
    if (piece < m_bitmap.size() && m_bitmap[piece])
        return;
    if (m_task->self_peer_info().peertype == PEERTYPE_DIRECT || ++m_unheld_requests < kMaxUnheldRequests)
        return;
    fail("请求的piece没有! piece_index=" + std::to_string(static_cast<std::int32_t>(piece)));
}

void CPeerConnection::on_block_data(const CCmdPacketReader& reader)
{
    peer_wire::BlockData m;
    if (!peer_wire::parse_block_data(reader, m)) {
        refuse(peer_wire::cmd_block_data);
        return;
    }
    if (m.task_id != task_id()) {
        fail("收到的频道号不正确! task_id=" + std::to_string(m.task_id));
        return;
    }
    std::uint32_t pieces = 0;
    piece_count(pieces);
    if (!block_shape_ok(m.block, pieces, m_task->piece_size())) {
        fail("收到的block不对! piece_index=" + std::to_string(static_cast<std::int32_t>(m.block.piece)));
        return;
    }
    // An unrequested block is still written: storage drops it unless it is
    // a block still missing.
    take_block(to_request(m.block, const_cast<std::uint8_t*>(m.data)), nullptr);
}

void CPeerConnection::take_block(const BlockRequest& block, zeq::i_block_loan* loan)
{
    if (platform::debug_output_enabled())
        platform::debug_output("收到的block: " + std::to_string(task_id()) + " " + block_text_of(block) + "\n");
    if (m_first_data_log) {
        m_first_data_log = false;
        peer_log(6, 0);
    }
    // Noted first: storage may check the piece inside the write, and a
    // failed piece is blamed on the peers that sent its blocks.
    m_task->block_supplied(block.piece, *GetPeerInfo());
    if (loan)
        loan->commit();
    else
        m_task->write_block(block);
    m_task->count_download(GetPeerInfo()->peertype, std::uint32_t(block.length));
    LogEvent(15, "LOG::LOG_DOWN_RECV_BLOCK", static_cast<std::uint32_t>(task_id()),
             static_cast<std::uint32_t>(task_id() >> 32), "%d", block.piece);
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_in_flight.begin(); it != m_in_flight.end(); ++it) {
            if (it->SameBlock(block)) {
                if (CBlockRequestMap* picker = m_task->piece_picker())
                    picker->MarkReceived(block.piece, block.offset);
                m_in_flight.erase(it);
                // Delivery sets the pace: the next block is due one
                // allowance after this one.
                const std::uint32_t now = platform::tick_count();
                const std::uint32_t took = now - m_last_block_tick;
                m_block_interval = m_block_interval == 0 ? took : (3 * m_block_interval + took) / 4;
                m_last_block_tick = now;
                m_block_due = m_in_flight.empty() ? 0 : now + block_allowance();
                m_window.arrived(block, now);
                break;
            }
        }
    }
    // The freed place is filled once the whole receive has been read.
    m_blocks_arrived = true;
}

void CPeerConnection::on_have(const CCmdPacketReader& reader)
{
    peer_wire::Have m;
    if (!peer_wire::parse_have(reader, m)) {
        refuse(peer_wire::cmd_have);
        return;
    }
    bool inside;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        inside = m.piece < remote_pieces().size();
        // A piece announced twice is counted once: a close takes one
        // count off per piece held.
        if (inside && !is_closing() && !remote_pieces()[m.piece]) {
            set_remote_piece(m.piece);
            if (CBlockRequestMap* picker = m_task->piece_picker()) {
                picker->IncPieceAvailability(static_cast<std::int32_t>(m.piece));
                join_swarm_locked(*picker, remote_pieces());
            }
        }
    }
    if (!inside)
        fail("have过来的index不对! piece_index=" + std::to_string(static_cast<std::int32_t>(m.piece)));
}
