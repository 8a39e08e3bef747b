#include "report/log_connection.h"

#include <atomic>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/http_get.h"
#include "platform/debug_output.h"
#include "platform/event.h"
#include "platform/socket.h"
#include "platform/thread.h"
#include "platform/tick.h"
#include "report/client_id.h"
#include "report/log_record_queue.h"
#include "foundation/bounded_socket.h"
#include "report/server_address.h"

namespace {

constexpr const char* default_switch_url = "/clog_switch.txt";
constexpr int record_format_version = 1;
constexpr std::uint32_t pass_interval_ms = 1000;
constexpr std::uint32_t switch_interval_ms = 60000;
constexpr std::uint32_t poll_ms = 50;
constexpr std::uint32_t stop_bound_ms = 3000;
constexpr std::uint32_t connect_ms = 1000;
constexpr std::uint32_t send_ms = 2000;
constexpr std::uint32_t reply_ms = 2000;
constexpr std::size_t reply_cap = 64 * 1024;
constexpr std::size_t default_queue_limit = 1000;
// Records per queue and pass: one pass must not keep a connection busy for
// long, and a flood of one kind must not starve the others.
constexpr std::size_t records_per_queue_pass = 70;

// "/path" of the switch URL: a full URL loses its scheme and host, a bare
// name gets its leading slash.
std::string switch_path(const char* url)
{
    std::string text = (url && *url) ? url : default_switch_url;
    const std::size_t scheme = text.find("://");
    if (scheme != std::string::npos) {
        const std::size_t slash = text.find('/', scheme + 3);
        text = slash == std::string::npos ? std::string(default_switch_url) : text.substr(slash);
    }
    if (text.empty() || text[0] != '/')
        text.insert(text.begin(), '/');
    return text;
}

// The status code of an HTTP reply, 0 when there is no status line.
int reply_status(const std::string& reply)
{
    int major = 0, minor = 0, status = 0;
    if (std::sscanf(reply.c_str(), "HTTP/%d.%d %d", &major, &minor, &status) != 3)
        return 0;
    return status;
}

std::atomic<CLogConnection*> g_instance{nullptr};
std::mutex g_instance_lock;   // serialises create and destroy

void http_event_to_log(std::uint32_t kind, std::uint32_t sub_code, std::uint32_t ipv4, std::uint16_t port)
{
    // Under the instance lock: an HTTP GET on another thread may finish
    // while the connection is being destroyed.
    std::lock_guard<std::mutex> guard(g_instance_lock);
    if (CLogConnection* log = g_instance.load())
        log->AddEvent(kind, 0, ipv4, port, sub_code);
}

}   // namespace

struct CLogConnection::Impl {
    // Guards the three queues and the counters below.
    mutable std::mutex lock;
    CLogRecordQueue events{false};
    CLogRecordQueue http_servers{true};
    CLogRecordQueue peers{true};
    std::size_t limit = default_queue_limit;
    std::uint64_t dropped = 0;
    std::uint64_t sent = 0;

    // Guards the server addresses (set by Init/SetMirrorToLocal, read by the thread).
    mutable std::mutex address_lock;
    std::string host;
    std::uint32_t ipv4 = 0;
    std::uint16_t port = 80;
    std::string switch_path;
    bool mirror = false;
    std::uint32_t mirror_ipv4 = 0;
    std::uint16_t mirror_port = 0;

    std::atomic<bool> started{false};
    std::atomic<bool> sending{true};
    std::atomic<bool> stop{false};
    platform::Event wake{platform::Event::Reset::automatic};
    platform::ThreadSlot thread;
    std::mutex control;   // one Init at a time

    void add(CLogRecordQueue& queue, const LogRecord& record)
    {
        std::lock_guard<std::mutex> guard(lock);
        dropped += queue.Add(record, limit);
    }

    void run(std::uint32_t start_tick);
    void fetch_switch();
    void send_pass();
    bool send_batch(std::uint32_t to_ipv4, std::uint16_t to_port, const std::string& host_header,
                    const std::vector<LogRecord>& batch);
};

void CLogConnection::Impl::run(std::uint32_t start_tick)
{
    std::uint32_t next_switch = start_tick;
    std::uint32_t next_pass = next_switch + pass_interval_ms;
    while (!stop.load()) {
        wake.wait(poll_ms);
        if (stop.load())
            break;
        const std::uint32_t now = platform::tick_count();
        if (platform::tick_reached(now, next_switch)) {
            fetch_switch();
            next_switch = platform::tick_count() + switch_interval_ms;
        }
        if (platform::tick_reached(now, next_pass)) {
            send_pass();
            next_pass = platform::tick_count() + pass_interval_ms;
        }
    }
}

