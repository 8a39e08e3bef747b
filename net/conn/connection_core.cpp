#include "net/conn/connection_core.h"

#include "net/conn/connection_ref.h"
#include "net/io/transfer_limits.h"

namespace {

// The reference an operation took when it was started, released when its
// handler ends (a cancelled completion included).
using operation_ref = connection_ref<connection_core>;

operation_ref adopt_operation(void* self)
{
    return operation_ref(static_cast<connection_core*>(self), operation_ref::adopt);
}

}   // namespace

connection_core::connection_core(i_stream_socket* socket, bool stopped)
    : m_socket(socket),
      m_timer(socket ? std::make_unique<i_deadline_timer>(socket->get_io_service()) : nullptr),
      m_stopped(stopped)
{
}

connection_core::~connection_core()
{
    m_timer.reset();
    delete m_socket;
    m_socket = nullptr;
}

void connection_core::handle_connect(void* self, const i_error_code& error)
{
    operation_ref hold = adopt_operation(self);
    connection_core* c = hold.get();
    c->core_connected(error);
    if (!error && !c->core_stopped())
        c->start_timer();
    c->core_handler_done("start");
}

void connection_core::start_timer()
{
    if (!m_timer)
        return;
    add_ref();
    m_timer->expires_from_now(1000);
    m_timer->async_wait(&connection_core::handle_timer, this);
}

void connection_core::handle_timer(void* self, const i_error_code&)
{
    // A cancelled wait ends the chain: whoever cancels it stops the
    // connection first.
    operation_ref hold = adopt_operation(self);
    connection_core* c = hold.get();
    if (!c->core_stopped()) {
        c->core_second();
        if (!c->core_stopped())
            c->start_timer();
    }
    c->core_handler_done("second_tick");
}

void connection_core::start_send_locked()
{
    i_send_range range;
    if (core_stopped() || !m_socket || !m_pump.begin_send(range))
        return;
    add_ref();
    if (range.file)
        m_socket->async_send_file(std::move(range.file), range.offset, range.length, &connection_core::handle_send,
                                  this);
    else
        m_socket->async_send(range.data, range.length, &connection_core::handle_send, this, range.more);
}

void connection_core::handle_send(void* self, const i_error_code& error, std::uint32_t bytes)
{
    const operation_ref hold = adopt_operation(self);
    connection_core* c = hold.get();
    if (c->core_stopped())
        return;
    {
        // A failed send would fail again at once: the pump stops and leaves
        // the ending of the connection to its receive side or time-out.
        std::lock_guard<std::mutex> guard(c->m_pump.lock);
        c->m_pump.end_send(error.value, bytes);
        c->start_send_locked();
    }
    c->core_sent(error, bytes);
}

void connection_core::start_receive()
{
    start_receive_after(false);
}

void connection_core::start_receive_after(bool delivered)
{
    std::uint32_t length = 0;
    {
        std::lock_guard<std::mutex> guard(m_pump.lock);
        if (delivered)
            m_pump.end_delivery();
        i_receive_span spans[i_stream_socket::max_receive_spans];
        std::size_t count = 0;
        if (core_stopped() || !core_may_receive() || !m_socket || !m_pump.begin_receive(spans, count, length))
            return;
        add_ref();
        m_socket->async_receive(spans, count, &connection_core::handle_receive, this);
    }
    // Outside the lock: over the limit this writes a client-log line.
    transfer_limits::add_request_bytes(length);
}

void connection_core::handle_receive(void* self, const i_error_code& error, std::uint32_t bytes)
{
    const operation_ref hold = adopt_operation(self);
    connection_core* c = hold.get();
    // The memory this receive filled stays lent until here, stopped or not;
    // it is given up (after the lock) when nothing else holds it, before
    // the bytes are handed on: a place the connection gives up while it
    // reads them (they were not what it expected) must be free again when
    // the same bytes are stored the ordinary way.
    std::shared_ptr<void> target;
    {
        std::lock_guard<std::mutex> guard(c->m_pump.lock);
        target = c->m_pump.take_receive_hold();
    }
    target.reset();
    if (c->core_stopped())
        return;
    {
        // After an error (38 included) the pump stops: restarting would
        // spin on the same error.
        std::lock_guard<std::mutex> guard(c->m_pump.lock);
        c->m_pump.end_receive(error.value, bytes);
    }
    // Until the connection has taken the bytes, a receive started from
    // another thread (a new limit) would write under its reader.
    c->core_received(error, bytes);
    c->start_receive_after(true);
}

void connection_core::set_window(std::uint32_t filled, std::uint32_t wanted)
{
    std::shared_ptr<void> previous;
    std::lock_guard<std::mutex> guard(m_pump.lock);
    previous = std::move(m_pump.window.hold);
    m_pump.window.set(filled, wanted);
}

void connection_core::set_window_targets(const std::vector<i_receive_span>& spans, std::shared_ptr<void> owner)
{
    std::shared_ptr<void> previous;
    std::lock_guard<std::mutex> guard(m_pump.lock);
    previous = std::move(m_pump.window.hold);
    m_pump.window.set_targets(spans, std::move(owner));
}

void connection_core::clear_window()
{
    std::shared_ptr<void> previous;
    std::lock_guard<std::mutex> guard(m_pump.lock);
    previous = m_pump.window.clear_targets();
}

void connection_core::stop_io()
{
    if (m_timer)
        m_timer->cancel();
    if (m_socket)
        m_socket->close();
}
