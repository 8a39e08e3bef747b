#include "net/conn/x_connection.h"

#include "net/io/live_connections.h"
#include "net/io/transfer_limits.h"
#include "platform/debug_output.h"
#include "platform/socket.h"

#include <arpa/inet.h>

#include <cfloat>
#include <sstream>

x_connection::x_connection(i_stream_socket* socket, std::uint64_t task_id)
    : connection_core(socket, false), m_download_limit(FLT_MAX), m_upload_limit(FLT_MAX), m_task_id(task_id)
{
    live_connections::increment(task_id);
}

x_connection::~x_connection()
{
    live_connections::decrement(m_task_id);
}

void x_connection::on_send(const i_error_code&, std::uint32_t) {}

i_stream_socket::native_type x_connection::native() const
{
    return socket() ? socket()->native() : i_stream_socket::invalid_native;
}

bool x_connection::start(i_stream_socket::native_type native)
{
    // Without a handler call the reference taken here would never be
    // released, so an invalid socket is refused up front.
    if (!socket() || native == i_stream_socket::invalid_native)
        return false;
    add_ref();
    socket()->assign(native, &connection_core::handle_connect, static_cast<connection_core*>(this));
    return true;
}

void x_connection::core_connected(const i_error_code& error)
{
    if (!error && !is_closing())
        on_connect();
}

void x_connection::core_second()
{
    on_timer();
}

void x_connection::close()
{
    on_close();
    mark_closing();   // in case the derived hook did not
    stop_io();
}

bool x_connection::send(const void* first, const void* last)
{
    return send(first, last, BlockFile{}, 0);
}

bool x_connection::send(const void* first, const void* last, const BlockFile& file, std::uint32_t length)
{
    std::lock_guard<std::mutex> guard(m_pump.lock);
    if (is_closing())
        return false;
    if (!m_pump.queue.append(static_cast<const std::uint8_t*>(first), static_cast<const std::uint8_t*>(last), file,
                             length)) {
        // The peer does not read what we queue: refuse more, whole.
        platform::debug_output("x_connection::send refused, send queue full, socket-" + std::to_string(native()) +
                               "\n");
        return false;
    }
    start_send_locked();
    return true;
}

void x_connection::core_sent(const i_error_code& error, std::uint32_t bytes)
{
    m_total_sent += bytes;
    std::int64_t zero = 0;
    m_upload_start.compare_exchange_strong(zero, transfer_limits::now_seconds());
    on_send(error, bytes);
}

void x_connection::set_receive_window(std::uint32_t filled, std::uint32_t wanted)
{
    set_window(filled, wanted);
}

bool x_connection::receive_complete() const
{
    std::lock_guard<std::mutex> guard(m_pump.lock);
    return m_pump.window.complete();
}

void x_connection::clear_receive_buffer()
{
    std::lock_guard<std::mutex> guard(m_pump.lock);
    m_pump.window.zero();
}

void x_connection::core_received(const i_error_code& error, std::uint32_t bytes)
{
    m_total_received += bytes;
    std::int64_t zero = 0;
    m_download_start.compare_exchange_strong(zero, transfer_limits::now_seconds());
    transfer_limits::add_immediate_bytes(bytes, 0);
    on_receive(error, bytes);
}

void x_connection::set_receive_enabled(bool enabled)
{
    m_receive_enabled.store(enabled);
    if (enabled)
        start_receive();
}

void x_connection::set_download_limit(float limit)
{
    {
        std::lock_guard<std::mutex> guard(m_pump.lock);
        m_download_limit = limit;
    }
    start_receive();
}

void x_connection::set_upload_limit(float limit)
{
    std::lock_guard<std::mutex> guard(m_pump.lock);
    m_upload_limit = limit;
    start_send_locked();
}

float x_connection::compute_speed(std::uint64_t total, std::int64_t start, float& stored)
{
    std::lock_guard<std::mutex> guard(m_pump.lock);
    if (start == 0)
        return stored;
    const std::int64_t elapsed = transfer_limits::now_seconds() - start;
    // The speed follows the first ten seconds only, then stays.
    if (elapsed <= 0 || elapsed >= 10)
        return stored;
    // Whole bytes per second, as the speed has always been reported.
    stored = static_cast<float>(total / static_cast<std::uint64_t>(elapsed));   // NOLINT(bugprone-integer-division)
    return stored;
}

float x_connection::get_download_speed()
{
    return compute_speed(m_total_received.load(), m_download_start.load(), m_download_speed);
}

float x_connection::get_upload_speed()
{
    return compute_speed(m_total_sent.load(), m_upload_start.load(), m_upload_speed);
}

void x_connection::set_remote_pieces(const std::vector<std::uint8_t>& pieces)
{
    m_remote_pieces = pieces;
}

bool x_connection::set_remote_piece(std::uint32_t index)
{
    if (index >= m_remote_pieces.size())
        return false;
    m_remote_pieces[index] = 1;
    return true;
}

void x_connection::mark_closing()
{
    set_core_stopped(true);
}

void x_connection::set_peer_info(const PeerInfo& info)
{
    m_peer_info = info;
}

std::size_t x_connection::send_queue_size() const
{
    std::lock_guard<std::mutex> guard(m_pump.lock);
    return m_pump.queue.unsent();
}

void x_connection::set_send_queue_limit(std::size_t bytes)
{
    std::lock_guard<std::mutex> guard(m_pump.lock);
    m_pump.queue.set_limit(bytes);
}

void x_connection::get_info_string(std::ostream& os)
{
    const PeerInfo& p = m_peer_info;
    os << "        "
       << "client: " << p.clientid << " "
       << "peertype: " << static_cast<unsigned>(p.peertype) << " "
       << "        "
       << "publicip: " << format_ipv4(ntohl(p.publicip)) << " "
       << "publicport: " << p.publicport << " "
       << "        "
       << "natip: " << format_ipv4(ntohl(p.natip)) << " "
       << "natport: " << p.natport << "        "
       << "downloadbytes(kb/s): " << m_download_average / 1024 << "KB/s  " << m_download_average / 1024 << "KB/s"
       << "        "
       << "uploadbytes(kb/s): " << m_upload_average / 1024 << "KB/s  " << m_upload_average / 1024 << "KB/s"
       << "\r\n";
}

std::uint32_t x_connection::resolve_host(const std::string& name)
{
    if (name.empty())
        return 0;
    return ntohl(platform::resolve_first_ipv4(name));
}

std::string x_connection::format_ipv4(std::uint32_t value)
{
    std::ostringstream os;
    os << ((value >> 24) & 0xFF) << '.' << ((value >> 16) & 0xFF) << '.' << ((value >> 8) & 0xFF) << '.'
       << (value & 0xFF);
    return os.str();
}
