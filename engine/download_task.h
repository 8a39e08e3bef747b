// CDownload_Task: one running download inside the session. It owns what is
// per download: the CIS connection and the peer lists the CIS returns, the
// HTTP peer list, the connection set, the piece picker, the CDN thread, its
// own timer thread and its counters. It is driven by the download
// manager's one-second tick (Run), by timer 1 of its timer thread (every
// 1000 ms: CDN query and HTTP peers) and timer 2 (every 10000 ms: LAN
// query); the transfer connections and the CDN thread call back into it.
//
// Threads that enter a task: the session's I/O thread (tick, connection
// callbacks, storage events, CIS replies and CDN-query results, MarkStopping,
// deletion), the thread that adds the task (construction, Start), the
// task's timer thread, the CIS logon thread and the task's CDN thread. The
// CIS logon thread and timer 1 only do the blocking part of their work (the
// query, name look-ups, dialling) and post what they found to the I/O
// thread, which owns the task's peer state; members only it touches are
// plain. State other threads share is atomic or under a lock of its own,
// and no task lock is held while another is taken or while a manager, the
// NAT manager or a connection is called.
//
// Nothing that can block for long runs on the I/O thread, nor waits there
// for another thread: the CDN query runs only on timer 1 (with a growing
// pause after each query that gave no peer) and the task's stop cancels
// it. A stop (MarkStopping) only tells the task's threads to end;
// ReapThreads, on the session's worker, waits for them, and the task is
// deleted once that is done and its last connection has gone. The joins
// left for the destructor are of threads already reaped.
#pragma once

#include "discovery/cis_connection.h"
#include "discovery/peer_info.h"
#include "picker/block_request.h"
#include "engine/download_task_owner.h"
#include "engine/http_peer_list.h"
#include "engine/peer_conduct.h"
#include "engine/task_connections.h"
#include "foundation/timer_thread.h"
#include "net/conn/file_url_table.h"
#include "net/conn/partial_blocks.h"
#include "platform/critical_section.h"
#include "platform/event.h"
#include "platform/thread.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

class CBlockRequestMap;
class CCdnThread;
class ICmdEvent;
class i_io_service;
class x_connection;
struct i_error_code;

// Counts of one peer type (0, 1 and 2 are kept; other types are dropped).
struct PeerTypeCounts {
    std::uint8_t peer_type = 0;
    std::uint32_t blocks_downloaded = 0;
    std::uint32_t blocks_uploaded = 0;
    std::uint32_t connections_added = 0;
};

class CDownload_Task : public CCisConnectionEx_Event, public ITimerEvent, public ITaskConnectionsOwner {
public:
    // Timer ids of the task's timer thread.
    static constexpr std::uint32_t kTimerHttp = 1;   // CDN query and HTTP peers
    static constexpr std::uint32_t kTimerHttpMs = 1000;
    static constexpr std::uint32_t kTimerLan = 2;   // LAN query
    static constexpr std::uint32_t kTimerLanMs = 10000;
    // Connections a task keeps, and the connected-peer record limit.
    static constexpr std::uint32_t kMaxConnections = 30;
    static constexpr std::size_t kMaxConnectedPeers = 1001;
    // Most HTTP/CDN connections to one HTTP peer.
    static constexpr std::uint32_t kPerPeerHttpConnectionLimit = 10;
    // Longest pause between two CDN queries that gave no HTTP peer.
    static constexpr std::uint32_t kCdnQueryMaxPauseMs = 30000;
    // Most vpeers and HTTP peer information records a task keeps (the CIS
    // replies and CDN queries of a long download add up).
    static constexpr std::size_t kMaxVpeers = 1000;
    static constexpr std::size_t kMaxHttpPeerInfos = 4096;
    // Time between two bitmap saves while downloading.
    static constexpr std::uint32_t kBitmapSaveMs = 10000;
    // Pauses after a failed write before blocks are asked for again, and
    // the shortest time between two reports of failing writes.
    static constexpr std::uint32_t kWriteRetryFirstMs = 5000;
    static constexpr std::uint32_t kWriteRetryMaxMs = 120000;
    static constexpr std::uint32_t kWriteReportGapMs = 600000;
    // Default of the "limit_use_p2p_size" setting.
    static constexpr std::uint64_t kDefaultP2pSizeLimit = 10485760;

