#include "net/conn/peer_connection.h"

#include "discovery/lan_peer_discovery.h"
#include "picker/block_request_map.h"
#include "foundation/cmd_packet_reader.h"
#include "net/conn/connection_ref.h"
#include "net/io/transfer_limits.h"
#include "platform/debug_output.h"
#include "platform/error_codes.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "report/debug_log.h"
#include "report/down_data_log.h"
#include "report/log_connection.h"
#include "report/log_event.h"
#include "platform/invariant.h"

#include <cstring>
#include <sstream>

namespace {

i_stream_socket* make_socket(i_peer_task* task)
{
    i_io_service* io = task ? task->io_service() : nullptr;
    return io ? new i_stream_socket(*io) : nullptr;
}

}   // namespace

CPeerConnection::CPeerConnection(std::unique_ptr<i_peer_task> task, const PeerInfo& peer, std::uint8_t passive)
    : x_connection(make_socket(task.get()), task ? task->task_id() : 0),
      m_task(std::move(task)),
      m_passive(passive != 0),
      m_last_receive(platform::tick_count()),
      m_last_son_list(platform::tick_count())
{
    set_peer_info(peer);
    set_send_queue_limit(kSendQueueLimit);
    if (peer.peertype == PEERTYPE_LAN) {
        if (CLanPeerDiscovery* lan = CLanPeerDiscovery::GetInstance())
            lan->IncLanConnCount();
        if (platform::debug_output_enabled()) {
            platform::debug_output("PEERTYPE_LAN ip:" + std::to_string(peer.publicip) + ",port:" +
                                   std::to_string(peer.publicport) + ",clientid" + std::to_string(peer.clientid));
        }
    }
}

CPeerConnection::~CPeerConnection()
{
    if (GetPeerInfo()->peertype == PEERTYPE_LAN) {
        if (CLanPeerDiscovery* lan = CLanPeerDiscovery::GetInstance())
            lan->DecLanConnCount();
    }
}

// ---- Reference count ----

void CPeerConnection::add_ref()
{
    m_refs.fetch_add(1);
}

void CPeerConnection::release()
{
    if (m_refs.fetch_sub(1) == 1)
        delete this;
}

// ---- Queries of the connection set ----

bool CPeerConnection::assign_task(std::uint32_t kind)
{
    switch (kind) {
    case 0:
        return !m_ready.load();
    case 1: {
        if (!m_ready.load())
            return false;
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_wanted) {
            for (std::uint8_t held : remote_pieces()) {
                if (held) {
                    m_wanted = true;
                    break;
                }
            }
        }
        return m_wanted;
    }
    case 2: {
        bool idle;
        {
            std::lock_guard<std::mutex> guard(m_lock);
            idle = m_in_flight.empty();
        }
        if (idle)
            trace("\n" + std::to_string(task_id()) + " 无任务可分配\n", true);
        return idle;
    }
    default:
        return false;
    }
}

void CPeerConnection::check_invariant() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    check_invariant_locked();
}

void CPeerConnection::check_invariant_locked() const
{
    VR_INVARIANT(m_in_flight.size() <= kMaxInFlight);
    VR_INVARIANT(m_window.size() <= m_window.bound() && m_window.bound() <= kMaxInFlight);
    VR_INVARIANT(m_pending.size() <= kMaxPending);
    VR_INVARIANT(!m_close_handled || (m_in_flight.empty() && m_pending.empty()));
}

std::size_t CPeerConnection::in_flight_count() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_in_flight.size();
}

std::size_t CPeerConnection::pending_count() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_pending.size();
}

std::size_t CPeerConnection::window_size() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_window.size();
}

std::size_t CPeerConnection::window_bound() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_window.bound();
}

std::uint32_t CPeerConnection::round_trip() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_window.round_trip();
}

bool CPeerConnection::requests_late(std::uint32_t now) const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return !m_in_flight.empty() && m_block_due != 0 && platform::tick_reached(now, m_block_due);
}

