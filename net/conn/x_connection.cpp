#include "net/conn/x_connection.h"

#include "net/conn/connection_ref.h"
#include "net/io/live_connections.h"
#include "net/io/transfer_limits.h"
#include "platform/debug_output.h"
#include "platform/socket.h"

#include <arpa/inet.h>

#include <cfloat>
#include <sstream>

namespace {

// The reference an operation took when it was started, released when its
// handler ends (a cancelled completion included).
using operation_ref = connection_ref<x_connection>;

operation_ref adopt_operation(void* self)
{
    return operation_ref(static_cast<x_connection*>(self), operation_ref::adopt);
}

} // namespace

x_connection::x_connection(i_stream_socket* socket, std::uint64_t task_id)
    : m_socket(socket),
      m_timer(socket ? std::make_unique<i_deadline_timer>(socket->get_io_service()) : nullptr),
      m_download_limit(FLT_MAX),
      m_upload_limit(FLT_MAX),
      m_task_id(task_id)
{
    live_connections::increment(task_id);
}

x_connection::~x_connection()
{
    m_timer.reset();
    delete m_socket;
    m_socket = nullptr;
    live_connections::decrement(m_task_id);
}

void x_connection::on_send(const i_error_code&, std::uint32_t) {}

i_stream_socket::native_type x_connection::native() const
{
    return m_socket ? m_socket->native() : i_stream_socket::invalid_native;
}

bool x_connection::start(i_stream_socket::native_type native)
{
    // Without a handler call the reference taken here would never be
    // released, so an invalid socket is refused up front.
    if (!m_socket || native == i_stream_socket::invalid_native)
        return false;
    add_ref();
    m_socket->assign(native, &x_connection::handle_connect, this);
    return true;
}

void x_connection::handle_connect(void* self, const i_error_code& error)
{
    const operation_ref hold = adopt_operation(self);
    x_connection* c = hold.get();
    if (!error && !c->is_closing()) {
        c->on_connect();
        c->start_timer();
    }
}

void x_connection::start_timer()
{
    if (!m_timer)
        return;
    add_ref();
    m_timer->expires_from_now(1000);
    m_timer->async_wait(&x_connection::handle_timer, this);
}

void x_connection::handle_timer(void* self, const i_error_code&)
{
    // A cancelled wait ends the chain because close() marked the
    // connection closing first.
    const operation_ref hold = adopt_operation(self);
    x_connection* c = hold.get();
    if (!c->is_closing()) {
        c->on_timer();
        if (!c->is_closing())
            c->start_timer();
    }
}

void x_connection::close()
{
    on_close();
    mark_closing();   // in case the derived hook did not
    if (m_timer)
        m_timer->cancel();
    if (m_socket)
        m_socket->close();
}

bool x_connection::send(const void* first, const void* last)
{
    std::lock_guard<std::mutex> guard(m_pump.lock);
    if (is_closing())
        return false;
    if (!m_pump.queue.append(static_cast<const std::uint8_t*>(first),
                             static_cast<const std::uint8_t*>(last))) {
        // The peer does not read what we queue: refuse more, whole.
        platform::debug_output("x_connection::send refused, send queue full, socket-" +
                               std::to_string(native()) + "\n");
        return false;
    }
    start_send_locked();
    return true;
}

void x_connection::start_send_locked()
{
    const std::uint8_t* data;
    std::uint32_t length;
    if (is_closing() || !m_socket || !m_pump.begin_send(data, length))
        return;
    add_ref();
    m_socket->async_send(data, length, &x_connection::handle_send, this);
}

void x_connection::handle_send(void* self, const i_error_code& error, std::uint32_t bytes)
{
    const operation_ref hold = adopt_operation(self);
    x_connection* c = hold.get();
    if (!c->is_closing()) {
        {
            // A failed send would fail again at once: the pump stops and
            // leaves the ending of the connection to its receive side.
            std::lock_guard<std::mutex> guard(c->m_pump.lock);
            c->m_pump.end_send(error.value, bytes);
            c->start_send_locked();
        }
        c->m_total_sent += bytes;
        std::int64_t zero = 0;
        c->m_upload_start.compare_exchange_strong(zero, transfer_limits::now_seconds());
        c->on_send(error, bytes);
    }
}

void x_connection::set_receive_window(std::uint32_t filled, std::uint32_t wanted)
{
    std::lock_guard<std::mutex> guard(m_pump.lock);
    m_pump.window.set(filled, wanted);
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

void x_connection::start_receive()
{
    std::uint32_t length = 0;
    {
        std::lock_guard<std::mutex> guard(m_pump.lock);
        std::uint8_t* data;
        if (is_closing() || !m_receive_enabled.load() || !m_socket || !m_pump.begin_receive(data, length))
            return;
        add_ref();
        m_socket->async_receive(data, length, &x_connection::handle_receive, this);
    }
    // Outside the lock: over the limit this writes a client-log line.
    transfer_limits::add_request_bytes(length);
}

void x_connection::handle_receive(void* self, const i_error_code& error, std::uint32_t bytes)
{
    const operation_ref hold = adopt_operation(self);
    x_connection* c = hold.get();
    if (!c->is_closing()) {
        {
            // After an error (38 included) the pump stops: restarting would
            // spin on the same error.
            std::lock_guard<std::mutex> guard(c->m_pump.lock);
            c->m_pump.end_receive(error.value, bytes);
        }
        c->m_total_received += bytes;
        std::int64_t zero = 0;
        c->m_download_start.compare_exchange_strong(zero, transfer_limits::now_seconds());
        transfer_limits::add_immediate_bytes(bytes, 0);
        c->on_receive(error, bytes);
        c->start_receive();
    }
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
    stored = static_cast<float>(total / static_cast<std::uint64_t>(elapsed));
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
    m_closing.store(true);
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
    os << "        " << "client: " << p.clientid << " " << "peertype: "
       << static_cast<unsigned>(p.peertype) << " " << "        " << "publicip: "
       << format_ipv4(ntohl(p.publicip)) << " " << "publicport: " << p.publicport << " "
       << "        " << "natip: " << format_ipv4(p.natip) << " " << "natport: " << p.natport
       << "        " << "downloadbytes(kb/s): " << m_download_average / 1024 << "KB/s  "
       << m_download_average / 1024 << "KB/s" << "        " << "uploadbytes(kb/s): "
       << m_upload_average / 1024 << "KB/s  " << m_upload_average / 1024 << "KB/s" << "\r\n";
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
    os << ((value >> 24) & 0xFF) << '.' << ((value >> 16) & 0xFF) << '.' << ((value >> 8) & 0xFF)
       << '.' << (value & 0xFF);
    return os.str();
}