    // Builds the task (sets its live-connection pair to running, joins LAN
    // discovery, records state 2 in the task-state registry). No thread of
    // its own runs yet: the timers start with a download, the CDN thread
    // once HTTP peers are known. `owner` must outlive the task.
    CDownload_Task(i_io_service* io, std::uint64_t task_id, std::uint32_t piece_size, const std::string& root_folder,
                   IDownloadTaskOwner* owner);
    // Stops the CDN thread, the timer thread, the CIS logon and every
    // connection; reports a task deleted before completion (code 10).
    ~CDownload_Task() override;
    CDownload_Task(const CDownload_Task&) = delete;
    CDownload_Task& operator=(const CDownload_Task&) = delete;

    // ---- Driven by the download manager ----

    // Registers the channel (save-path form), the host cache, starts the
    // timers and raises OnTaskRun (task id, 0). The channel manager's result.
    bool Start(std::uint32_t file_count, const std::string& file_list, const std::string& save_path);
    // As above, files under the data folder and the root folder.
    bool Start(std::uint32_t file_count, const std::string& file_list);
    // As above for a task resumed from its ".bbm" tables; the timers start
    // only when a piece is missing from them.
    bool Start(std::uint32_t file_count, const std::string& file_list, const std::vector<std::uint8_t>& bitmap,
               const std::vector<std::vector<std::uint8_t>>& blocks, const std::string& save_path,
               std::uint8_t history_flag);
    // Has the channel manager prepare the channel's files; its result.
    bool PrepareFiles();
    // Storage reports the channel's store: creates the piece picker over
    // the store's tables (which outlive the task) the first time only, and
    // starts the timers when a piece is missing.
    void OnStorageReady(const std::vector<std::uint8_t>& bitmap, const std::vector<std::vector<std::uint8_t>>& blocks,
                        const std::vector<std::uint32_t>& piece_lengths);
    // Passes a piece check result to the connection set: a passed piece is
    // announced; a failed one is blamed on the peers that supplied its
    // blocks, whose connections alone are dropped.
    void OnPieceChecked(std::uint32_t piece, std::uint8_t result);
    // Peer conduct (see CPeerConduct), from the peer connections: a block
    // of `piece` arriving from `peer`; requests of `peer` that passed
    // their deadline; true while `peer` is barred (neither dialled nor
    // asked for blocks).
    void NoteBlockSupplier(std::int32_t piece, const PeerInfo& peer);
    void NotePeerLate(const PeerInfo& peer);
    bool IsPeerBarred(const PeerInfo& peer) const;
    const CPeerConduct& GetPeerConduct() const { return m_conduct; }
    // Stored-block counter + 1; a spell of failing writes is over.
    void IncStorageCounter();
    // The two halves of it: the count, true when it ends a spell of failing
    // writes, and the report of that (a launcher event, raised with no
    // manager lock held).
    bool CountStoredBlock();
    void ReportStorageWorks();
    // Storage could not write the task's data (a full disk, say): no new
    // block is asked for until a retry after a back-off that grows while
    // writes keep failing. Reported once per spell through the error event.
    void OnStorageError(const std::string& text);
    // The one-second tick: completion check, progress, peer scheduling,
    // bitmap saves, the final report, the seeding pass.
    void Run();
    // Adopts a connected socket for `peer` (ignored when invalid; closed
    // when the task does not run, is not ready or makes no connection).
    // I/O thread: the connection set and the connected-peer records are
    // its alone.
    void AddPeerSocket(int socket, const PeerInfo* peer, std::uint8_t passive);
    // From any thread (NAT traversal, timer 1): has the I/O thread adopt
    // the socket; closed when the task is gone by then.
    void AdoptSocket(int socket, const PeerInfo& peer, std::uint8_t passive);
    // Stops the timer thread, for good; on the I/O thread it only asks it
    // to stop and returns at once.
    void StopTimers();
    // Closes every connection; the set refuses new ones from then on.
    void CloseAllConnections();
    // Closes every connection; the set stays open.
    void CloseAllConnectionsNoFlag();
    // The task's stop (the I/O thread, or the session's end): sets the
    // stopping flag, tells the CDN thread and the timer thread to end and
    // closes every connection. Returns at once; repeats do nothing.
    void MarkStopping();
    // After MarkStopping, never on the I/O thread: waits for the CDN
    // thread, the timer thread (a call under way, a CDN query included)
    // and the CIS logon to end.
    void ReapThreads();
    // True once stopping, reaped and no connection of the task is left:
    // the task may be deleted.
    bool IsStopFinished();
    std::uint64_t GetTaskId() const override { return m_task_id; }