std::vector<std::uint8_t> CPeerConnection::remote_piece_map() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return remote_pieces();
}

// ---- Connection events ----

void CPeerConnection::on_connect()
{
    if (!m_task)
        return;   // without a task nothing is sent or received
    set_receive_window(0, kReceiveBuffer);
    m_last_receive.store(platform::tick_count());
    std::uint32_t pieces = 0;
    piece_count(pieces);
    if (!m_passive) {
        send_handshake();
        send_bitfield();
    }
    peer_log(5, 0);
    LogEvent(22, "LOG::LOG_PEER_CONN", static_cast<std::uint32_t>(task_id()),
             static_cast<std::uint32_t>(task_id() >> 32), "%I64d", task_id());
    start_receive();
}

void CPeerConnection::on_receive(const i_error_code& error, std::uint32_t bytes)
{
    if (!m_task || is_closing())
        return;
    if (error) {
        trace("CPeerConnection receive error " + std::to_string(error.value) + "\n", false);
        if (error.value == platform::err::handle_eof)
            peer_log(5, 3);
        close();
        return;
    }
    m_last_receive.store(platform::tick_count());
    read_frames(bytes);
}

void CPeerConnection::on_send(const i_error_code& error, std::uint32_t bytes)
{
    if (!error)
        transfer_limits::add_immediate_bytes(0, bytes);
}

static_assert(CPeerConnection::kReceiveBuffer >= peer_wire::kPrefixSize + peer_wire::kMaxBody,
              "the longest packet fits the receive buffer");

// Every complete packet the buffer holds is handled in order; a partial one
// moves to the front and completes with the next receives. Blocks that
// arrived free their places only now, so one send asks for all of them.
void CPeerConnection::read_frames(std::uint32_t bytes)
{
    std::uint8_t* buffer = receive_buffer();
    m_blocks_arrived = false;
    std::uint32_t filled;
    if (!m_landing) {
        filled = receive_filled();
    } else {
        // The receive's own share of the loans has gone; the buffer's bytes
        // are only those that went past the blocks expected (or everything
        // from a packet that was not one of them on).
        m_landing = false;
        clear_window();
        filled = m_lander.land(
            bytes, buffer, [this](const BlockRequest& block, zeq::i_block_loan& loan) { take_block(block, &loan); });
    }
    std::uint32_t at = 0;
    while (!is_closing() && filled - at >= peer_wire::kPrefixSize) {
        // Checked as soon as the prefix is in (a partial packet's length is
        // read again with the next receive, and is still good).
        const std::int32_t length = peer_wire::read_length(buffer + at);
        if (!peer_wire::length_ok(length)) {
            DebugLog::WriteLog(3, "%s %d", "length err ", length);
            fail("包长度 err! packet size=" + std::to_string(length), true);
            return;
        }
        const std::uint32_t size = peer_wire::kPrefixSize + static_cast<std::uint32_t>(length);
        if (filled - at < size)
            break;
        on_packet(buffer + at, size);
        at += size;
    }
    if (is_closing())
        return;   // the rest of the batch is not handled
    if (m_blocks_arrived)
        request_blocks();
    const std::uint32_t tail = filled - at;
    if (tail != 0 && at != 0)
        std::memmove(buffer, buffer + at, tail);
    if (!receive_into_storage(tail))
        set_receive_window(tail, kReceiveBuffer);
}

bool CPeerConnection::receive_into_storage(std::uint32_t tail)
{
    // The data log keeps every packet's bytes: they must come whole.
    if (DebugLog::DataSwitch() >= 3 && !m_lander.in_progress()) {
        m_lander.clear();
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_expected.assign(m_in_flight.begin(), m_in_flight.end());
    }
    m_lander.plan(m_expected, [this](const BlockRequest& block) { return m_task->lend_block(block); });
    if (m_lander.empty() || !m_lander.adopt(receive_buffer(), tail)) {
        // The bytes go to the buffer: the places lent for them are given
        // up, or storage would keep the blocks read there aside as copies
        // and the picker would ask for them again.
        m_lander.clear();
        return false;
    }
    m_lander.layout(receive_buffer(), kReceiveBuffer, m_spans);
    set_window_targets(m_spans, m_lander.share());
    m_landing = true;
    return true;
}

