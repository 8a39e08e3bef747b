#include "net/conn/base_connection.h"

#include "net/conn/connection_ref.h"
#include "net/conn/x_connection.h"
#include "net/io/iocp_io_service.h"
#include "net/io/transfer_limits.h"
#include "platform/debug_output.h"
#include "platform/error_codes.h"
#include "report/client_log.h"

#include <sstream>

namespace zeq {

namespace {

// The reference an operation took when it was started, released when its
// handler ends.
using operation_ref = connection_ref<base_connection>;

operation_ref adopt_operation(void* self)
{
    return operation_ref(static_cast<base_connection*>(self), operation_ref::adopt);
}

} // namespace

base_connection::base_connection(i_stream_socket* socket)
    : m_timer(socket ? std::make_unique<i_deadline_timer>(socket->get_io_service()) : nullptr),
      m_socket(socket)
{
}

base_connection::~base_connection()
{
    m_timer.reset();
    delete m_socket;
    m_socket = nullptr;
}

bool base_connection::connect(const std::string& host, std::uint16_t port)
{
    if (!m_socket)
        return false;
    {
        // The owner reconnects only when no operation is pending: whatever
        // an earlier connection left queued must not reach the new server.
        std::lock_guard<std::mutex> guard(m_pump.lock);
        m_pump.reset();
    }
    m_disconnecting.store(false);
    add_ref();
    const std::uint32_t address = x_connection::resolve_host(host);
    if (address == 0) {
        // Dialling 0.0.0.0 would reach this machine: report the name as
        // unknown instead.
        m_socket->get_io_service().impl().post(&base_connection::handle_connect, this,
                                               platform::err::host_not_found);
        return true;
    }
    m_socket->async_connect(i_tcp_endpoint(address, port), &base_connection::handle_connect, this);
    return true;
}

std::string base_connection::state_text(const char* where)
{
    // Built before the handler's reference goes (it may be the last), so
    // the count shown is the one after the release.
    std::ostringstream text;
    text << "zeq::debug base_connection::" << where << " feference[" << ref_count() - 1 - owner_references()
         << "]\n"
         << "zeq::debug m_disconnecting[" << (m_disconnecting.load() ? "true" : "false") << "]\n";
    return text.str();
}

void base_connection::handle_connect(void* self, const i_error_code& error)
{
    operation_ref hold = adopt_operation(self);
    base_connection* c = hold.get();
    c->m_bytes_received.store(0);
    c->m_bytes_sent.store(0);
    c->on_connect(error);
    if (!error && !c->m_disconnecting.load())
        c->start_timer();
    const std::string text = ClientLogEnabled() ? c->state_text("start") : std::string();
    hold.reset();
    if (!text.empty())
        WriteClientLog(text);
}

void base_connection::start_timer()
{
    if (!m_timer)
        return;
    add_ref();
    m_timer->expires_from_now(1000);
    m_timer->async_wait(&base_connection::second_tick, this);
}

void base_connection::second_tick(void* self, const i_error_code&)
{
    // A cancelled wait ends the chain because disconnect() set
    // m_disconnecting first.
    operation_ref hold = adopt_operation(self);
    base_connection* c = hold.get();
    if (!c->m_disconnecting.load()) {
        c->release_piece();
        if (!c->m_disconnecting.load())
            c->start_timer();
    }
    const std::string text = ClientLogEnabled() ? c->state_text("second_tick") : std::string();
    hold.reset();
    if (!text.empty())
        WriteClientLog(text);
}

void base_connection::disconnect()
{
    m_disconnecting.store(true);
    abort_download();
    if (m_timer)
        m_timer->cancel();
    if (m_socket)
        m_socket->close();
}

bool base_connection::write(const void* first, const void* last)
{
    std::lock_guard<std::mutex> guard(m_pump.lock);
    if (m_disconnecting.load())
        return false;
    if (!m_pump.queue.append(static_cast<const std::uint8_t*>(first),
                             static_cast<const std::uint8_t*>(last))) {
        platform::debug_output("base_connection::write refused, send queue full\n");
        return false;
    }
    start_send_locked();
    return true;
}

void base_connection::start_send_locked()
{
    const std::uint8_t* data;
    std::uint32_t length;
    if (m_disconnecting.load() || !m_socket || !m_pump.begin_send(data, length))
        return;
    add_ref();
    m_socket->async_send(data, length, &base_connection::handle_send, this);
}

void base_connection::handle_send(void* self, const i_error_code& error, std::uint32_t bytes)
{
    const operation_ref hold = adopt_operation(self);
    base_connection* c = hold.get();
    if (!c->m_disconnecting.load()) {
        {
            // After a failed send the receive side or the time-out ends it.
            std::lock_guard<std::mutex> guard(c->m_pump.lock);
            c->m_pump.end_send(error.value, bytes);
            c->start_send_locked();
        }
        c->m_bytes_sent += bytes;
        transfer_limits::add_immediate_bytes(0, bytes);
    }
}

void base_connection::prepare_receive(std::uint32_t filled, std::uint32_t wanted)
{
    std::lock_guard<std::mutex> guard(m_pump.lock);
    m_pump.window.set(filled, wanted);
}

void base_connection::clear_receive_buffer()
{
    std::lock_guard<std::mutex> guard(m_pump.lock);
    m_pump.window.zero();
}

void base_connection::start_receive()
{
    std::uint32_t length = 0;
    {
        std::lock_guard<std::mutex> guard(m_pump.lock);
        std::uint8_t* data;
        if (m_disconnecting.load() || !m_socket || !m_pump.begin_receive(data, length))
            return;
        add_ref();
        m_socket->async_receive(data, length, &base_connection::handle_receive, this);
    }
    // Outside the lock: over the limit this writes a client-log line.
    transfer_limits::add_request_bytes(length);
}

void base_connection::handle_receive(void* self, const i_error_code& error, std::uint32_t bytes)
{
    const operation_ref hold = adopt_operation(self);
    base_connection* c = hold.get();
    if (!c->m_disconnecting.load()) {
        {
            std::lock_guard<std::mutex> guard(c->m_pump.lock);
            c->m_pump.end_receive(error.value, bytes);
        }
        c->m_bytes_received += bytes;
        c->on_receive(error, bytes);
        c->start_receive();
    }
}

} // namespace zeq
