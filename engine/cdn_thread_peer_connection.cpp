#include "engine/cdn_thread_peer_connection.h"

#include "engine/cdn_thread.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "report/client_id.h"
#include "report/client_log.h"
#include "report/down_data_log.h"
#include "report/log_connection.h"

#include <sstream>

namespace zeq {

cdn_thread_peer_connection::cdn_thread_peer_connection(CCdnThread* owner)
    : base_connection(new_range_socket(owner ? owner->GetTask() : nullptr)),
      m_owner(owner),
      m_wake(owner->WakeEvent()),
      m_exchange(range_client::cdn_thread, owner->GetTask(), this)
{
}

cdn_thread_peer_connection::~cdn_thread_peer_connection()
{
    if (!is_idle())
        disconnect();
}

void cdn_thread_peer_connection::add_ref()
{
    m_refs.fetch_add(1);
}

void cdn_thread_peer_connection::release()
{
    // Copied first: after the decrement another release may end the object.
    const std::shared_ptr<platform::Event> wake = m_wake;
    const std::uint32_t left = m_refs.fetch_sub(1) - 1;
    if (left == 0) {
        delete this;
        return;
    }
    // Only the owner's reference is left: the connection is free to dial
    // again, or the owner's stop may go on.
    if (left == 1 && wake)
        wake->set();
}

std::uint32_t cdn_thread_peer_connection::ref_count()
{
    return m_refs.load();
}

std::uint32_t cdn_thread_peer_connection::owner_references()
{
    return owner() ? 1 : 0;
}

void cdn_thread_peer_connection::release_owner()
{
    if (m_owner.exchange(nullptr))
        release();
}

void cdn_thread_peer_connection::log(const std::string& text)
{
    if (ClientLogEnabled())
        WriteClientLog(text);
}

bool cdn_thread_peer_connection::connect_peer(const PeerInfo& peer)
{
    BlockRequestQueue none;
    return connect_peer(peer, none);
}

bool cdn_thread_peer_connection::connect_peer(const PeerInfo& peer, BlockRequestQueue& run)
{
    CCdnThread* o = owner();
    if (!o || m_refs.load() != 1 || o->IsStopping() || !socket())
        return false;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        m_peer = peer;
        m_activity_tick.store(platform::tick_count());
        m_exchange.set_run(std::move(run));
        run.clear();
        m_attempt_open = true;
        m_run_complete = false;
        m_requests = 0;
        m_on_kept_connection = false;
        m_kept.store(false);
    }
    m_connecting.store(true);
    if (!connect(platform::ipv4_to_text(peer.publicip), peer.publicport)) {
        m_connecting.store(false);
        return false;
    }
    return true;
}

bool cdn_thread_peer_connection::reuse(BlockRequestQueue& run)
{
    CCdnThread* o = owner();
    if (!o || o->IsStopping() || !m_kept.exchange(false))
        return false;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        // Closed meanwhile (the server's end, the one-second check): the
        // run stays with the caller.
        if (is_idle())
            return false;
        m_activity_tick.store(platform::tick_count());
        m_exchange.set_run(std::move(run));
        run.clear();
        m_attempt_open = true;
        m_run_complete = false;
        m_on_kept_connection = true;
    }
    // The receive window was set for the head when the connection was
    // kept (on the I/O thread, which alone touches it).
    write_post();
    start_receive();
    return true;
}

bool cdn_thread_peer_connection::expire_connect(std::uint32_t now)
{
    if (!m_connecting.load() || is_idle() || !owner())
        return false;
    if (std::uint32_t(now - m_activity_tick.load()) <= kIdleTimeoutMs)
        return false;
    log("cdn_thread_peer_connection connect not completed after [" +
        std::to_string(std::uint32_t(now - m_activity_tick.load())) + "] ms\n");
    log_server_event(3, 4);
    // The pending connect then completes with 995 and releases its
    // reference; the blocks go back in abort_download.
    close();
    return true;
}

void cdn_thread_peer_connection::on_connect(const i_error_code& error)
{
    m_connecting.store(false);
    if (!owner())
        return;   // the owner has let go: nothing is left to do but release
    if (!error && !is_idle()) {
        prepare_receive(0, kReceiveWindow);
        write_post();
        start_receive();
        return;
    }
    close(error);
    if (ClientLogEnabled()) {
        std::ostringstream text;
        text << "cdn_thread_peer_connection connect failed error[" << error.value << "],"
             << "timeout [" << std::uint32_t(platform::tick_count() - m_activity_tick.load()) << "]\n";
        WriteClientLog(text.str());
    }
}