    // ---- Called by the transfer connections and the CDN thread ----

    i_io_service* GetIoService() { return m_io; }
    // The piece picker; null until storage reported the channel.
    CBlockRequestMap* GetPiecePicker() override { return m_picker.load(); }
    // The owner's event sink (null before the session gave one).
    ICmdEvent* GetCmdEvent() override;
    // This client's own record held by the owner.
    PeerInfo GetSelfPeerInfo();
    // The seed's piece size; the HTTP range starts are computed from it.
    std::uint32_t GetPieceSize() const { return m_piece_size; }
    // Path inside the task of the file holding `piece` and the piece's
    // index inside that file; false when the channel does not know the piece.
    bool GetFileNameForBlock(std::int32_t piece, std::string& name, std::int32_t& piece_in_file);
    // Removes the connection of `socket` from the connection set.
    void RemoveConnection(int socket);
    // The connection set accepted a connection to `peer`: keep the peer in
    // the connected-peer map (up to 1001) and count it for its type. I/O
    // thread (from AddPeerSocket).
    void RecordConnectedPeer(const PeerInfo& peer) override;
    // Stamps the first-data tick, then counts a block for types 0, 1, 2.
    void AddDownloadedBlockByPeerType(std::uint8_t peer_type);
    void AddUploadedBlockByPeerType(std::uint8_t peer_type);
    // Byte counters of the final report, also given to the download-data log.
    void AddPeerDownloadBytes(std::uint32_t bytes);
    void AddPeerType2DownloadBytes(std::uint32_t bytes);
    void AddHttpDownloadBytes(std::uint32_t bytes);
    // Bytes received per second from every source over about the last two
    // seconds (0 once nothing came for that long). Once a second, on the
    // I/O thread (the download manager's tick).
    float SampleDownloadSpeed(std::uint32_t now);
    // The 64-bit HTTP byte total the connection set reads and resets.
    void AddHttpDownloadTotal(std::uint32_t bytes);
    std::uint64_t GetHttpDownloadTotal() const { return m_http_total.load(); }
    void ResetHttpDownloadTotal() { m_http_total.store(0); }
    // Copies the HTTP peer information of `id`; false when unknown.
    bool GetHttpPeerInfo(std::uint64_t id, HttpPeerInfo& out);
    // Clears `out` and copies every HTTP peer information record.
    void GetHttpPeerInfoList(std::vector<HttpPeerInfo>& out);
    // Inserts records of unknown ids (announced through OnTextOutput) up to
    // kMaxHttpPeerInfos; known ids keep their record. Every URL is also
    // kept for the file it names (FindFileUrl).
    void AddHttpPeerInfos(const std::vector<HttpPeerInfo>& infos);
    // The URL path a source named on `host` for `file` (its path inside the
    // task); see zeq::file_url_table::find.
    zeq::file_url_table::match FindFileUrl(const std::string& host, const std::string& file,
                                           const std::string& source_directory, std::string& url_path) const;
    // Moves up to `count` blocks of the task's one shared run of
    // consecutive blocks into `out` (refilled from the picker when empty);
    // `count` becomes the number moved (unchanged when none).
    void RequestContinuousBlocks(BlockRequestQueue& out, std::uint32_t& count);
    // Live HTTP/CDN connections per HTTP peer (by client id).
    void IncHttpConnectionCount(const PeerInfo* peer);
    void DecHttpConnectionCount(const PeerInfo* peer);
    // Stores the speed a connection reports; 0.001 or less erases it and
    // lowers the process-wide HTTP connection limit (never below 1). True.
    bool SetHttpConnectionSpeed(int socket, float speed);
    // Erases the speed entry of a closed connection (the limit stays).
    void RemoveHttpConnectionSpeed(int socket);
    // A random record of the HTTP peer list; false when it is empty.
    // Defined beside the CDN thread.
    bool PickHttpPeer(PeerInfo& out);
    // How an HTTP source served a connection: one that failed without a
    // block waits a back-off (growing with each failure in a row) before
    // it is dialled again; a block clears it.
    void ReportHttpSource(std::uint64_t client_id, bool delivered);
    // What a server answered a request for a file of the task: `failure`
    // empty when the head was taken, else why it was refused. A failing
    // file is reported once per change (error output, and the task's
    // source problem that the front end shows); served again, it is
    // cleared.
    void ReportHttpAnswer(const PeerInfo& peer, const std::string& file, const std::string& url_path,
                          const std::string& failure);
    // False while the source waits out its back-off.
    bool HttpSourceUsable(std::uint64_t client_id) const;
    // The source has answered since its last failure.
    bool HttpSourceProven(std::uint64_t client_id) const;
    // Notes a speed a ranged-HTTP exchange measured (bytes per second); the
    // fastest noted in the last five seconds.
    std::uint32_t NoteHttpSourceRate(std::uint32_t rate);
    // Block-release requests of the HTTP and CDN connections.
    void AddReleaseRequest() { m_release_requests.fetch_add(1); }
    std::uint32_t GetReleaseRequestCount() const { return m_release_requests.load(); }
    void TakeReleaseRequest();