void CLogConnection::Impl::fetch_switch()
{
    std::string request;
    std::uint32_t to_ipv4;
    std::uint16_t to_port;
    {
        std::lock_guard<std::mutex> guard(address_lock);
        to_ipv4 = ipv4;
        to_port = port;
        request = "GET " + switch_path + " HTTP/1.1\r\nHost: " + host + ":" + std::to_string(port) +
                  "\r\nUser-Agent: p2sp_client_log " + std::to_string(record_format_version) +
                  "\r\nConnection: close\r\n\r\n";
    }
    CBoundedSocket socket;
    if (socket.Connect(to_ipv4, to_port, connect_ms, &stop) != 0)
        return;
    if (socket.SendAll(request.data(), request.size(), send_ms, &stop) != 0)
        return;
    std::string reply;
    const std::uint32_t error = socket.ReceiveUntilClose(reply, reply_cap, reply_ms, &stop);
    if (error != 0 && reply.find("\r\n\r\n") == std::string::npos)
        return;
    if (reply_status(reply) != 200)
        return;
    const std::size_t body = reply.find("\r\n\r\n");
    if (body == std::string::npos)
        return;
    const std::size_t first = reply.find_first_not_of(" \t\r\n", body + 4);
    const bool on = !(first != std::string::npos && reply[first] == '0');
    if (sending.exchange(on) != on)
        platform::debug_output(on ? "log connection: sending switched on\n" : "log connection: sending switched off\n");
}

bool CLogConnection::Impl::send_batch(std::uint32_t to_ipv4, std::uint16_t to_port, const std::string& host_header,
                                      const std::vector<LogRecord>& batch)
{
    std::string requests;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        requests += "GET /'" + FormatLogRecord(batch[i]) + "' HTTP/1.1\r\nHost: " + host_header +
                    "\r\nUser-Agent: p2sp_client_log " + std::to_string(record_format_version) +
                    "\r\nConnection: " + (i + 1 == batch.size() ? "close" : "keep-alive") + "\r\n\r\n";
    }
    CBoundedSocket socket;
    if (socket.Connect(to_ipv4, to_port, connect_ms, &stop) != 0)
        return false;
    if (socket.SendAll(requests.data(), requests.size(), send_ms, &stop) != 0)
        return false;
    // The replies are read (and dropped) so the server is not reset while it
    // still answers; a slow reply does not make the records unsent.
    std::string reply;
    socket.ReceiveUntilClose(reply, 0, reply_ms, &stop);
    return true;
}

void CLogConnection::Impl::send_pass()
{
    std::vector<LogRecord> batch;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!sending.load()) {
            // The server asked for no records: keeping them would only hold memory.
            dropped += events.Clear() + http_servers.Clear() + peers.Clear();
            return;
        }
        for (CLogRecordQueue* queue : {&events, &http_servers, &peers}) {
            std::vector<LogRecord> part = queue->Take(records_per_queue_pass);
            for (LogRecord& r : part)
                batch.push_back(std::move(r));
        }
    }
    if (batch.empty())
        return;

    std::uint32_t to_ipv4, mirror_to_ipv4 = 0;
    std::uint16_t to_port, mirror_to_port = 0;
    std::string host_header;
    bool mirror_on;
    {
        std::lock_guard<std::mutex> guard(address_lock);
        to_ipv4 = ipv4;
        to_port = port;
        host_header = host + ":" + std::to_string(port);
        mirror_on = mirror;
        mirror_to_ipv4 = mirror_ipv4;
        mirror_to_port = mirror_port;
    }
    const bool ok = send_batch(to_ipv4, to_port, host_header, batch);
    if (mirror_on && mirror_to_port != 0 && !stop.load())
        send_batch(mirror_to_ipv4, mirror_to_port,
                   platform::ipv4_to_text(mirror_to_ipv4) + ":" + std::to_string(mirror_to_port), batch);

    std::lock_guard<std::mutex> guard(lock);
    if (ok) {
        sent += batch.size();
        return;
    }
    // Unsent records go back to the front of their queues, still bounded.
    std::vector<LogRecord> back[3];
    for (LogRecord& r : batch)
        back[r.family == 'e' ? 0 : (r.family == 'h' ? 1 : 2)].push_back(std::move(r));
    dropped += events.PutBack(back[0], limit) + http_servers.PutBack(back[1], limit) + peers.PutBack(back[2], limit);
}

CLogConnection::CLogConnection() : m_impl(new Impl) {}

CLogConnection::~CLogConnection()
{
    Stop();
}

namespace {
LogRecord make_record(char family, std::uint64_t client_id, std::uint32_t kind, std::uint64_t task_id,
                      std::uint32_t ipv4, std::uint16_t port, std::uint32_t result)
{
    LogRecord r;
    r.family = family;
    r.client_id = client_id;
    r.kind = kind;
    r.task_id = task_id;
    r.ipv4 = ipv4;
    r.port = port;
    r.results[result] = 1;
    r.time = platform::unix_time();
    return r;
}
}   // namespace

void CLogConnection::AddEvent(std::uint32_t kind, std::uint64_t task_id, std::uint32_t ipv4, std::uint16_t port,
                              std::uint32_t result)
{
    m_impl->add(m_impl->events, make_record('e', GetProcessClientId(), kind, task_id, ipv4, port, result));
}

void CLogConnection::AddHttpSvrLog(std::uint32_t kind, std::uint64_t client_id, std::uint64_t task_id,
                                   std::uint32_t ipv4, std::uint16_t port, std::uint32_t result)
{
    m_impl->add(m_impl->http_servers, make_record('h', client_id, kind, task_id, ipv4, port, result));
}

