#include "net/conn/http_cdn_connection.h"

#include "picker/block_request_map.h"
#include "net/conn/connection_ref.h"
#include "foundation/tcp_client_socket.h"
#include "platform/debug_output.h"
#include "platform/socket.h"
#include "platform/tick.h"
#include "report/client_id.h"
#include "report/client_log.h"
#include "report/down_data_log.h"
#include "report/log_connection.h"
#include "report/log_event.h"

#include <sstream>

namespace zeq {

namespace {

// Steps of the wait for a connect still under way.
constexpr std::uint32_t kConnectPollMs = 10;

i_range_task* choose(i_range_task* task, const std::unique_ptr<i_range_task>& owned)
{
    return task ? task : owned.get();
}

}   // namespace

http_cdn_connection::http_cdn_connection(i_range_task* task, const PeerInfo& peer, std::uint8_t,
                                         std::unique_ptr<i_range_task> owned)
    : x_connection(new_range_socket(choose(task, owned)), choose(task, owned)->task_id()),
      m_owned_task(std::move(owned)),
      m_task(task ? task : m_owned_task.get()),
      m_activity_tick(platform::tick_count()),
      m_exchange(range_client::http_cdn, m_task, this)
{
    if (i_io_service* io = m_task->io_service())
        m_connect_timer = std::make_unique<i_deadline_timer>(*io);
    set_peer_info(peer);
    m_task->inc_http_connection_count(peer);
    platform::debug_output("http_cdn_connection::http_cdn_connection()");
}

http_cdn_connection::~http_cdn_connection()
{
    platform::debug_output("http_cdn_connection::~http_cdn_connection()");
    m_connect_timer.reset();
    // Counted out here, once, whether or not the set ever took the
    // connection: counting out in close() left refused connections counted.
    if (m_counted.exchange(false))
        m_task->dec_http_connection_count(*GetPeerInfo());
}

bool http_cdn_connection::assign_task(std::uint32_t)
{
    return false;
}

void http_cdn_connection::add_ref()
{
    m_refs.fetch_add(1);
}

void http_cdn_connection::release()
{
    if (m_refs.fetch_sub(1) == 1)
        delete this;
}

void http_cdn_connection::send_have(std::uint32_t) {}

void http_cdn_connection::on_connect()
{
    set_receive_window(0, kReceiveWindow);
    // An HTTP server has every piece.
    m_task->get_bitmap(m_bitmap);
    set_remote_pieces(std::vector<std::uint8_t>(m_bitmap.size(), 1));
    m_connect_started = platform::tick_count();
    wait_for_connect();
}

void http_cdn_connection::wait_for_connect()
{
    // The socket handed over may still be connecting: the request goes out
    // once the connect has completed, not after a fixed pause.
    const int native_socket = native();
    const int ready = native_socket < 0 ? -1 : platform::wait_writable(native_socket, 0);
    if (ready == 1) {
        const std::uint32_t error = platform::socket_error(native_socket);
        if (error == 0) {
            send_request();
            return;
        }
        if (ClientLogEnabled())
            WriteClientLog("http_cdn_connection connect failed error[" + std::to_string(error) + "]\n");
        close();
        return;
    }
    const std::uint32_t waited = platform::tick_count() - m_connect_started;
    if (ready < 0 || waited >= kConnectWaitMs || !m_connect_timer) {
        if (ClientLogEnabled())
            WriteClientLog("http_cdn_connection connect not completed after [" + std::to_string(waited) + "] ms\n");
        log_server_event(3, 4);
        close();
        return;
    }
    add_ref();
    m_connect_timer->expires_from_now(kConnectPollMs);
    m_connect_timer->async_wait(&http_cdn_connection::connect_check, this);
}

void http_cdn_connection::connect_check(void* self, const i_error_code& error)
{
    // The wait's reference, released when this handler ends.
    const connection_ref<http_cdn_connection> hold(static_cast<http_cdn_connection*>(self),
                                                   connection_ref<http_cdn_connection>::adopt);
    if (!error && !hold->is_closing())
        hold->wait_for_connect();
}

void http_cdn_connection::send_request()
{
    write_post();
    if (is_closing())
        return;
    LogEvent(22, "LOG::LOG_PEER_CONN", std::uint32_t(task_id()), std::uint32_t(task_id() >> 32), "%I64d,%d,%d",
             GetPeerInfo()->clientid, int(GetPeerInfo()->peertype), 1);
    log_server_event(3, 0);
    start_receive();
}

void http_cdn_connection::write_post()
{
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    // Closed meanwhile from a task thread: its abort has run or waits for
    // this lock, so no run may be taken now (nothing would give it back).
    if (is_closing())
        return;
    const PeerInfo& peer = *GetPeerInfo();
    int code = http_range_request::build_ok;
    std::string request;
    if (m_task->is_stop_finished()) {
        m_done = true;
        code = http_range_request::build_stopped;
    } else {
        if (ClientLogEnabled())
            WriteClientLog("http_cdn_connection::write_post() host:" + platform::ipv4_to_text(peer.publicip) +
                           "; port:" + std::to_string(peer.publicport));
        // The last request a connection may carry asks the server to close.
        code = m_exchange.build(peer, request, m_requests.load() + 1 < kMaxRequests);
    }
    if (code == http_range_request::build_empty_path)
        return;
    if (code != http_range_request::build_ok) {
        // Nothing left to ask for is the task's state, no fault of the server.
        if (code == http_range_request::build_no_run)
            m_done = true;
        if (ClientLogEnabled())
            WriteClientLog("zeq::http_cdn_connection::write_post close error " + std::to_string(code) + "\n");
        close();
        return;
    }
    m_requests.fetch_add(1);
    m_answered = false;
    send(request.data(), request.data() + request.size());
    m_activity_tick.store(platform::tick_count());
    if (m_task->text_enabled()) {
        m_task->text_output("http request: ClientID:" + std::to_string(peer.clientid) + ",FileName:" +
                            m_exchange.file_name() + ",request index:" + std::to_string(m_exchange.piece_in_file()) +
                            ",http_cdn_connection::write_post " + request);
    }
    if (m_first_request) {
        m_first_request = false;
        log_server_event(3, 7);
        if (CDownDataLog* data_log = CDownDataLog::GetInstance())
            data_log->AddTask(task_id());
    }
    if (m_task->text_enabled()) {
        std::ostringstream text;
        text << "zeq::http_cdn_connection: SEND SOCK[" << native() << "],TASKID[" << task_id() << "],"
             << "range[" << m_exchange.range_text() << "],"
             << "file[" << m_exchange.file_name() << "]";
        m_task->text_output(text.str());
    }
}

void http_cdn_connection::close()
{
    if (m_close_done.exchange(true))
        return;
    // Leaving the set drops its reference: hold one until the close is done.
    const connection_ref<http_cdn_connection> hold(this);
    const int native_socket = native();
    m_task->remove_connection(native_socket);
    x_connection::close();
    const bool stale = m_stale.load();
    {
        // Judged once, after the abort: a source that wrote nothing is
        // dialled again only after a back-off.
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        const bool delivered = m_exchange.delivered() && !m_slow;
        if (!stale && (delivered || (!m_done && !m_spared && !m_task->is_stop_finished())))
            m_task->report_source(*GetPeerInfo(), delivered);
    }
    // A close says nothing of the server's speed: the entry goes, the
    // process-wide HTTP connection limit stays.
    m_task->remove_http_connection_speed(native_socket);
    if (stale) {
        // Servers close idle kept connections whenever they like: the run
        // went back to the picker and a fresh connection asks again now,
        // counted in the task's limits in place of this one.
        if (m_counted.exchange(false))
            m_task->dec_http_connection_count(*GetPeerInfo());
        if (ClientLogEnabled())
            WriteClientLog("http_cdn_connection kept connection closed by the server, dialling again\n");
        m_task->redial();
    }
}

void http_cdn_connection::on_close()
{
    abort_download();
}

void http_cdn_connection::abort_download()
{
    mark_closing();
    // A wait for the connect holds a reference: end it with the connection.
    if (m_connect_timer)
        m_connect_timer->cancel();
    std::lock_guard<std::recursive_mutex> guard(m_lock);
    m_exchange.abort();
}

void http_cdn_connection::on_timer()
{
    release_piece();
}

void http_cdn_connection::release_piece()
{
    using verdict = http_range_request::verdict;
    verdict judged;
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        // Judged before the hand-back: a connection far slower than the
        // others gives everything back, not half.
        const std::uint32_t now = platform::tick_count();
        judged = m_exchange.judge(now, now - m_activity_tick.load(), *GetPeerInfo());
        if (judged == verdict::fine)
            m_exchange.hand_back();
    }
    if (judged == verdict::slow || judged == verdict::slow_source) {
        // Far slower than another connection of the task: its blocks go to
        // the others, the part of a block received stays for the next.
        if (ClientLogEnabled())
            WriteClientLog("http_cdn_connection too slow, blocks given back\n");
        m_task->take_release_request();
        m_slow = judged == verdict::slow_source;
        m_spared = !m_slow;
        close();
        return;
    }
    if (judged == verdict::timed_out) {
        log_server_event(3, 4);
        close();
        return;
    }
    CBlockRequestMap* picker = m_task->piece_picker();
    if (picker && picker->IsDownloadComplete()) {
        m_done = true;   // not the server's fault
        close();
    }
}

