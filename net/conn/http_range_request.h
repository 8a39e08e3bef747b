// The ranged HTTP exchange shared by the two connection classes that fetch
// task data from HTTP servers and CDNs (zeq::http_cdn_connection and
// zeq::cdn_thread_peer_connection). One exchange carries one HTTP/1.1 GET
// for one run of consecutive blocks: it takes the run from the task, finds
// the URL of the file that holds the run's first block, asks for the bytes
// of the run (a closed range), checks the response header, cuts the body
// into the run's blocks in order and writes each one to storage as soon as
// its bytes are in. Once the run is complete the owning connection builds
// the next exchange on the same TCP connection when the answer allows it
// (reusable()), else it closes.
//
// The exchange is not thread-safe: its connection calls it on the I/O
// thread (and, for a CDN-thread connection, on the CDN thread while no
// operation is pending), under the connection's own lock.
#pragma once

#include "discovery/peer_info.h"
#include "net/conn/block_loan.h"
#include "net/conn/file_url_table.h"
#include "net/conn/partial_blocks.h"
#include "picker/block_request.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CBlockRequestMap;
class CDownload_Task;
class i_io_service;

class i_stream_socket;

namespace zeq {

// What a ranged-HTTP connection and the CDN thread need of their task. The
// engine adapts CDownload_Task to it (make_range_task); tests supply their
// own. Every operation may be called from the I/O thread and the CDN
// thread at once.
class i_range_task {
public:
    virtual ~i_range_task() = default;

    virtual std::uint64_t task_id() = 0;
    // The I/O service every connection of the task is built on.
    virtual i_io_service* io_service() = 0;
    // The seed's piece size (range starts are computed from it).
    virtual std::uint32_t piece_size() = 0;
    // The piece picker; null until storage reported the channel.
    virtual CBlockRequestMap* piece_picker() = 0;
    // Moves up to `count` blocks of the task's shared run of consecutive
    // blocks into `out`; `count` becomes the number moved.
    virtual void request_continuous_blocks(BlockRequestQueue& out, std::uint32_t& count) = 0;
    // The HTTP peer information of `id`; false when the task has none.
    virtual bool get_http_peer_info(std::uint64_t id, HttpPeerInfo& out) = 0;
    // The URL path the task's sources name on `host` for `file` (its path
    // inside the task), as file_url_table::find gives it.
    virtual file_url_table::match find_file_url(const std::string& host, const std::string& file,
                                                const std::string& source_directory, std::string& url_path) = 0;
    // Path inside the task ('/'-separated) of the file holding `piece` and
    // the piece's index in that file.
    virtual bool get_file_name_for_block(std::int32_t piece, std::string& name, std::int32_t& piece_in_file) = 0;
    // Stores a received block (block.data holds block.length bytes); false
    // when storage dropped it.
    virtual bool write_block(const BlockRequest& block) = 0;
    // Lends the storage bytes of up to `blocks` consecutive blocks of
    // `piece` from `offset` on, for the body to be received into (see
    // i_block_loan); null when the first of them cannot be lent (it is
    // received, cached, being received elsewhere, or storage lends
    // nothing): the body is then received and copied as usual.
    virtual std::shared_ptr<i_block_loan> lend_blocks(std::int32_t piece, std::int32_t offset, std::uint32_t blocks)
    {
        (void)piece;
        (void)offset;
        (void)blocks;
        return nullptr;
    }
    // Counts one received block of `bytes` for the peer type and the HTTP
    // byte counters.
    virtual void count_block(std::uint8_t peer_type, std::uint32_t bytes) = 0;
    // The task's block-release request count: raise, read, lower (not below 0).
    virtual void add_release_request() = 0;
    virtual std::uint32_t release_request_count() = 0;
    virtual void take_release_request() = 0;
    // Blocks went back to the piece picker: whoever waits for work (the CDN
    // thread) looks again now.
    virtual void work_returned() = 0;
    // The task's text output (ICmdEvent::OnTextOutput); text_enabled() is
    // false when nothing would receive it, so callers skip building texts.
    virtual bool text_enabled() = 0;
    virtual void text_output(const std::string& text) = 0;

