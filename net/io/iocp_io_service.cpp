#include "net/io/iocp_io_service.h"

#include "net/io/select_reactor.h"
#include "platform/debug_output.h"
#include "platform/error_codes.h"
#include "platform/tick.h"

#include <chrono>
#include <limits>

namespace {
// Longest sleep on the port between looks at the timers; also bounds how
// late a replaced tick source is noticed.
constexpr std::uint32_t max_wait_ms = 50;
// How long pause waits for a thread to enter run before giving up.
constexpr std::uint32_t pause_no_runner_ms = 2000;

std::uint32_t map_transfer_error(std::uint32_t error)
{
    // A transfer aborted by a close reads as a cancellation.
    return error == platform::err::netname_deleted ? platform::err::operation_aborted : error;
}
}   // namespace

i_iocp_io_service::i_iocp_io_service(i_io_service& owner) : i_service(owner) {}

i_iocp_io_service::~i_iocp_io_service()
{
    // The transfer thread posts through this object: it ends first.
    m_port.stop_transfers();
}

void i_iocp_io_service::shutdown_service()
{
    m_shutdown.store(1);
    m_port.stop_transfers();
    platform::completion_packet packet;
    // Everything queued is dropped unrun.
    while (m_port.get(packet, 0) == platform::CompletionPort::wait_result::packet) {
    }
}

bool i_iocp_io_service::on_io_thread() const
{
    return m_in_run.load() && m_run_thread.load() == std::this_thread::get_id();
}

std::uint32_t i_iocp_io_service::post(i_handler function, void* context, std::uint32_t error)
{
    return post_packet(kind_post, reinterpret_cast<void (*)()>(function), context, error, 0);
}

std::uint32_t i_iocp_io_service::post_transfer(std::uint32_t kind, i_transfer_handler function, void* context,
                                               std::uint32_t error, std::uint32_t bytes)
{
    return post_packet(kind, reinterpret_cast<void (*)()>(function), context, error, bytes);
}

std::uint32_t i_iocp_io_service::post_packet(std::uint32_t kind, void (*function)(), void* context, std::uint32_t error,
                                             std::uint32_t bytes)
{
    if (m_shutdown.load() != 0)
        return m_shutdown.load();
    platform::completion_packet packet;
    packet.function = function;
    packet.context = context;
    packet.kind = kind;
    packet.error = error;
    packet.bytes = bytes;
    return m_port.post(packet) ? 0 : platform::err::invalid_handle;
}

void i_iocp_io_service::dispatch(const platform::completion_packet& packet)
{
    switch (packet.kind) {
    case kind_post:
        reinterpret_cast<i_handler>(packet.function)(packet.context, i_error_code(packet.error));
        break;
    case kind_send:
        reinterpret_cast<i_transfer_handler>(packet.function)(
            packet.context, i_error_code(map_transfer_error(packet.error)), packet.bytes);
        break;
    case kind_receive: {
        std::uint32_t error = map_transfer_error(packet.error);
        if (error == 0 && packet.bytes == 0)
            error = platform::err::handle_eof;   // the peer closed the stream
        reinterpret_cast<i_transfer_handler>(packet.function)(packet.context, i_error_code(error), packet.bytes);
        break;
    }
    default:
        reinterpret_cast<i_transfer_handler>(packet.function)(packet.context, i_error_code(packet.error), packet.bytes);
        break;
    }
}

void i_iocp_io_service::park()
{
    std::unique_lock<std::mutex> lock(m_park_lock);
    m_parked = true;
    m_park_cond.notify_all();
    while (m_paused.load() != 0 && m_stop_requested.load() == 0 && !m_stopped.load())
        m_park_cond.wait_for(lock, std::chrono::milliseconds(max_wait_ms));
    m_parked = false;
    lock.unlock();
    platform::debug_output("--- icop restart end !\n");
}

std::uint32_t i_iocp_io_service::run_one(bool block)
{
    for (;;) {
        std::uint32_t wait = block ? max_wait_ms : 0;
        if (i_select_reactor* reactor = m_reactor.load()) {
            const std::uint32_t next = reactor->expire_due(platform::tick_count(), max_wait_ms);
            if (block)
                wait = next;
        }
        platform::completion_packet packet;
        const auto result = m_port.get(packet, wait);
        if (result == platform::CompletionPort::wait_result::failed)
            return 0;   // no port: nothing can ever complete
        if (result == platform::CompletionPort::wait_result::timeout) {
            if (!block)
                return 1;
            continue;   // look at the timers and wait again
        }
        if (packet.function) {
            dispatch(packet);
            return 1;
        }
        if (packet.kind == kind_pause) {
            if (m_paused.load() != 0 && m_stop_requested.load() == 0) {
                park();
                return 1;
            }
            continue;   // a pause already given up or resumed: nothing to do
        }
        return 0;   // stop
    }
}

