// One of the ten ranged-HTTP connections a task's CDN thread drives. The
// thread gives an idle connection an HTTP peer and a run of blocks
// (connect_peer); the connection connects, sends one ranged GET and writes
// the blocks to storage. When the run is complete and the server keeps the
// connection (HTTP/1.1, the range exactly, no "Connection: close"), it
// stays connected and waits for the thread's next run (reuse), up to
// kMaxRequests requests; else, on any failure, after 20 seconds without
// data or when the task is complete it disconnects. Disconnected it is
// idle again and the thread dials with it anew.
//
// Threads: connect_peer and close run on the CDN thread, the handlers on
// the session's I/O thread; the exchange state is guarded by the
// connection's lock.
//
// Lifetime: the CDN thread holds one reference (the first), every pending
// operation another; the last release deletes the connection. The thread
// gives its reference up with release_owner() once it has closed the
// connection: from then on the connection touches neither the thread nor
// the task, so operations the stop left queued (completed as cancelled
// at session end) still find it alive and end it.
#pragma once

#include "discovery/peer_info.h"
#include "net/conn/base_connection.h"
#include "net/conn/http_range_request.h"
#include "platform/event.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class CCdnThread;

namespace zeq {

class cdn_thread_peer_connection : public base_connection {
public:
    // A connection closes after this long without connecting or receiving.
    static constexpr std::uint32_t kIdleTimeoutMs = http_range_request::kIdleTimeoutMs;
    // Bytes asked for by one receive while the response head is awaited
    // (the body's receives are sized by the exchange).
    static constexpr std::uint32_t kReceiveWindow = 65536;

    // Creates the socket on the owner's task's I/O service; idle.
    explicit cdn_thread_peer_connection(CCdnThread* owner);
    // Disconnects when not idle.
    ~cdn_thread_peer_connection() override;

    // base_connection hooks.
    void add_ref() override;
    void release() override;              // deletes at 0
    std::uint32_t ref_count() override;   // the owner's reference included
    std::uint32_t owner_references() override;
    void on_connect(const i_error_code& error) override;
    void abort_download() override;
    void release_piece() override;
    void on_receive(const i_error_code& error, std::uint32_t bytes) override;

    // Starts a connection to the peer's public address and port; the run
    // is asked of the task when the request is built. Only while no
    // operation is pending and the owner is not stopping: false otherwise.
    bool connect_peer(const PeerInfo& peer);
    // As above for `run`, blocks the thread took from the task before
    // dialling; moved out only when the connection starts.
    bool connect_peer(const PeerInfo& peer, BlockRequestQueue& run);

    // The next run on the connection kept open after the last one (see
    // is_kept): sends its request at once. False when the connection is
    // not kept any more (the run stays with the caller).
    bool reuse(BlockRequestQueue& run);
    // Connected, its last run complete, waiting for the next.
    bool is_kept() const { return m_kept.load(); }
    // Requests one connection carries at most; the last asks the server to close.
    static constexpr std::uint32_t kMaxRequests = http_range_request::kMaxRequests;
    // A kept connection not given a run this long is closed.
    static constexpr std::uint32_t kKeptIdleMs = 2000;

    // Disconnects (idle again); the error is not used.
    void close(const i_error_code& error = i_error_code());

    // Gives up a connect still under way more than kIdleTimeoutMs after
    // connect_peer (a server that never answers the SYN would otherwise
    // hold the connection for the system's connect time-out, minutes): an
    // HTTP-server event with result 4 and close. The CDN thread calls it
    // at every step. True when it closed the connection.
    bool expire_connect(std::uint32_t now);
    // True from connect_peer until the connect has completed.
    bool is_connecting() const { return m_connecting.load(); }
    // The tick after which expire_connect gives a connect up.
    std::uint32_t connect_deadline() const { return m_activity_tick.load() + kIdleTimeoutMs + 1; }

    // Builds and sends the request (closing on failure).
    void write_post();
    // Body bytes of the response; true.
    bool on_response(const std::uint8_t* data, std::uint32_t length);
    // Queues an HTTP-server connection event (kind 7, or 5 for selector 2).
    void log_server_event(std::uint8_t selector, std::uint32_t result);

    // Attempts in a row that ended without a block (connect failures,
    // refused answers, time-outs); 0 after an attempt that wrote one. The
    // CDN thread waits longer before redialling as it grows.
    std::uint32_t failures() const { return m_failures.load(); }
    // Runs completed since construction.
    std::uint32_t runs_completed() const { return m_runs.load(); }
    // Attempts (connect_peer calls) that have ended, complete or not.
    std::uint32_t attempts() const { return m_attempts.load(); }

    // The owner lets go, after close(): the connection no longer touches
    // it and its last pending operation (or this call) deletes it.
    void release_owner();

private:
    CCdnThread* owner() const { return m_owner.load(); }
    void log(const std::string& text);
    void finish_attempt(bool complete, bool delivered);
    // The run is complete and the connection stays for the next (under
    // the lock).
    void keep(CCdnThread& o);

    std::atomic<std::uint32_t> m_refs{1};   // the owner's, until release_owner
    std::atomic<CCdnThread*> m_owner;
    std::shared_ptr<platform::Event> m_wake;   // the owner's: set when the connection is free again
    PeerInfo m_peer{};
    std::atomic<std::uint32_t> m_activity_tick{0};
    std::atomic<bool> m_connecting{false};   // connect_peer done, its connect not yet completed
    bool m_first_request = true;
    bool m_attempt_open = false;   // a connect_peer not yet judged
    bool m_run_complete = false;
    bool m_slow = false;               // dropped for being far slower than the task's other sources
    bool m_spared = false;             // dropped for being slow, its source the task's only one
    std::atomic<bool> m_kept{false};   // connected and waiting for a run (see is_kept)
    std::atomic<std::uint32_t> m_kept_tick{0};
    std::uint32_t m_requests = 0;        // requests sent on this TCP connection
    bool m_on_kept_connection = false;   // the attempt's request went on a kept connection
    std::atomic<std::uint32_t> m_failures{0};
    std::atomic<std::uint32_t> m_runs{0};
    std::atomic<std::uint32_t> m_attempts{0};
    std::recursive_mutex m_lock;   // guards the exchange and the attempt state
    http_range_request m_exchange;
};

}   // namespace zeq