    // ---- Peer scheduling ----

    // Asks LAN discovery's peers of the task (at most 4 per pass).
    void ConnectLanPeers();
    // At most once in 10 s: asks for vpeers (all when fewer than 3, else
    // three per pass, round robin).
    void OnTimerCheckToConnectVpeerList();
    // With at most 3 connections, at most once in 30 s: a peer-list request.
    void OnTimerCheckToGetPeerList();
    // Dials the HTTP peers (blocking connects: timer 1 only).
    void ConnectHttpPeers();
    // Connects one HTTP peer within the per-peer and total limits.
    void TryConnectHttpPeer(PeerInfo r);
    // Has timer 1 dial the HTTP peers now rather than at its next period.
    void DialHttpPeersNow() { m_timer.FireNow(kTimerHttp); }
    // Asks a CIS for peers while the index servers are usable; otherwise
    // leaves it to timer 1's CDN query.
    void RequestPeerList();
    // The CDN query: turns the URLs the CDN query server names into HTTP
    // peers, posted to the I/O thread, which then has timer 1 dial them.
    // Blocking; runs on timer 1 only. True when it found a peer. Defined
    // beside the CDN thread.
    bool try_cdn_download();

    // ---- CCisConnectionEx_Event (CIS logon thread) ----
    // A reply: the names of its HTTP servers are looked up here, then the
    // reply is posted to the I/O thread, which stores it and at once asks
    // NAT traversal for the peers it named (and timer 1 dials the HTTP ones).
    void OnCisConnectionCompleted(std::uint32_t result, const std::vector<PeerInfo>& peers,
                                  const std::vector<VPeerInfo>& vpeers, const std::vector<HttpPeerInfo>& http_peers,
                                  std::uint32_t status) override;
    void OnCisConnectionNotify(std::uint32_t code, std::uint32_t value) override;
    void OnCisMessage(const char* text, std::uint32_t code) override;

    // ---- ITimerEvent (timer thread) ----
    bool OnTimer(std::uint32_t timer_id, std::uintptr_t param) override;

    // ---- State for the CDN thread, the manager and tests ----

