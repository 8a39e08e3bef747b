#include "engine/cdn_thread.h"

#include "picker/block_request_map.h"
#include "engine/cdn_thread_peer_connection.h"
#include "net/conn/http_range_request.h"
#include "net/io/iocp_io_service.h"
#include "net/io/transfer_limits.h"
#include "platform/tick.h"
#include "report/client_log.h"

#include <sstream>

namespace {

// The last speed line of any CDN thread (tick; 0: none yet), so that the
// line is written about once a second in all, not once per task.
std::atomic<std::uint32_t> g_speed_line_tick{0};

std::atomic<CCdnThread::seconds_source> g_seconds_source{nullptr};

}   // namespace

CCdnThread::CCdnThread(zeq::i_range_task* task) : m_task(task), m_wake(std::make_shared<platform::Event>()) {}

CCdnThread::~CCdnThread()
{
    // The destructor may run on the I/O thread, whose handlers the thread
    // would otherwise wait for: connections still referenced end on their
    // last release.
    m_abandon.store(true);
    Stop();
    m_thread.join();
    for (auto& connection : m_connections) {
        if (connection) {
            connection->close();
            connection->release_owner();
        }
        connection = nullptr;
    }
}

void CCdnThread::SetSecondsSource(seconds_source source)
{
    g_seconds_source.store(source);
}

std::int64_t CCdnThread::NowSeconds()
{
    const seconds_source source = g_seconds_source.load();
    return source ? source() : platform::unix_time();
}

void CCdnThread::ResetSpeedLineStamp()
{
    g_speed_line_tick.store(0);
}

void CCdnThread::Start()
{
    m_stop_requested.store(false);
    m_stopped.store(false);
    m_io_finished.store(false);
    m_abandon.store(false);
    if (m_thread.joinable())
        return;
    m_wake->reset();
    for (auto& connection : m_connections)
        connection = new zeq::cdn_thread_peer_connection(this);
    m_next_dial.fill(0);
    m_no_run_until.fill(0);
    m_judged.fill(0);
    m_bucket_index.store(0);
    for (auto& bucket : m_buckets)
        bucket.store(0);
    std::uint32_t none = 0;
    const std::uint32_t now = platform::tick_count();
    g_speed_line_tick.compare_exchange_strong(none, now == 0 ? 1 : now);
    if (!m_thread.start([this] { ThreadProc(); }, "cdn_thread")) {
        for (auto& connection : m_connections) {
            connection->release_owner();
            connection = nullptr;
        }
        m_stopped.store(true);
    }
}

bool CCdnThread::IoServiceStopped()
{
    i_io_service* io = m_task ? m_task->io_service() : nullptr;
    return io && (io->impl().stop_requested() || io->impl().is_shut_down());
}

void CCdnThread::Stop()
{
    m_stop_requested.store(true);
    if (!m_thread.joinable()) {
        m_stopped.store(true);
        return;
    }
    if (IoServiceStopped())
        m_io_finished.store(true);
    m_wake->set();
    if (m_io_finished.load()) {
        // Nothing will release the connections: the thread gives up its
        // wait at once, so this join is short.
        m_thread.join();
        m_stopped.store(true);
    }
}

void CCdnThread::Join()
{
    m_thread.join();
    m_stopped.store(true);
}

bool CCdnThread::IsTaskCompleted()
{
    return m_task && m_task->is_complete();
}

void CCdnThread::CancelRequest(std::uint32_t piece, std::uint32_t offset, std::uint32_t)
{
    if (CBlockRequestMap* picker = m_task ? m_task->piece_picker() : nullptr)
        picker->CancelRequest(std::int32_t(piece), std::int32_t(offset));
}

void CCdnThread::AddReceivedBytes(std::uint32_t bytes, std::uint32_t)
{
    const std::uint32_t index = std::uint32_t(NowSeconds() % 10);
    if (m_bucket_index.exchange(index) != index)
        m_buckets[index].store(bytes);   // a new second starts from these bytes
    else
        m_buckets[index].fetch_add(bytes);
    transfer_limits::add_immediate_bytes(bytes, 0);
}

double CCdnThread::GetSpeed()
{
    std::uint64_t sum = 0;
    for (const auto& bucket : m_buckets)
        sum += bucket.load();
    return double(sum) / 10.0;
}

void CCdnThread::WriteLog(const std::string& text)
{
    if (ClientLogEnabled())
        WriteClientLog(text);
}

void CCdnThread::WriteSpeedLine()
{
    AddReceivedBytes(0);
    if (!ClientLogEnabled())
        return;
    std::ostringstream text;
    text << "cdn_thread_peer speed[" << GetSpeed() / 1024.0 << "]\n";
    WriteClientLog(text.str());
}

void CCdnThread::ThreadProc()
{
    // Each pass runs at once, then the thread sleeps until something is
    // due (a redial pause, a connect time-out, the speed line) or it is
    // woken: a connection became free, HTTP peers were added, blocks went
    // back to the picker, or a stop.
    std::uint32_t wait = 0;
    for (;;) {
        if (wait != 0 && m_wake->wait(wait))
            m_no_run_until.fill(0);   // woken: blocks may be free again
        if (m_stop_requested.load())
            break;
        wait = Step();
    }
    ReleaseConnections();
}