    // HTTP CDN connections only.
    // The task was told to stop and its CDN thread has ended.
    virtual bool is_stop_finished() = 0;
    // The task's piece bitmap from storage (empty when unknown).
    virtual void get_bitmap(std::vector<std::uint8_t>& bitmap) = 0;
    // Removes the connection of `socket` from the task's connection set.
    virtual void remove_connection(int socket) = 0;
    // A server closed a kept connection before answering the request sent
    // on it: the task dials its HTTP peers now rather than at its next
    // round.
    virtual void redial() = 0;
    // Live HTTP connections per HTTP peer.
    virtual void inc_http_connection_count(const PeerInfo& peer) = 0;
    virtual void dec_http_connection_count(const PeerInfo& peer) = 0;
    // How a source (an HTTP peer, by client id) served an attempt: one
    // that answered (its head came, or blocks) is proven; one that failed
    // without delivering a block is not dialled again until a back-off
    // (growing with each failure) has passed.
    virtual void report_source(const PeerInfo& peer, bool delivered) = 0;
    // Notes the speed (bytes per second) a ranged-HTTP exchange measured
    // and returns the fastest one noted in the last few seconds.
    virtual std::uint32_t note_source_rate(std::uint32_t rate) = 0;
    // What the server answered a request for `file` at `url_path` on the
    // peer's host: `failure` empty for a head that was taken, else why it was
    // refused with what the server said. The task reports a failing file
    // once per change.
    virtual void report_answer(const PeerInfo& peer, const std::string& file, const std::string& url_path,
                               const std::string& failure)
    {
        (void)peer;
        (void)file;
        (void)url_path;
        (void)failure;
    }
    // The task has an HTTP source other than `peer` to fetch from: only
    // then does a slow connection count against its source.
    virtual bool has_other_source(const PeerInfo& peer) = 0;
    // Where the task keeps the received part of blocks whose answer ended
    // early (null: nothing is kept).
    virtual partial_blocks* partial_store() = 0;
    // The speed a connection measured (bytes per second).
    virtual void set_http_connection_speed(int socket, float speed) = 0;
    // A closed connection's speed entry goes, without judging the speed.
    virtual void remove_http_connection_speed(int socket) = 0;

    // The CDN thread only.
    // The task has HTTP peers to pick from.
    virtual bool has_http_peers() = 0;
    // An HTTP peer of the task to dial now; false when it has none.
    virtual bool pick_http_peer(PeerInfo& out) = 0;
    // Every piece of the task is present.
    virtual bool is_complete() = 0;
};

// The adapter over a running task (defined with the task's CDN side).
std::unique_ptr<i_range_task> make_range_task(CDownload_Task* task);

// A new socket on the task's I/O service for a ranged-HTTP connection, its
// bodies received on the service's transfer thread; null without a task or
// service.
i_stream_socket* new_range_socket(i_range_task* task);

// Which connection class runs the exchange: they differ in texts, header
// reading and bookkeeping.
enum class range_client : std::uint8_t { http_cdn, cdn_thread };

class http_range_request {
public:
    // Blocks asked for in one run (96 x 32768 bytes = 3 MiB).
    static constexpr std::uint32_t kRunBlocks = 96;
    // Requests one TCP connection carries at most, as many as nginx allows
    // by default: a patch of thousands of small files is a request a file.
    static constexpr std::uint32_t kMaxRequests = 1000;
    // A pending queue of at least this many blocks hands half back when
    // the task asks for blocks.
    static constexpr std::size_t kHandBackMinimum = 16;
    // A server that has not sent the response head this long after the
    // request, or nothing at all this long after the head, is given up.
    static constexpr std::uint32_t kHeadTimeoutMs = 4000;
    static constexpr std::uint32_t kIdleTimeoutMs = 20000;
    // The response header must arrive whole within this many bytes.
    static constexpr std::size_t kMaxHeaderBytes = 16384;
    // Longest header name and value taken.
    static constexpr std::size_t kMaxHeaderField = 4095;
    // Bytes of a 200 response (a server that ignored the range) that may be
    // read past to reach the range start; a later start closes instead.
    static constexpr std::uint64_t kMaxSkipBytes = 16u << 20;
    // The client name at the end of the User-Agent.
    static const char* const kClientName;