    bool IsReady() const { return m_ready.load(); }
    // Every piece present (the task seeds).
    bool IsComplete() const { return m_complete.load(); }
    // Every piece verified and the completion event sent.
    bool IsFinished() const { return m_finished.load(); }
    bool IsStopping() const { return m_stopping.load(); }
    CHttpPeerList& GetHttpPeerList() { return m_http_peers; }
    // The received part of blocks whose ranged-HTTP answer ended early.
    zeq::partial_blocks& PartialBlocks() { return m_partial_blocks; }
    CTaskConnections* GetConnections() { return m_connections.get(); }
    IDownloadTaskOwner* GetOwner() { return m_owner; }
    CCdnThread* GetCdnThread() { return m_cdn_thread.get(); }
    // Wakes the CDN thread: HTTP peers were added or blocks handed back.
    void WakeCdnThread();
    // HTTP peers were added (I/O thread): starts the CDN thread the first
    // time, unless the task is complete or stopping, and wakes it.
    void StartHttpWork();
    // The counts of peer type 0, 1 or 2; false for any other type.
    bool GetPeerTypeCounts(std::uint8_t peer_type, PeerTypeCounts& out) const;
    // The three byte counters of the final report: peers, type-2 peers, HTTP.
    void GetDownloadBytes(std::uint32_t& peer, std::uint32_t& peer2, std::uint32_t& http) const;
    std::uint32_t GetStorageCounter() const { return m_stored_blocks.load(); }
    std::uint32_t GetTotalBlockCount() const { return m_total_blocks.load(); }
    std::uint32_t GetFirstDataTick() const { return m_first_data_tick.load(); }
    std::size_t GetConnectedPeerCount() const;
    // I/O thread.
    std::vector<VPeerInfo> GetVpeers() const;
    std::uint32_t GetHttpConnectionCount(std::uint64_t client_id) const;
    std::size_t GetHttpSpeedCount() const;
    // True while a CIS peer-list request of the task runs.
    bool IsPeerListRequestRunning() const;
    // The pause before the next CDN query (0 until a query gave nothing);
    // read while timer 1 does not run.
    std::uint32_t CdnQueryPauseMs() const;

    // The seconds clock of the task's time stamps (tests); nullptr
    // restores the real one.
    using seconds_source = std::int64_t (*)();
    static void SetSecondsSource(seconds_source source);
    // The name look-up of the HTTP peer list and the host expansion
    // (tests); nullptr restores getaddrinfo.
    void SetResolver(CHttpPeerList::resolver fn);

    void check_invariant() const;

private:
    struct PeerTypeCounter {
        std::uint8_t peer_type = 0;
        std::atomic<std::uint32_t> downloaded{0};
        std::atomic<std::uint32_t> uploaded{0};
        // Counted on the I/O thread, which adopts sockets only once the task
        // is ready, so after Start reset it.
        std::uint32_t added = 0;
    };

    static std::int64_t Now();
    PeerTypeCounter* CounterOf(std::uint8_t peer_type);
    void ResetPeerTypeCounters();
    void FinishStart(bool loaded_complete);
    // Adds timers 1 and 2 once, unless the task stops or has finished.
    void StartTimers();
    bool ConnectionsRunning() const;

    // Tick parts (download_task.cpp).
    void CheckChannelVerified();
    void ReportProgress();
    void SaveBitmap();
    void RetryStorage();
    void OnDownloadComplete();
    void OnTimerHttp();
    bool CdnQueryDue(std::uint32_t now) const;
    void NoteCdnQuery(std::uint32_t now, bool gave_peers);