void cdn_thread_peer_connection::write_post()
{
    CCdnThread* o = owner();
    if (!o)
        return;
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    // Closed meanwhile by the CDN thread: its abort has run or waits for
    // this lock, so no run may be taken now (nothing would give it back).
    if (is_idle())
        return;
    i_range_task* task = o->GetTask();
    log("[zeq::cdn_thread_peer]::write_post() host[" + platform::ipv4_to_text(m_peer.publicip) + "], port[" +
        std::to_string(m_peer.publicport) + "]");
    std::string request;
    // The last request a connection may carry asks the server to close.
    const int code = m_exchange.build(m_peer, request, m_requests + 1 < kMaxRequests);
    ++m_requests;
    if (code == http_range_request::build_empty_path)
        return;
    if (code != http_range_request::build_ok) {
        log("zeq::cdn_thread_peer_connection::write_post close error " + std::to_string(code) + "\n");
        close();
        return;
    }
    write(request.data(), request.data() + request.size());
    m_activity_tick.store(platform::tick_count());
    log("http request: ClientID:" + std::to_string(m_peer.clientid) + ", FileName:" + m_exchange.file_name() +
        ", request index:" + std::to_string(m_exchange.piece_in_file()) + ", http_cdn_connection::write_post " +
        request);
    if (m_first_request) {
        m_first_request = false;
        log_server_event(3, 7);
        if (CDownDataLog* data_log = CDownDataLog::GetInstance())
            data_log->AddTask(task->task_id());
    }
    if (ClientLogEnabled()) {
        std::ostringstream text;
        text << "zeq::cdn_thread_peer_connection: SEND SOCK[" << (socket() ? socket()->native() : -1) << "],TASKID["
             << task->task_id() << "],"
             << "range[" << m_exchange.range_text() << "],"
             << "file[" << m_exchange.file_name() << "]";
        WriteClientLog(text.str());
    }
}

void cdn_thread_peer_connection::on_receive(const i_error_code& error, std::uint32_t bytes)
{
    CCdnThread* o = owner();
    if (!o)
        return;
    const std::uint64_t task_id = o->GetTask()->task_id();
    if (error) {
        if (ClientLogEnabled()) {
            std::ostringstream text;
            text << "[zeq::cdn_thread_peer_connection]" << task_id << ","
                 << "close error_code = " << error.value << " bytes transferred[" << bytes << "]\n";
            WriteClientLog(text.str());
        }
        close(error);
        return;
    }
    if (ClientLogEnabled()) {
        std::ostringstream text;
        text << "[zeq::cdn_thread_peer_connection: RECV SOCK][" << (socket() ? socket()->native() : -1) << "],TASKID["
             << task_id << "],"
             << "error[" << error.value << "],"
             << "bytes_transferred[" << bytes << "]\n";
        WriteClientLog(text.str());
    }
    m_activity_tick.store(platform::tick_count());
    o->AddReceivedBytes(bytes);

    std::unique_lock<std::recursive_mutex> guard(m_lock);
    const bool header_was_pending = m_exchange.header_pending();
    // The body may have gone straight into storage's bytes (lent blocks).
    const auto state = m_exchange.lending() ? m_exchange.receive_lent(bytes, m_peer)
                                            : m_exchange.receive(receive_buffer(), receive_filled(), m_peer);
    if (header_was_pending && !m_exchange.header_pending()) {
        o->GetTask()->report_source(m_peer, true);   // the source answers
        o->GetTask()->report_answer(m_peer, m_exchange.file_name(), m_exchange.url_path(), std::string());
    }
    if (state == http_range_request::receive_state::refused) {
        log("[zeq::cdn_thread_peer]" + std::to_string(task_id) + "," + m_exchange.failure() + "\n");
        const std::string file = m_exchange.file_name();
        const std::string url_path = m_exchange.url_path();
        const std::string refusal = m_exchange.failure() + " (the server answered '" + m_exchange.answer() + "')";
        guard.unlock();
        // Told to the task (which reports it) outside the connection's lock.
        if (header_was_pending)
            o->GetTask()->report_answer(m_peer, file, url_path, refusal);
        close();
        return;
    }
    if (state == http_range_request::receive_state::complete) {
        m_run_complete = true;
        if (m_exchange.reusable() && m_requests < kMaxRequests && !o->IsStopping() && !o->IsTaskCompleted()) {
            keep(*o);
            guard.unlock();
            // No receive waits on a kept connection; the window, set for
            // the next head, lets go of the storage blocks it held.
            prepare_receive(0, kReceiveWindow);
            if (m_wake)
                m_wake->set();
            return;
        }
        guard.unlock();
        close();
        return;
    }
    std::uint8_t* target = nullptr;
    std::uint32_t filled = 0;
    std::uint32_t wanted = 0;
    std::shared_ptr<void> lent;
    if (m_exchange.receive_target(target, filled, wanted, lent)) {
        guard.unlock();
        prepare_receive_into(target, filled, wanted, std::move(lent));
        return;
    }
    const std::uint32_t window = m_exchange.receive_window(kReceiveWindow);
    guard.unlock();
    prepare_receive(0, window);
}

