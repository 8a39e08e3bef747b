// The download-data log: per-task byte counters written as one line per
// finished task to "p2sp1_datedowndata.log" and uploaded once a day.
//
// Line format (text, one line per task, "\n" ended):
//   taskid=<u64>,clientid=<u64>,start=<unix s>,end=<unix s>,peer=<bytes>,peer2=<bytes>,http=<bytes>
// peer: bytes from peers of any type but 2; peer2: from type-2 peers;
// http: from HTTP servers and CDNs.
//
// When the file was last written on an earlier day than today (local time),
// CheckAndSend starts a one-shot upload thread (see file_upload.h) to the
// download-data server (VR_DATALOG_SERVER, default 127.0.0.1:5113). The
// uploaded bytes are removed from the file after the receipt; lines
// appended meanwhile stay. The file is not written past 4 MiB, so a server
// that never answers cannot fill the disk.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/thread.h"

class CDownDataLog {
public:
    // Registers the process-wide instance. `folder`: where the data file
    // lives (the module folder when empty).
    explicit CDownDataLog(const std::string& folder = std::string());
    // Stops and waits for the upload thread (bounded), clears the instance.
    ~CDownDataLog();
    CDownDataLog(const CDownDataLog&) = delete;
    CDownDataLog& operator=(const CDownDataLog&) = delete;

    // The process-wide download-data log, null when none exists.
    static CDownDataLog* GetInstance();

    // Adds a record for the task, stamped with the start time, when it has
    // none. Called for every block request sent: cheap when it exists.
    void AddTask(std::uint64_t task_id);
    // Add bytes to the task's first (peers but type 2), second (type-2 peers)
    // and third (HTTP and CDN) counter; a task without a record gets one.
    void AddPeerBytes(std::uint64_t task_id, std::uint64_t bytes);
    void AddType2PeerBytes(std::uint64_t task_id, std::uint64_t bytes);
    void AddHttpBytes(std::uint64_t task_id, std::uint64_t bytes);

    // Takes the task's record out, stamps its end time and appends its line.
    // Nothing happens for a task without a record.
    void FinishTask(std::uint64_t task_id);

    // Appends the lines of every open record and drops them (at shutdown).
    void Flush();

    // Starts the upload thread when the data file exists, is not empty and
    // was last written before today and no upload runs. True when started.
    // CheckAndSend, StartUpload and WaitUpload are called from one thread
    // at a time (the client core's).
    bool CheckAndSend();

    // Starts the upload regardless of the file's date (true when started).
    bool StartUpload();

    // Waits up to `ms` for a running upload; true when none runs afterwards.
    bool WaitUpload(std::uint32_t ms);
    // Result of the last finished upload.
    bool LastUploadSucceeded() const { return m_last_upload_ok.load(); }

    // Replaces the upload server (tests, or a configured one).
    void SetServer(const std::string& host, std::uint16_t port);

    // Full path of "p2sp1_datedowndata.log".
    std::string FilePath() const { return m_path; }

    // Counters of an open record (false when the task has none).
    bool GetCounters(std::uint64_t task_id, std::uint64_t& peer, std::uint64_t& peer2, std::uint64_t& http) const;

private:
    struct Record {
        std::int64_t start = 0;
        std::uint64_t peer = 0;
        std::uint64_t peer2 = 0;
        std::uint64_t http = 0;
    };

    Record* FindOrAdd(std::uint64_t task_id);   // m_lock held
    void AppendLines(const std::string& lines);
    void UploadBody();

    const std::string m_path;
    mutable std::mutex m_lock;   // guards m_records
    std::map<std::uint64_t, Record> m_records;
    std::mutex m_file_lock;     // serialises appends and the post-upload trim
    std::mutex m_server_lock;   // guards m_host, m_port
    std::string m_host;
    std::uint16_t m_port = 0;
    platform::Thread m_upload;
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_last_upload_ok{false};
};