void http_cdn_connection::on_receive(const i_error_code& error, std::uint32_t bytes)
{
    if (!error && m_task->is_stop_finished()) {
        // The task is going: drain the socket without taking anything
        // until the server ends the answer.
        set_receive_window(0, kReceiveWindow);
        return;
    }
    if (m_task->text_enabled()) {
        std::ostringstream text;
        text << "zeq::http_cdn_connection: RECV SOCK[" << native() << "],TASKID[" << task_id() << "],"
             << "error[" << error.value << "]"
             << "bytes transferred[" << bytes << "]\n";
        m_task->text_output(text.str());
    }
    if (error) {
        // Nothing came of the request sent on a kept connection: the
        // server had closed it meanwhile.
        if (m_requests.load() > 1 && !m_answered)
            m_stale = true;
        close();
        if (m_task->text_enabled())
            m_task->text_output("taskid[" + std::to_string(task_id()) +
                                "], http_cdn_connection::on_receive 出错关闭, errorno:" + std::to_string(error.value) +
                                "\n");
        if (error.value == 38)
            log_server_event(3, 3);
        return;
    }
    const std::uint32_t now = platform::tick_count();
    const std::uint32_t previous = m_activity_tick.exchange(now);
    const std::uint32_t filled = receive_filled();
    if (filled == 0)
        return;
    m_answered = true;

    std::unique_lock<std::recursive_mutex> guard(m_lock);
    const bool header_was_pending = m_exchange.header_pending();
    if (!header_was_pending) {
        const std::uint32_t elapsed = now - previous == 0 ? 1 : now - previous;
        m_task->set_http_connection_speed(native(), float(double(bytes) / elapsed * 1000.0));
    }
    const http_range_request::receive_state state = m_exchange.receive(receive_buffer(), filled, *GetPeerInfo());
    if (state == http_range_request::receive_state::refused) {
        const std::string message = m_exchange.failure();
        const std::string answer = m_exchange.answer();
        const std::string file = m_exchange.file_name();
        const std::string url_path = m_exchange.url_path();
        guard.unlock();
        // The task reports it (outside the connection's lock).
        if (header_was_pending)
            m_task->report_answer(*GetPeerInfo(), file, url_path, message + " (the server answered '" + answer + "')");
        if (m_task->text_enabled())
            m_task->text_output("\n" + std::to_string(task_id()) + " " + message + "\n");
        close();
        return;
    }
    if (header_was_pending && !m_exchange.header_pending()) {
        log_server_event(3, 0);
        m_task->report_source(*GetPeerInfo(), true);   // the source answers
    }
    const bool head_taken = header_was_pending && !m_exchange.header_pending();
    const std::string file = head_taken ? m_exchange.file_name() : std::string();
    const std::string url_path = head_taken ? m_exchange.url_path() : std::string();
    const std::uint32_t window = m_exchange.receive_window(kReceiveWindow);
    guard.unlock();
    if (head_taken)
        m_task->report_answer(*GetPeerInfo(), file, url_path, std::string());
    if (state == http_range_request::receive_state::complete) {
        run_complete();
        return;
    }
    set_receive_window(0, window);
}