void CPeerConnection::on_packet(const std::uint8_t* packet, std::uint32_t length)
{
    const CCmdPacketReader reader(packet, length, peer_wire::kVersion);
    const std::uint16_t command = peer_wire::packet_command(packet, length);
    DebugLog::WriteData(3, packet, length, "recv");
    if (reader.check() != kPacketOk) {
        fail("包格式 err=!" + std::to_string(reader.check()) +
             " 主命令号: " + std::to_string(static_cast<std::int32_t>(command)) + " ");
        return;
    }
    dispatch(reader, command);
}

void CPeerConnection::dispatch(const CCmdPacketReader& reader, std::uint16_t command)
{
    switch (command) {
    case peer_wire::cmd_handshake:
        on_handshake(reader);
        break;
    case peer_wire::cmd_handshake_reply:
        on_handshake_reply(reader);
        break;
    case peer_wire::cmd_son_list_request:
        on_son_list_request(reader);
        break;
    case peer_wire::cmd_son_list_reply:
        on_son_list_reply(reader);
        break;
    case peer_wire::cmd_bitfield:
        on_bitfield(reader);
        break;
    case peer_wire::cmd_block_request:
        on_block_request(reader);
        break;
    case peer_wire::cmd_block_data:
        on_block_data(reader);
        break;
    case peer_wire::cmd_have:
        on_have(reader);
        break;
    default:
        fail("不认识的包格式 !");
        break;
    }
}

void CPeerConnection::on_timer()
{
    if (!m_task)
        return;
    const std::uint32_t now = platform::tick_count();
    if (now - m_last_receive.load() > kSilenceMs) {
        peer_log(6, 4);
        close();
        return;
    }
    // Answers that waited for their upload turn ask for it again.
    if (!m_uploads.empty() && !m_upload_waiting)
        serve_uploads();
    if (!m_bitfield_received.load())
        return;
    bool outrun = false;
    if (CBlockRequestMap* picker = m_task->piece_picker()) {
        std::lock_guard<std::mutex> guard(m_lock);
        outrun = drop_received_locked(*picker, now);
    }
    if (outrun) {
        trace(line_prefix() + "requests answered by another source first, stalled peer dropped\n", true);
        close();
        return;
    }
    const bool late = requests_late(now);
    if (late && !m_task->has_other_source(*GetPeerInfo())) {
        // The task's only source is kept however slow (silence still ends
        // it): nobody else would serve its blocks, which are due again one
        // allowance on.
        std::lock_guard<std::mutex> guard(m_lock);
        if (!m_in_flight.empty())
            m_block_due = now + block_allowance();
    } else if (late) {
        // Silence alone does not catch a peer that drips a byte at a time:
        // what it holds goes back to the picker (on_close), the task stops
        // dialling it for a while.
        const PeerInfo& p = *GetPeerInfo();
        trace(line_prefix() + "requests not answered in time, given back: " + platform::ipv4_to_text(p.publicip) + ":" +
                  std::to_string(p.publicport) + "\n",
              true);
        m_task->peer_late(p);
        close();
        return;
    }
    request_blocks();
    if (now - m_last_son_list.load() > kSonListMs) {
        send_son_list_request();
        m_last_son_list.store(now);
    }
}