    // Results of build().
    enum build_result : int {
        build_ok = 0,
        build_no_run = 1,        // the task had no block to give
        build_no_path = 2,       // no HTTP information or no path for the file
        build_stopped = 4,       // the task is stopping (HTTP CDN connection)
        build_empty_path = -1,   // nothing to request; the connection stays as it is
    };

    // What a receive did.
    enum class receive_state : std::uint8_t {
        more,          // read on
        header_done,   // the header was accepted by this receive (read on)
        complete,      // every block of the run is in: close
        refused,       // header refused: close (failure() tells why)
    };

    // `owner_id` names the connection object in the trace lines.
    http_range_request(range_client client, i_range_task* task, const void* owner_id);
    http_range_request(const http_range_request&) = delete;
    http_range_request& operator=(const http_range_request&) = delete;

    // Uses `run` (taken from the task before connecting) for the next
    // request instead of asking the task then.
    void set_run(BlockRequestQueue run);
    // True while a run waits in the requested queue.
    bool has_run() const { return !m_requested.empty(); }

    // Builds the request for `peer`: takes the run (when none was set),
    // keeps the part of it that lies in the file of its first block (the
    // rest goes back to the picker), finds the URL path, computes the range
    // start and moves the run to the pending queue. `request` receives the
    // whole request text.
    // `keep_alive`: the connection may carry another request after this one.
    int build(const PeerInfo& peer, std::string& request, bool keep_alive = false);

    // Feeds received bytes: header bytes are gathered until the empty line
    // (a header split over receives is read on), then body bytes are cut
    // into blocks. Never a byte of header reaches storage.
    receive_state receive(const std::uint8_t* data, std::size_t size, const PeerInfo& peer);

    // Once a second, while the task asks for blocks back (idle connections
    // raised its block-release request count): with 16 or more pending,
    // gives back the second half from the first block of a piece on; else,
    // when the body comes so slowly that the pending blocks would take more
    // than kSlowTailMs, gives back all but the first half (at least the
    // front block stays): a source slow per connection is then fetched
    // from by as many connections as it has blocks for. Only blocks
    // another source may take (CBlockRequestMap::OthersCanServe) go. The
    // answer then runs past the run: the connection is not reused. The
    // number of blocks given back.
    std::size_t hand_back();

    // Gives every queued block back to the piece picker and empties the
    // queues, the body and the header.
    void abort();

    // What the once-a-second look at an exchange (judge) found.
    enum class verdict : std::uint8_t {
        fine,        // carry on
        timed_out,   // no head within kHeadTimeoutMs, or silent for kIdleTimeoutMs: close, the source failed
        // Another exchange of the task measured kSlowFactor times this
        // one's speed, and at least a block in kBlockDeadlineMs, and may
        // take the blocks, while this one brings less
        // than a block's worth in kBlockDeadlineMs or, with idle
        // connections waiting, would take more than kSlowTailMs for what
        // is pending: give the blocks back and close. `slow`: the source
        // is the task's only one and does not count as failing (it is
        // never barred for slowness alone); `slow_source`: the task has
        // another source, and this one counts as failing.
        slow,
        slow_source,
    };
    // The one judgement of both connection families, once a second;
    // `idle_ms` is the time since the connection last received.
    verdict judge(std::uint32_t now, std::uint32_t idle_ms, const PeerInfo& peer);
    static constexpr std::uint32_t kSlowTailMs = 2000;
    static constexpr std::uint32_t kSlowMeasureMs = 1000;
    static constexpr std::uint32_t kSlowFactor = 4;
    static constexpr std::uint32_t kBlockDeadlineMs = 5000;