std::uint32_t i_iocp_io_service::run()
{
    m_run_thread.store(std::this_thread::get_id());
    m_in_run.store(true);
    std::uint32_t count = 0;
    while (run_one(true) != 0) {
        if (m_stopped.load())
            break;
        if (count != std::numeric_limits<std::uint32_t>::max())
            ++count;
    }
    m_in_run.store(false);
    return count;
}

std::uint32_t i_iocp_io_service::run_abandoned(std::uint32_t limit)
{
    if (m_in_run.load() || m_shutdown.load() != 0)
        return 0;   // the I/O thread still runs, or nothing can be queued any more
    // The handlers expect to run on the I/O thread; the calling thread is it
    // now, and no other thread runs handlers any more.
    m_run_thread.store(std::this_thread::get_id());
    m_in_run.store(true);
    // No transfer completes on its own any more: what still waits is
    // cancelled below, and nothing can be posted after the last look.
    m_port.stop_transfers();
    std::uint32_t count = 0;
    while (count < limit) {
        // Timer waits and operations waiting for socket readiness are
        // cancelled first; handlers may start new ones, so each round looks
        // again.
        if (i_select_reactor* reactor = m_reactor.load())
            reactor->cancel_all();
        m_port.abandon_all();
        platform::completion_packet packet;
        if (m_port.get(packet, 0) != platform::CompletionPort::wait_result::packet)
            break;
        if (!packet.function)
            continue;   // a stop or pause marker
        const std::uint32_t aborted = platform::err::operation_aborted;
        if (packet.kind == kind_post)
            reinterpret_cast<i_handler>(packet.function)(packet.context, i_error_code(aborted));
        else
            reinterpret_cast<i_transfer_handler>(packet.function)(packet.context, i_error_code(aborted), 0);
        ++count;
    }
    m_in_run.store(false);
    return count;
}

std::uint32_t i_iocp_io_service::poll()
{
    if (m_in_run.exchange(true))
        return 0;
    m_run_thread.store(std::this_thread::get_id());
    std::uint32_t count = 0;
    platform::completion_packet packet;
    while (m_port.get(packet, 0) == platform::CompletionPort::wait_result::packet) {
        if (!packet.function)
            continue;
        dispatch(packet);
        ++count;
    }
    m_in_run.store(false);
    return count;
}

void i_iocp_io_service::stop()
{
    if (m_stop_requested.exchange(1) != 0)
        return;
    platform::completion_packet packet;
    packet.kind = kind_stop;
    m_port.post(packet);   // a failed post is ignored: the stopped byte still ends run
    std::lock_guard<std::mutex> guard(m_park_lock);
    m_park_cond.notify_all();
}

void i_iocp_io_service::set_stopped()
{
    m_stopped.store(true);
    std::lock_guard<std::mutex> guard(m_park_lock);
    m_park_cond.notify_all();
}

bool i_iocp_io_service::pause()
{
    if (on_io_thread())
        return false;   // the I/O thread cannot wait for itself to park
    std::unique_lock<std::mutex> lock(m_park_lock);
    // Pauses nest: the thread stays parked until every pause has had its
    // restart, so a second caller's work never runs beside the handlers
    // because the first caller restarted.
    if (++m_pause_count == 1) {
        m_paused.store(1);
        platform::completion_packet packet;
        packet.kind = kind_pause;
        if (!m_port.post(packet)) {
            end_pause_locked();
            return false;
        }
    }
    platform::debug_output("--- icop pause start !\n");
    std::uint32_t without_runner = 0;
    while (!m_parked) {
        if (m_stop_requested.load() != 0 || m_stopped.load()) {
            end_pause_locked();
            return false;
        }
        if (!m_in_run.load()) {
            without_runner += max_wait_ms;
            if (without_runner >= pause_no_runner_ms) {
                end_pause_locked();
                return false;
            }
        }
        m_park_cond.wait_for(lock, std::chrono::milliseconds(max_wait_ms));
    }
    lock.unlock();
    platform::debug_output("--- icop pause end !\n");
    return true;
}

void i_iocp_io_service::restart()
{
    std::lock_guard<std::mutex> guard(m_park_lock);
    end_pause_locked();
}

void i_iocp_io_service::end_pause_locked()
{
    if (m_pause_count == 0 || --m_pause_count != 0)
        return;
    // A pause completion not yet taken is ignored once the flag is clear.
    m_paused.store(0);
    m_park_cond.notify_all();
}