    // Work other threads hand to the I/O thread (task_cis_reply.cpp).
    struct HttpFinds {                     // HTTP peers found by a blocking thread
        std::vector<HttpPeerInfo> infos;   // announced in this order
        std::vector<PeerInfo> records;     // resolved
    };
    struct CisReply;
    // Runs `apply` on the I/O thread with the task, or with null when the
    // task is gone by then or the work is dropped (teardown); false when
    // the I/O service refused it (`apply` then ran with null).
    bool PostToIo(std::function<void(CDownload_Task*)> apply);
    static void OnPosted(void* context, const i_error_code& error);
    bool OnIoThread() const;
    // Turns the host names of HTTP servers (type 3) into type-4 records, one
    // per address, each resolved. `known` are infos not stored yet.
    // Blocking; never on the I/O thread.
    void ExpandHttpServers(const std::vector<PeerInfo>& servers, const std::vector<HttpPeerInfo>& known,
                           HttpFinds& out);
    // The CDN answer's lines: every URL an information record, each server
    // (host and port, at most 64) one record, looked up once. Blocking.
    // `unusable`: the first line that gave no server, and why.
    void ParseCdnAnswer(std::string_view answer, HttpFinds& found, std::vector<PeerInfo>& servers,
                        std::string& unusable);
    // Why the CDN query failed, from http_get's result.
    static std::string CdnQueryFailure(int code);
    // Sets (text not empty) or clears the source problem under `key` (a
    // file's URL, or the CDN query); a new text goes to the error output
    // once, and the task's problems to the front end.
    void NoteSourceProblem(const std::string& key, const std::string& text);
    // The CDN query failed (`problem`) or gave servers (empty): the next
    // query waits a back-off that doubles while the failure stays the same.
    void NoteCdnQuery(const std::string& problem);
    // On the I/O thread: stores what was found and has timer 1 dial it now.
    void ApplyHttpFinds(const HttpFinds& finds);
    void ApplyCisReply(const CisReply& reply);

    // Scheduling parts (task_scheduling.cpp).
    void ConnectHostsWhileDownloading(std::uint32_t ref_ip);
    void SeedingPass(std::uint32_t ref_ip);
    void NatToHost(const HostRecord& host);
    bool IsConnected(std::uint64_t client_id);
    void ConnectVpeer(const VPeerInfo& vpeer);
    bool FindVpeer(std::uint64_t client_id, VPeerInfo& out) const;
    bool ResolveAll(const std::string& name, std::vector<std::uint32_t>& out) const;
    void CloseSocket(int socket);

    // CIS reply parts (task_cis_reply.cpp).
    void LogCisPeers(const std::vector<PeerInfo>& peers);
    std::map<std::uint64_t, VPeerInfo> KeepNewVpeers(const std::vector<VPeerInfo>& vpeers);
    std::uint64_t P2pSizeLimit() const;
    void TextOutput(const std::string& text);