    bool header_pending() const { return m_header_pending; }
    // Bytes the next receive asks for: `head_window` while the head is
    // awaited, then what is left of the run (skipped bytes included), at
    // most kBodyWindow: a large read moves more bytes per call and is
    // acknowledged less often, and none reaches past the run.
    std::uint32_t receive_window(std::uint32_t head_window) const;
    static constexpr std::uint32_t kBodyWindow = 256 * 1024;

    // Where the next receive of the body may go instead: the storage bytes
    // of the run's front blocks, when the task lends them (a part of the
    // front block already received is moved there first). `owner` keeps
    // them lent. False: receive into the connection's buffer.
    bool receive_target(std::uint8_t*& data, std::uint32_t& filled, std::uint32_t& wanted,
                        std::shared_ptr<void>& owner);
    // True while a loan is out: the last receive went to receive_target.
    bool lending() const { return m_loan != nullptr; }
    // `bytes` arrived at the receive target: the blocks now complete are
    // stored, as receive() would store them.
    receive_state receive_lent(std::uint32_t bytes, const PeerInfo& peer);
    // True when `idle_ms` without data ends the exchange (shorter while
    // the head is awaited).
    bool timed_out(std::uint32_t idle_ms) const
    {
        return idle_ms > (m_header_pending ? kHeadTimeoutMs : kIdleTimeoutMs);
    }
    std::size_t pending_count() const { return m_pending.size(); }
    const BlockRequestQueue& pending() const { return m_pending; }
    // The message of the last refused header.
    const std::string& failure() const { return m_failure; }
    // The status line of the last head (at most 128 characters): what the
    // server answered, for reports of a refused head.
    const std::string& answer() const { return m_answer; }
    const std::map<std::string, std::string>& headers() const { return m_headers; }
    std::uint32_t content_length() const { return m_content_length; }
    std::uint64_t range_start() const { return m_range_start; }
    // The last byte of the range asked for.
    std::uint64_t range_last() const { return m_range_last; }
    const std::string& range_text() const { return m_range_text; }
    const std::string& file_name() const { return m_file_name; }
    const std::string& url_path() const { return m_url_path; }
    std::int32_t piece_in_file() const { return m_piece_in_file; }
    // Blocks written by this exchange since it was built.
    std::uint32_t blocks_written() const { return m_blocks_written; }
    // The exchange brought part of its run: a block written, or the first
    // bytes of one kept for the next request (abort).
    bool delivered() const { return m_blocks_written > 0 || m_kept_bytes > 0; }
    // Bytes of the front block taken from an earlier answer: the range
    // starts after them.
    std::size_t resumed_bytes() const { return m_resumed; }

    // The run is in and the connection may carry the next request: it was
    // asked for, the server answered HTTP/1.1 206 with exactly the range
    // asked for (Content-Range and Content-Length) and did not say
    // "Connection: close", and nothing came past the run.
    bool reusable() const { return m_reusable; }

    // Debug builds: the body holds less than the front block, no body
    // before the header, pending blocks in request order.
    void check_invariant() const;

    // The request text for a URL path, the first and last byte of the range
    // and host (exposed for tests: byte for byte what goes on the wire).
    // `keep_alive` asks the server to keep the connection open for the
    // next request ("Connection: keep-alive"), else "Connection: close".
    static std::string request_text(const std::string& url_path, std::uint64_t range_start, std::uint64_t range_last,
                                    const std::string& host, bool keep_alive = false);