bool cdn_thread_peer_connection::on_response(const std::uint8_t* data, std::uint32_t length)
{
    CCdnThread* o = owner();
    if (!o)
        return true;
    o->AddReceivedBytes(length);
    std::unique_lock<std::recursive_mutex> guard(m_lock);
    const auto state = m_exchange.receive(data, length, m_peer);
    if (state == http_range_request::receive_state::complete)
        m_run_complete = true;
    guard.unlock();
    if (state == http_range_request::receive_state::complete || state == http_range_request::receive_state::refused)
        close();
    return true;
}

void cdn_thread_peer_connection::keep(CCdnThread& o)
{
    // The attempt ends as a complete one; the connection waits for the
    // thread's next run.
    m_attempt_open = false;
    finish_attempt(true, m_exchange.blocks_written() > 0);
    o.GetTask()->report_source(m_peer, !m_slow);
    m_slow = false;
    m_kept_tick.store(platform::tick_count());
    m_kept.store(true);
}

void cdn_thread_peer_connection::release_piece()
{
    CCdnThread* o = owner();
    if (!o)
        return;
    if (m_kept.load()) {
        // Not given a run soon (the task has none left for it): closed.
        if (platform::tick_count() - m_kept_tick.load() >= kKeptIdleMs || o->IsTaskCompleted())
            close();
        return;
    }
    using verdict = http_range_request::verdict;
    std::unique_lock<std::recursive_mutex> guard(m_lock);
    // Judged before the hand-back: a connection far slower than the others
    // gives everything back, not half.
    const std::uint32_t now = platform::tick_count();
    const verdict judged = m_exchange.judge(now, now - m_activity_tick.load(), m_peer);
    if (judged == verdict::fine)
        m_exchange.hand_back();
    const bool nothing_pending = m_exchange.pending_count() == 0 && !m_exchange.has_run();
    const bool slow = judged == verdict::slow || judged == verdict::slow_source;
    if (slow) {
        m_slow = judged == verdict::slow_source;
        m_spared = !m_slow;
    }
    guard.unlock();
    if (slow) {
        // Far slower than another connection of the task: its blocks go to
        // the others, the part of a block received stays for the next.
        log("cdn_thread_peer_connection too slow, blocks given back\n");
        o->GetTask()->take_release_request();
        close();
        return;
    }
    if (judged == verdict::timed_out) {
        log_server_event(3, 4);
        close();
        return;
    }
    if (nothing_pending || o->IsTaskCompleted())
        close();
}

void cdn_thread_peer_connection::close(const i_error_code&)
{
    disconnect();
}

void cdn_thread_peer_connection::abort_download()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    // A kept connection the server closed while it idled ends before any
    // answer to the request sent on it: no fault of the source; the run
    // goes back whole (nothing of it was counted) and is dialled anew.
    const bool stale = m_on_kept_connection && m_exchange.header_pending() && m_exchange.blocks_written() == 0;
    m_exchange.abort();
    // A server that cut the answer short after some blocks, or part of
    // one (kept for the next request), is no failed dial: what is left
    // goes back to the picker and is asked again at once.
    const bool delivered = m_exchange.delivered();
    m_kept.store(false);
    m_on_kept_connection = false;
    if (m_attempt_open && stale) {
        m_attempt_open = false;
        m_attempts.fetch_add(1);
    }
    if (m_attempt_open) {
        m_attempt_open = false;
        // Slowness alone with no other source to turn to is no failure;
        // beside a better source it is one, whatever came.
        finish_attempt(m_run_complete, (delivered && !m_slow) || m_spared);
        CCdnThread* o = owner();
        const bool served = (delivered || m_run_complete) && !m_slow;
        if (o && (served || (!m_spared && !o->IsStopping() && !o->IsTaskCompleted())))
            o->GetTask()->report_source(m_peer, served);
        m_slow = false;
        m_spared = false;
    }
}

void cdn_thread_peer_connection::finish_attempt(bool complete, bool delivered)
{
    if (complete) {
        m_failures.store(0);
        m_runs.fetch_add(1);
    } else if (delivered) {
        m_failures.store(0);
    } else {
        m_failures.fetch_add(1);
    }
    m_attempts.fetch_add(1);
}

void cdn_thread_peer_connection::log_server_event(std::uint8_t selector, std::uint32_t result)
{
    CCdnThread* o = owner();
    CLogConnection* log_connection = CLogConnection::GetInstance();
    if (!o || !log_connection)
        return;
    log_connection->AddHttpSvrLog(selector == 2 ? 5 : 7, GetProcessClientId(), o->GetTask()->task_id(), m_peer.publicip,
                                  m_peer.publicport, result);
}

}   // namespace zeq