    // HTTP and CDN peers.
    CHttpPeerList m_http_peers;
    std::atomic<std::uint32_t> m_first_data_tick{0};
    IDownloadTaskOwner* m_owner;
    std::unique_ptr<CCisConnectionEx> m_cis;
    std::atomic<CBlockRequestMap*> m_picker{nullptr};
    const std::uint64_t m_task_id;
    const std::uint32_t m_piece_size;
    std::string m_root_folder;
    std::atomic<std::uint32_t> m_total_blocks{0};
    std::atomic<std::uint32_t> m_stored_blocks{0};
    std::atomic<std::uint32_t> m_peer_bytes{0};
    std::atomic<std::uint32_t> m_peer2_bytes{0};
    std::atomic<std::uint32_t> m_http_bytes{0};
    std::atomic<std::uint64_t> m_http_total{0};
    std::atomic<std::uint64_t> m_received_bytes{0};   // every source, this run
    // The last samples of m_received_bytes and their ticks (I/O thread).
    std::array<std::uint64_t, 3> m_speed_bytes{};
    std::array<std::uint32_t, 3> m_speed_ticks{};
    std::uint32_t m_speed_samples = 0;
    std::unique_ptr<CTaskConnections> m_connections;
    CPeerConduct m_conduct;   // what the task's peers delivered and failed
    i_io_service* m_io;
    std::atomic<bool> m_ready{false};
    std::atomic<bool> m_complete{false};
    std::array<PeerTypeCounter, 3> m_type_counters;
    std::map<std::uint64_t, PeerInfo> m_connected_peers;   // I/O thread (AddPeerSocket)
    // The vpeers the CIS named and the round-robin cursor over them: the I/O
    // thread's alone (CIS replies are applied there).
    std::vector<VPeerInfo> m_vpeers;
    std::map<std::uint64_t, HttpPeerInfo> m_http_infos;
    zeq::file_url_table m_file_urls;      // every URL named, by file
    mutable CcsLocker m_http_info_lock;   // guards m_http_infos and m_file_urls
    std::atomic<bool> m_finished{false};
    std::uint32_t m_vpeer_cursor = 0;
    CTimerThread m_timer;
    std::atomic<bool> m_timers_started{false};   // or stopped for good
    bool m_cdn_started = false;                  // I/O thread
    std::atomic<bool> m_stopping{false};         // also cancels a CDN query under way
    BlockRequestQueue m_run;
    CcsLocker m_run_lock;   // guards m_run
    std::map<std::uint64_t, std::uint32_t> m_http_counts;
    std::map<int, float> m_http_speeds;
    struct SourceBackoff {
        std::uint32_t failures = 0;
        std::uint32_t until = 0;   // tick
        bool proven = false;       // answered since its last failure
    };
    std::map<std::uint64_t, SourceBackoff> m_http_backoff;
    std::uint32_t m_best_rate = 0;          // fastest exchange speed noted ...
    std::uint32_t m_best_rate_tick = 0;     // ... and when
    zeq::partial_blocks m_partial_blocks;   // locks itself
    mutable CcsLocker m_http_conn_lock;     // guards m_http_counts, m_http_speeds and m_http_backoff
    // Why the task's sources fail, by key (a file's URL, "cdn" for the
    // query), with the CDN query's back-off; a leaf lock: no sink is called
    // under it.
    std::mutex m_source_lock;
    std::map<std::string, std::string> m_source_problems;
    std::uint64_t m_source_generation = 0;   // raised by every change
    std::atomic<bool> m_source_failing{false};
    std::uint32_t m_cdn_query_wait_ms = 0;   // 0: the query is not held back
    std::uint32_t m_cdn_query_next = 0;      // tick of the next query
    bool m_cdn_unreachable_said = false;     // the CDN server could not be reached, logged
    std::unique_ptr<CCdnThread> m_cdn_thread;
    // The CDN thread's wake event, set once before any thread runs; it
    // outlives the thread.
    std::shared_ptr<platform::Event> m_cdn_wake;
    std::atomic<std::uint32_t> m_release_requests{0};

    // State of the one-second tick: only the thread that runs Run (the
    // session's I/O thread) touches it, so it needs no lock.
    std::uint32_t m_last_request_tick = 0;   // 0: no peer-list request yet
    std::uint32_t m_last_bitmap_tick;
    bool m_bitmap_saved = false;   // a save ran with storage ready
    bool m_report_once = true;
    std::int64_t m_highest_progress = -1;
    bool m_downloaded = false;
    std::int64_t m_last_vpeer_check;
    std::int64_t m_last_peer_list_check;
    // CDN query pacing: only the thread that runs timer 1 touches it.
    std::uint32_t m_next_cdn_query_tick = 0;
    std::uint32_t m_cdn_query_pause_ms = 0;
    // Its CDN, timer and CIS logon threads have ended (ReapThreads).
    std::atomic<bool> m_reaped{false};
    // Writes to the task's files failing (storage events and the tick).
    std::atomic<bool> m_write_failing{false};            // from a failed write to the next good one
    std::atomic<std::uint32_t> m_write_retry_tick{0};    // when a paused picker may hand out blocks again
    std::atomic<std::uint32_t> m_write_backoff_ms{0};    // the pause before that retry
    std::atomic<std::uint32_t> m_write_report_tick{0};   // last report of failing writes (0: none)
    // Name look-up of the host expansion (null: getaddrinfo).
    std::atomic<CHttpPeerList::resolver> m_resolver{nullptr};
    // What work posted to the I/O thread reaches the task through: cleared
    // by the destructor, which runs on the I/O thread or after it ended, so
    // work still queued then finds no task.
    const std::shared_ptr<CDownload_Task*> m_self;
};
