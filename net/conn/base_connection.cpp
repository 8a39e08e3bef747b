#include "net/conn/base_connection.h"

#include "net/conn/x_connection.h"
#include "net/io/iocp_io_service.h"
#include "net/io/transfer_limits.h"
#include "platform/debug_output.h"
#include "platform/error_codes.h"
#include "report/client_log.h"

#include <sstream>

namespace zeq {

base_connection::base_connection(i_stream_socket* socket) : connection_core(socket, true) {}

base_connection::~base_connection() = default;

bool base_connection::connect(const std::string& host, std::uint16_t port)
{
    if (!socket())
        return false;
    {
        // The owner reconnects only when no operation is pending: whatever
        // an earlier connection left queued must not reach the new server.
        std::lock_guard<std::mutex> guard(m_pump.lock);
        m_pump.reset();
    }
    set_core_stopped(false);
    add_ref();
    const std::uint32_t address = x_connection::resolve_host(host);
    if (address == 0) {
        // Dialling 0.0.0.0 would reach this machine: report the name as
        // unknown instead.
        socket()->get_io_service().impl().post(&connection_core::handle_connect, static_cast<connection_core*>(this),
                                               platform::err::host_not_found);
        return true;
    }
    socket()->async_connect(i_tcp_endpoint(address, port), &connection_core::handle_connect,
                            static_cast<connection_core*>(this));
    return true;
}

void base_connection::core_handler_done(const char* where)
{
    if (!ClientLogEnabled())
        return;
    // The count shown is the one after this handler's release.
    std::ostringstream text;
    text << "zeq::debug base_connection::" << where << " feference[" << ref_count() - 1 - owner_references() << "]\n"
         << "zeq::debug m_disconnecting[" << (is_idle() ? "true" : "false") << "]\n";
    WriteClientLog(text.str());
}

void base_connection::core_connected(const i_error_code& error)
{
    m_bytes_received.store(0);
    m_bytes_sent.store(0);
    on_connect(error);
}

void base_connection::core_second()
{
    release_piece();
}

void base_connection::disconnect()
{
    set_core_stopped(true);
    abort_download();
    stop_io();
    // Lent memory goes back once a receive in flight into it has ended
    // (that receive holds its own share).
    clear_window();
}

bool base_connection::write(const void* first, const void* last)
{
    std::lock_guard<std::mutex> guard(m_pump.lock);
    if (is_idle())
        return false;
    if (!m_pump.queue.append(static_cast<const std::uint8_t*>(first), static_cast<const std::uint8_t*>(last))) {
        platform::debug_output("base_connection::write refused, send queue full\n");
        return false;
    }
    start_send_locked();
    return true;
}

void base_connection::core_sent(const i_error_code&, std::uint32_t bytes)
{
    m_bytes_sent += bytes;
    transfer_limits::add_immediate_bytes(0, bytes);
}

void base_connection::prepare_receive(std::uint32_t filled, std::uint32_t wanted)
{
    set_window(filled, wanted);
}

void base_connection::prepare_receive_into(std::uint8_t* data, std::uint32_t filled, std::uint32_t wanted,
                                           std::shared_ptr<void> owner)
{
    std::shared_ptr<void> previous;   // given up outside the lock, as `owner` may be
    std::lock_guard<std::mutex> guard(m_pump.lock);
    previous = std::move(m_pump.window.hold);
    // A disconnect that came in between has let go of lent memory: none is
    // taken again until the next connect.
    if (is_idle()) {
        m_pump.window.set(0, 0);
        return;
    }
    m_pump.window.set_target(data, filled, wanted, std::move(owner));
}

void base_connection::clear_receive_buffer()
{
    std::lock_guard<std::mutex> guard(m_pump.lock);
    m_pump.window.zero();
}

void base_connection::core_received(const i_error_code& error, std::uint32_t bytes)
{
    m_bytes_received += bytes;
    on_receive(error, bytes);
}

}   // namespace zeq