void CLogConnection::AddPeerLog(std::uint32_t kind, std::uint64_t client_id, std::uint64_t task_id, std::uint32_t ipv4,
                                std::uint16_t port, std::uint32_t result)
{
    m_impl->add(m_impl->peers, make_record('p', client_id, kind, task_id, ipv4, port, result));
}

bool CLogConnection::Init(const char* host, int port, const char* switch_url)
{
    Impl& d = *m_impl;
    std::lock_guard<std::mutex> control(d.control);
    if (d.started.load())
        return true;
    const std::uint16_t given_port = static_cast<std::uint16_t>(port < 1 || port > 65535 ? 80 : port);
    // No host: the built-in log server, which the environment may move.
    ServerAddress address = (host && *host) ? ServerAddress{host, given_port}
                                            : ServerAddressFromEnv("VR_LOG_SERVER", given_port);
    const std::uint32_t ipv4 = ResolveServerHost(address.host);
    if (ipv4 == 0) {
        platform::debug_output("log connection: cannot resolve the log server " + address.host + "\n");
        return false;
    }
    {
        std::lock_guard<std::mutex> guard(d.address_lock);
        d.host = address.host;
        d.ipv4 = ipv4;
        d.port = address.port;
        d.switch_path = switch_path(switch_url);
    }
    // The schedule starts now, not whenever the thread first runs.
    const std::uint32_t start_tick = platform::tick_count();
    // Flags flipped under the thread's start lock, which a Stop raises its
    // flag under: a start meanwhile is refused, never half undone.
    const auto prepare = [&d] {
        d.stop.store(false);
        d.wake.reset();
        d.sending.store(true);
        d.started.store(true);
    };
    if (d.thread.start(
            prepare, [&d, start_tick] { d.run(start_tick); }, "logconn") == platform::ThreadSlot::Started::yes)
        return true;
    d.started.store(false);
    return false;
}

bool CLogConnection::IsStarted() const
{
    return m_impl->started.load();
}

void CLogConnection::Stop()
{
    Impl& d = *m_impl;
    const auto raise = [&d] {
        d.started.store(false);
        d.stop.store(true);
        d.wake.set();
    };
    // Every wait of the sender is sliced at 50 ms against the stop flag;
    // the join holds no lock.
    d.thread.stop(raise, stop_bound_ms, [] {});
}

void CLogConnection::SetMirrorToLocal(bool on)
{
    Impl& d = *m_impl;
    std::uint16_t port = 0;
    {
        std::lock_guard<std::mutex> guard(d.address_lock);
        d.mirror = on;
        if (!on)
            return;
        port = d.port;
    }
    // The name look-up blocks: not under the lock the sender takes for
    // each batch.
    const ServerAddress local = ServerAddressFromEnv("VR_LOG_LOCAL", port);
    const std::uint32_t ipv4 = ResolveServerHost(local.host);
    std::lock_guard<std::mutex> guard(d.address_lock);
    d.mirror_ipv4 = ipv4;
    d.mirror_port = ipv4 ? local.port : 0;
}

CLogConnection* CLogConnection::GetInstance()
{
    return g_instance.load(std::memory_order_acquire);
}

std::size_t CLogConnection::QueuedRecords() const
{
    std::lock_guard<std::mutex> guard(m_impl->lock);
    return m_impl->events.Size() + m_impl->http_servers.Size() + m_impl->peers.Size();
}

std::uint64_t CLogConnection::DroppedRecords() const
{
    std::lock_guard<std::mutex> guard(m_impl->lock);
    return m_impl->dropped;
}

std::uint64_t CLogConnection::SentRecords() const
{
    std::lock_guard<std::mutex> guard(m_impl->lock);
    return m_impl->sent;
}

std::size_t CLogConnection::QueueLimit() const
{
    std::lock_guard<std::mutex> guard(m_impl->lock);
    return m_impl->limit;
}

void CLogConnection::SetQueueLimit(std::size_t limit)
{
    std::lock_guard<std::mutex> guard(m_impl->lock);
    m_impl->limit = limit < 1 ? 1 : limit;
}

bool CLogConnection::SendingEnabled() const
{
    return m_impl->sending.load();
}

bool CreateProcessLogConnection(const char* host, int port, const char* switch_url)
{
    std::lock_guard<std::mutex> guard(g_instance_lock);
    CLogConnection* log = g_instance.load();
    if (!log) {
        log = new CLogConnection;
        g_instance.store(log, std::memory_order_release);
        set_http_event_sink(&http_event_to_log);
    }
    if (!log->IsStarted())
        log->Init(host, port, switch_url);
    return log->IsStarted();
}

void DestroyProcessLogConnection()
{
    CLogConnection* log = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_instance_lock);
        log = g_instance.exchange(nullptr);
        if (!log)
            return;
        set_http_event_sink(nullptr);
    }
    // Stopped with the lock let go: an HTTP event on another thread finds
    // no instance now, and need not wait while the sender is joined.
    log->Stop();
    delete log;
}
