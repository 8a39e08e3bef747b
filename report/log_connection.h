// Connection log records for the log server.
//
// Transfer connections, the HTTP GET client and the UPnP mapping report
// connection events here; a sender thread uploads them once a second to the
// log server as HTTP requests, one per record, pipelined on one connection:
//
//   GET /'<record>' HTTP/1.1\r\n
//   Host: <host>:<port>\r\n
//   User-Agent: p2sp_client_log 1\r\n      (1: the record format version)
//   Connection: keep-alive\r\n             ("close" on the last of a pass)
//   \r\n
//
// A record is comma-separated, with no blanks:
//
//   <family>,<client id>,<kind>,<task id>,<ipv4>,<port>,<results>,<time>
//
//   family   e: AddEvent, h: AddHttpSvrLog, p: AddPeerLog
//   ipv4     the 32-bit address as the caller gave it, unsigned decimal
//   results  <result>x<count> joined by '+', in ascending result code,
//            e.g. "0x3+4x1": three occurrences of result 0, one of 4
//   time     seconds since 1970 of the first occurrence
//
// HTTP-server and peer records with the same client id, kind, address and
// port are one record whose results are counted per result code; events
// are one record each. Each of the three queues holds at most
// QueueLimit() records; when a new record would pass the limit the OLDEST
// record of that queue is dropped (recent records say more about the
// network as it is now), and so are records that could not be sent, so a log
// server that is down costs bounded memory.
//
// The switch file ("/clog_switch.txt" unless Init names another) is fetched
// from the log server at start and every 60 s; a 200 reply whose body starts
// with '0' switches sending off (queued records are then discarded), any
// other 200 reply switches it on; no reply leaves it as it was (on at
// start).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class ILog {
public:
    virtual ~ILog() = default;

    // Queues one event record with the process-wide client id. Kinds: 9 HTTP
    // GET connect, 10 HTTP GET transfer (the result is the failing step's
    // sub-code), 13 UPnP mapping (result 2 attempt, 3 success).
    virtual void AddEvent(std::uint32_t kind, std::uint64_t task_id, std::uint32_t ipv4, std::uint16_t port,
                          std::uint32_t result) = 0;

    // Queues an HTTP/CDN server connection event (kind 7, or 5), or counts one
    // more occurrence of the result in the queued record of the same client
    // id, kind, address and port.
    virtual void AddHttpSvrLog(std::uint32_t kind, std::uint64_t client_id, std::uint64_t task_id, std::uint32_t ipv4,
                               std::uint16_t port, std::uint32_t result) = 0;

    // Queues a peer connection event (kind 5 connection, 6 transfer), counted
    // per result code like AddHttpSvrLog.
    virtual void AddPeerLog(std::uint32_t kind, std::uint64_t client_id, std::uint64_t task_id, std::uint32_t ipv4,
                            std::uint16_t port, std::uint32_t result) = 0;

    // Starts the sender: `host` empty means the default log server
    // (VR_LOG_SERVER, else 127.0.0.1), a port below 1 means 80, an empty or
    // null URL the default switch file. The host is resolved here, on the
    // caller's thread, so the sender never waits on a resolver. True when
    // the sender runs; false when the host cannot be resolved.
    virtual bool Init(const char* host, int port, const char* switch_url) = 0;

    // True while the sender runs.
    virtual bool IsStarted() const = 0;

    // Stops the sender thread (within about 200 ms, never more than 3000 ms)
    // and clears the started flag. Queued records stay queued.
    virtual void Stop() = 0;

    // true: every record is also sent to the local log receiver, 127.0.0.1
    // on the log server's port (VR_LOG_LOCAL "host[:port]" overrides it).
    virtual void SetMirrorToLocal(bool on) = 0;
};

class CLogConnection : public ILog {
public:
    CLogConnection();
    ~CLogConnection() override;
    CLogConnection(const CLogConnection&) = delete;
    CLogConnection& operator=(const CLogConnection&) = delete;

    void AddEvent(std::uint32_t kind, std::uint64_t task_id, std::uint32_t ipv4, std::uint16_t port,
                  std::uint32_t result) override;
    void AddHttpSvrLog(std::uint32_t kind, std::uint64_t client_id, std::uint64_t task_id, std::uint32_t ipv4,
                       std::uint16_t port, std::uint32_t result) override;
    void AddPeerLog(std::uint32_t kind, std::uint64_t client_id, std::uint64_t task_id, std::uint32_t ipv4,
                    std::uint16_t port, std::uint32_t result) override;
    bool Init(const char* host, int port, const char* switch_url) override;
    bool IsStarted() const override;
    void Stop() override;
    void SetMirrorToLocal(bool on) override;

    // The process-wide connection, null when none exists. Callers test it
    // before each use; the engine destroys it only after every thread that
    // logs has stopped.
    static CLogConnection* GetInstance();

    // Records waiting in the three queues together.
    std::size_t QueuedRecords() const;
    // Records dropped because a queue was full or sending was switched off.
    std::uint64_t DroppedRecords() const;
    // Records handed to the log server so far.
    std::uint64_t SentRecords() const;
    // Cap of each queue (default 1000); at least 1.
    std::size_t QueueLimit() const;
    void SetQueueLimit(std::size_t limit);
    // The switch file's verdict: true while sending is on.
    bool SendingEnabled() const;

    struct Impl;

private:
    std::unique_ptr<Impl> m_impl;
};

// Creates the process-wide connection once, starts it with Init when it is
// not running yet and installs it as the HTTP GET client's event sink (kinds
// 9 and 10). Returns whether it runs afterwards.
bool CreateProcessLogConnection(const char* host, int port, const char* switch_url);

// Removes the HTTP GET event sink, stops the process-wide connection,
// deletes it and clears the instance. Null-safe, idempotent.
void DestroyProcessLogConnection();