    // The URL path of `file` (its path inside the task) on the server of
    // `own`: the one a source names for it, else the task's folder on that
    // server (own's directory, above the file's first folder when own's
    // path holds it) joined with the file's path. False when several URLs
    // name it and none is nearer the task's folder.
    static bool url_for_file(i_range_task& task, const HttpPeerInfo& own, const std::string& file,
                             std::string& url_path);

private:
    void trim_run_to_file(const std::string& name, std::int32_t piece_in_file);
    receive_state take_header(const std::uint8_t* data, std::size_t size, std::size_t& used);
    bool check_status_line(const std::string& line);
    bool read_header_lines(const std::string& text, std::size_t start);
    bool check_range(const std::string& status);
    receive_state refuse(const std::string& message);
    bool deliver(const std::uint8_t* data, std::size_t size, const PeerInfo& peer);
    // Stores `block` from `bytes`, or commits it to `loan` when bytes is
    // null. False when the exchange was aborted meanwhile.
    bool store_block(const BlockRequest& block, const std::uint8_t* bytes, i_block_loan* loan, const PeerInfo& peer);
    // The run's last block is in: its speed is noted. True.
    bool run_done();
    // Less than a block's worth came within kBlockDeadlineMs (since the
    // head or the last such step), however many single bytes trickled in.
    bool crawling(std::uint32_t now);
    // At the speed measured since the request went out, what is pending
    // would take longer than `limit_ms`.
    bool tail_longer_than(std::uint32_t now, std::uint32_t limit_ms) const;
    // Keeps the received part of the front block for the next request.
    void keep_partial();
    // A loan of the front blocks that follow each other in one piece.
    bool borrow_front_blocks();
    void give_back(BlockRequestQueue& queue);
    void log_run(const char* what, const BlockRequestQueue& run, std::uint32_t count);
    bool is_cdn_thread() const { return m_client == range_client::cdn_thread; }
    // The client log's switch, looked at once per receive (the look is a
    // file-system call) and only when a line is due.
    bool client_log_now();

    range_client m_client;
    i_range_task* m_task;
    const void* m_owner_id;
    BlockRequestQueue m_requested;   // the run just obtained
    BlockRequestQueue m_pending;     // sent and not yet received, in order
    std::map<std::string, std::string> m_headers;
    std::string m_header_bytes;             // header received so far (bounded)
    std::vector<std::uint8_t> m_body;       // bytes of the front block not yet complete
    std::vector<std::uint8_t> m_resume;     // the front block's bytes from an earlier answer, until the head
    std::size_t m_resumed = 0;              // their count (the range starts after them)
    std::size_t m_kept_bytes = 0;           // bytes of the front block kept at abort
    bool m_cut = false;                     // blocks were handed back: the answer runs past the run
    std::shared_ptr<i_block_loan> m_loan;   // the front blocks' storage bytes, received into
    std::uint32_t m_loan_filled = 0;        // bytes of the loan received
    std::uint32_t m_loan_stored = 0;        // bytes of the loan's blocks committed
    bool m_header_pending = false;
    std::uint32_t m_content_length = 0;
    std::uint64_t m_skip = 0;   // body bytes before the range start (a 200 answer)
    std::uint64_t m_range_start = 0;
    std::uint64_t m_range_last = 0;
    std::string m_range_text;
    std::string m_file_name;
    std::string m_url_path;
    std::int32_t m_piece_in_file = 0;
    std::uint32_t m_blocks_written = 0;
    std::uint32_t m_sent_tick = 0;    // when the request was built
    std::uint64_t m_body_bytes = 0;   // body bytes received since
    std::uint64_t m_step_bytes = 0;   // body bytes at the last block's worth (crawling)
    std::uint32_t m_step_tick = 0;    // and when it was seen
    std::uint32_t m_generation = 0;   // changes with every build and abort
    std::int8_t m_log_now = -1;       // client log switch in this receive (-1: not looked at)
    bool m_keep_alive = false;        // the request asked to keep the connection
    bool m_reusable = false;          // see reusable()
    std::string m_failure;
    std::string m_answer;
};

}   // namespace zeq