bool http_cdn_connection::may_reuse()
{
    {
        std::lock_guard<std::recursive_mutex> guard(m_lock);
        if (!m_exchange.reusable())
            return false;
    }
    if (m_requests.load() >= kMaxRequests || m_task->is_stop_finished())
        return false;
    CBlockRequestMap* picker = m_task->piece_picker();
    return !(picker && picker->IsDownloadComplete());
}

void http_cdn_connection::run_complete()
{
    if (!may_reuse()) {
        close();
        return;
    }
    // The answer was read to its last byte: the connection is at the end
    // of a response and carries the next request.
    set_receive_window(0, kReceiveWindow);
    write_post();
}

bool http_cdn_connection::on_response(const std::uint8_t* data, std::uint32_t length)
{
    std::unique_lock<std::recursive_mutex> guard(m_lock);
    const auto state = m_exchange.receive(data, length, *GetPeerInfo());
    guard.unlock();
    if (state == http_range_request::receive_state::complete)
        run_complete();
    else if (state == http_range_request::receive_state::refused)
        close();
    return true;
}

void http_cdn_connection::log_server_event(std::uint8_t selector, std::uint32_t result)
{
    if (CLogConnection* log = CLogConnection::GetInstance()) {
        const PeerInfo& peer = *GetPeerInfo();
        log->AddHttpSvrLog(selector == 2 ? 5 : 7, GetProcessClientId(), task_id(), peer.publicip, peer.publicport,
                           result);
    }
}

}   // namespace zeq

int ConnectHttpPeer(PeerInfo& peer, std::uint16_t port)
{
    if (peer.peertype == PEERTYPE_HTTP) {
        platform::debug_output("PEERTYPE_HTTP or PEERTYPE_HTTP_CDN peer");
        const std::uint32_t address = platform::resolve_first_ipv4(FixedText(peer.hostname));
        if (address == 0)
            return -1;
        peer.publicip = address;
    }
    CTcpClientSocketHelper client;
    const int result = client.Connect(peer.publicip, port, 0, 0, 0);
    if (result == CTcpClientSocketHelper::connected || result == CTcpClientSocketHelper::wait_ended)
        return client.Detach();
    if (CLogConnection* log = CLogConnection::GetInstance()) {
        if (peer.peertype == PEERTYPE_DIRECT)
            log->AddPeerLog(5, GetProcessClientId(), 0, peer.publicip, port, 1);
        else if (peer.peertype == PEERTYPE_HTTP || peer.peertype == PEERTYPE_HTTP_CDN)
            log->AddHttpSvrLog(7, GetProcessClientId(), 0, peer.publicip, port, 1);
    }
    return -1;
}