void CPeerConnection::on_close()
{
    // Set first: a handler that takes the lock after us sees it and adds
    // nothing more to the queues or the availability counts.
    mark_closing();
    BlockRequestQueue returned;
    std::vector<std::uint8_t> held;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_close_handled)
            return;
        m_close_handled = true;
        returned.swap(m_in_flight);
        returned.insert(returned.end(), m_pending.begin(), m_pending.end());
        m_pending.clear();
        m_window.clear();
        held = remote_pieces();
        if (CBlockRequestMap* picker = m_task ? m_task->piece_picker() : nullptr) {
            for (const BlockRequest& b : returned)
                picker->CancelRequest(b.piece, b.offset);
            for (std::size_t i = 0; i < held.size(); ++i) {
                if (held[i])
                    picker->DecPieceAvailability(static_cast<std::int32_t>(i));
            }
            leave_swarm_locked(*picker);
        }
    }
    if (!returned.empty() && m_task)
        m_task->blocks_returned();
    const PeerInfo& p = *GetPeerInfo();
    std::ostringstream os;
    os << "\n"
       << "close: task_id-" << task_id() << " "
       << "clientid-" << p.clientid << " "
       << "publicip-" << format_ipv4(platform::ipv4_to_host_order(p.publicip)) << "public ip - "
       << platform::ipv4_to_text(p.publicip) << " "
       << "natip-" << format_ipv4(platform::ipv4_to_host_order(p.natip)) << " "
       << "socket-" << native() << "\n";
    trace(os.str(), true);
}

void CPeerConnection::close()
{
    if (m_close_done.exchange(true))
        return;
    // Leaving the set drops the set's reference: hold one until done.
    const connection_ref<CPeerConnection> hold(this);
    if (m_task)
        m_task->remove_connection(native());
    x_connection::close();
}

void CPeerConnection::send_have(std::uint32_t piece)
{
    if (!m_task || is_closing() || !m_ready.load())
        return;
    std::vector<std::uint8_t> packet;
    peer_wire::Have have;
    have.client_id = m_task->self_peer_info().clientid;
    have.task_id = task_id();
    have.piece = piece;
    peer_wire::build_have(have, packet);
    send_packet(packet);
}

// ---- Helpers ----

bool CPeerConnection::piece_count(std::uint32_t& pieces)
{
    if (m_pieces == 0 && m_task) {
        m_task->get_bitmap(m_bitmap);
        m_pieces = static_cast<std::uint32_t>(m_bitmap.size());
    }
    pieces = m_pieces;
    return pieces != 0;
}

std::string CPeerConnection::line_prefix() const
{
    return "\n" + std::to_string(task_id()) + " " + std::to_string(static_cast<std::int32_t>(native())) + " ";
}

void CPeerConnection::fail(const std::string& what, bool as_text)
{
    const std::string line = line_prefix() + what + "\n";
    platform::debug_output(line);
    if (m_task && m_task->events_enabled()) {
        if (as_text)
            m_task->text_output(line);
        else
            m_task->error_output(line);
    }
    close();
}

void CPeerConnection::refuse(std::uint16_t command)
{
    fail("包字段不对! 主命令号: " + std::to_string(static_cast<std::int32_t>(command)) + " ");
}

void CPeerConnection::peer_log(std::uint32_t kind, std::uint32_t result)
{
    const PeerInfo& p = *GetPeerInfo();
    if (p.peertype != PEERTYPE_DIRECT || !m_task)
        return;
    if (CLogConnection* log = CLogConnection::GetInstance())
        log->AddPeerLog(kind, m_task->self_peer_info().clientid, task_id(), p.publicip, p.publicport, result);
}

void CPeerConnection::trace(const std::string& text, bool to_sink)
{
    platform::debug_output(text);
    if (to_sink && m_task && m_task->events_enabled())
        m_task->text_output(text);
}

// With a file, the packet's last `file_bytes` are sent from it instead.
void CPeerConnection::send_packet(const std::vector<std::uint8_t>& packet, const BlockFile& file,
                                  std::uint32_t file_bytes)
{
    if (packet.empty() || file_bytes > packet.size())
        return;
    const std::uint8_t* end = packet.data() + packet.size() - (file.handle ? file_bytes : 0);
    if (!send(packet.data(), end, file, file_bytes) && !is_closing()) {
        // Only a peer that asks for more than it reads fills the queue.
        fail("发送队列已满! 对方不收数据");
    }
}