std::uint32_t CCdnThread::Step()
{
    const std::uint32_t now = platform::tick_count();
    m_due = now + kIdleWaitMs;
    // A connected connection times out on its own tick; one whose connect
    // never completes has no tick yet.
    for (auto* connection : m_connections) {
        if (connection)
            connection->expire_connect(now);
    }
    if (!IsTaskCompleted()) {
        for (std::size_t i = 0; i < kConnections; ++i)
            DialIdle(i, now);
    }
    std::uint32_t last = g_speed_line_tick.load();
    if (last != 0 && now - last >= 1000 && g_speed_line_tick.compare_exchange_strong(last, now == 0 ? 1 : now))
        WriteSpeedLine();
    if (ClientLogEnabled())
        DueAt(now + 1000);
    for (auto* connection : m_connections) {
        if (connection && connection->is_connecting())
            DueAt(connection->connect_deadline());
    }
    const std::uint32_t left = platform::tick_remaining(platform::tick_count(), m_due);
    return left == 0 ? 1 : left;
}

void CCdnThread::DueAt(std::uint32_t tick)
{
    if (!platform::tick_reached(tick, m_due))
        m_due = tick;
}

void CCdnThread::DialIdle(std::size_t i, std::uint32_t now)
{
    zeq::cdn_thread_peer_connection* connection = m_connections[i];
    // Free: idle, and no operation of its last connection still pending;
    // or kept open after its last run, waiting for the next.
    if (!connection)
        return;
    const bool kept = connection->is_kept();
    if (!kept && (!connection->is_idle() || connection->ref_count() != 1))
        return;
    const std::uint32_t attempts = connection->attempts();
    if (attempts != m_judged[i]) {
        // An attempt has ended since the last look: after failures wait
        // longer and longer before dialling again.
        m_judged[i] = attempts;
        const std::uint32_t failures = connection->failures();
        if (failures > 0) {
            const std::uint32_t shift = failures - 1 < 5 ? failures - 1 : 5;
            std::uint32_t pause = kRedialPauseMs << shift;
            if (pause > kRedialPauseMaxMs)
                pause = kRedialPauseMaxMs;
            m_next_dial[i] = now + pause;
        }
    }
    if (!platform::tick_reached(now, m_next_dial[i])) {
        DueAt(m_next_dial[i]);
        return;
    }
    if (m_no_run_until[i] != 0 && !platform::tick_reached(now, m_no_run_until[i])) {
        DueAt(m_no_run_until[i]);
        return;
    }
    if (!m_task->has_http_peers())
        return;   // nothing to dial until HTTP peers are added (a wake)
    if (!m_task->piece_picker()) {
        DueAt(now + kStepMs);   // storage has not reported the task yet
        return;
    }
    // Dial only when there is something to fetch.
    BlockRequestQueue run;
    std::uint32_t count = zeq::http_range_request::kRunBlocks;
    m_task->request_continuous_blocks(run, count);
    if (run.empty()) {
        // Blocks handed back wake the thread; other sources free blocks
        // without telling, so look again after a pause as well.
        m_task->add_release_request();
        m_no_run_until[i] = now + kNoRunPauseMs;
        if (m_no_run_until[i] == 0)
            m_no_run_until[i] = 1;
        DueAt(m_no_run_until[i]);
        return;
    }
    // A kept connection takes the run to its server at once: no connect,
    // no slow start.
    if (kept && connection->reuse(run))
        return;
    // Picked only with a run in hand: a source's first pick is its one
    // probe, which must not be spent on a dial that never happens.
    PeerInfo peer{};
    if (kept || !m_task->pick_http_peer(peer) || !connection->connect_peer(peer, run)) {
        for (const BlockRequest& block : run)
            CancelRequest(std::uint32_t(block.piece), std::uint32_t(block.offset), std::uint32_t(block.length));
    }
}

bool CCdnThread::OperationsPending()
{
    for (auto* connection : m_connections) {
        if (connection && connection->ref_count() > 1)
            return true;
    }
    return false;
}

void CCdnThread::ReleaseConnections()
{
    for (auto* connection : m_connections) {
        if (connection)
            connection->close();
    }
    // Closed sockets complete their operations as cancelled at once while
    // the I/O thread runs; a connection signals the wake event when its
    // last one is done. Once the I/O service has stopped they run only
    // when the session completes them at its end: nothing to wait for.
    const std::uint32_t start = platform::tick_count();
    while (OperationsPending() && !m_abandon.load() && !m_io_finished.load() && !IoServiceStopped() &&
           platform::tick_count() - start < kReleaseWaitMs)
        m_wake->wait(kStepMs);
    for (auto& connection : m_connections) {
        if (connection)
            connection->release_owner();
        connection = nullptr;
    }
    m_stopped.store(true);
}
