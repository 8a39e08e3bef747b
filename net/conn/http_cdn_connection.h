// The transfer connection a task opens to an HTTP CDN peer (a type-4
// record of its HTTP peer list). It lives in the task's connection set
// beside the peer connections, runs on the session's I/O thread and
// fetches runs of blocks with ranged GETs: once the TCP connection is up
// it sends a request, checks the response header, writes the blocks to
// storage and reports its speed to the task. When a run is complete and
// the server keeps the connection (HTTP/1.1, the range exactly, no
// "Connection: close"), the next run's request goes out on the same
// connection, up to kMaxRequests requests; it closes when the server does
// not keep it, when the task has no run left for it, after 20 seconds
// without data or when the whole download is complete. A request the
// server never answered because it closed a kept connection is no fault
// of the source: the task dials it again at once.
//
// Lifetime: created with one reference (its creator's, handed to the
// connection set); every pending operation holds another; the last
// release deletes it. The task's HTTP connection count for the peer is
// raised by the constructor and lowered once, by the destructor, so a
// connection the set refuses is counted out as well.
#pragma once

#include "discovery/peer_info.h"
#include "net/conn/http_range_request.h"
#include "net/conn/x_connection.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>

class CDownload_Task;

namespace zeq {

class http_cdn_connection : public x_connection {
public:
    // Longest wait for a handed-over socket whose connect is still under
    // way before the request goes out.
    static constexpr std::uint32_t kConnectWaitMs = 10000;
    // A connection closes after this long without receiving anything.
    static constexpr std::uint32_t kIdleTimeoutMs = http_range_request::kIdleTimeoutMs;
    // Bytes asked for by one receive while the response head is awaited
    // (the body's receives are sized by the exchange).
    static constexpr std::uint32_t kReceiveWindow = 65536;
    // Requests one TCP connection carries at most; the last asks the
    // server to close.
    static constexpr std::uint32_t kMaxRequests = http_range_request::kMaxRequests;

    // For a task of the engine (defined with the task's CDN side). `flag`
    // is the passive flag every caller passes as 0.
    http_cdn_connection(CDownload_Task* task, const PeerInfo& peer, std::uint8_t flag);
    // For any task behind the interface; `owned` (may be null) is kept
    // alive as long as the connection and deleted with it.
    http_cdn_connection(i_range_task* task, const PeerInfo& peer, std::uint8_t flag,
                        std::unique_ptr<i_range_task> owned = nullptr);
    ~http_cdn_connection() override;

    // x_connection hooks.
    bool assign_task(std::uint32_t kind) override;   // false: takes no work from the set
    void add_ref() override;
    void release() override;   // deletes at 0
    void on_connect() override;
    void on_close() override;   // abort_download
    void on_timer() override;   // release_piece
    void on_receive(const i_error_code& error, std::uint32_t bytes) override;
    void send_have(std::uint32_t piece) override;   // nothing

    // Builds and sends the next request (closing on failure or when the
    // task has no run left for it).
    virtual void write_post();

    // Leaves the task's connection set and closes; a second call does nothing.
    void close();
    // Marks the connection closing and gives its blocks back.
    void abort_download();
    // Once a second: block hand-back, 20 s time-out, completion check.
    void release_piece();
    // Body bytes of the response; true.
    bool on_response(const std::uint8_t* data, std::uint32_t length);
    // Queues an HTTP-server connection event (kind 7, or 5 for selector 2)
    // with `result` for this connection's task and peer.
    void log_server_event(std::uint8_t selector, std::uint32_t result);

    std::uint32_t ref_count() const { return m_refs.load(); }
    // Requests sent on this TCP connection.
    std::uint32_t requests() const { return m_requests.load(); }
    // The exchange (tests read its state on the I/O thread).
    const http_range_request& exchange() const { return m_exchange; }
    i_range_task* task() const { return m_task; }

private:
    static void connect_check(void* self, const i_error_code& error);
    void wait_for_connect();
    void send_request();
    // The run is in: the next request on this connection, or close.
    void run_complete();
    bool may_reuse();

    std::unique_ptr<i_range_task> m_owned_task;
    i_range_task* m_task;
    std::atomic<std::uint32_t> m_activity_tick;
    std::atomic<std::uint32_t> m_refs{1};
    bool m_first_request = true;
    std::atomic<bool> m_close_done{false};
    std::atomic<bool> m_slow{false};     // dropped for being far slower than the task's other sources
    std::atomic<bool> m_spared{false};   // dropped for being slow, its source the task's only one
    std::atomic<bool> m_done{false};     // closed for the task's sake (complete, stopping), not the server's
    std::atomic<bool> m_stale{false};    // the server closed the kept connection before answering
    std::atomic<bool> m_counted{true};   // still in the task's HTTP connection count
    std::atomic<std::uint32_t> m_requests{0};
    bool m_answered = false;       // bytes came since the last request (I/O thread)
    std::recursive_mutex m_lock;   // guards the exchange (I/O thread and task threads)
    http_range_request m_exchange;
    std::unique_ptr<i_deadline_timer> m_connect_timer;   // polls a connect still under way
    std::uint32_t m_connect_started = 0;
    std::vector<std::uint8_t> m_bitmap;   // scratch for the remote piece map
};

}   // namespace zeq

// Starts the TCP connect that gives a task a socket for an HTTP or HTTP
// CDN peer and returns without waiting for it to complete: the socket, or
// -1. A type-3 record is resolved by its host name first (its public
// address is set to the first address found). A failed connect queues a
// log record with result 1 (peer event kind 5 for type 2, HTTP-server
// event kind 7 for types 3 and 4).
int ConnectHttpPeer(PeerInfo& peer, std::uint16_t port);
