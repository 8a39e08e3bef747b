// The session's task manager as the session sees it: it creates, ticks,
// stops and retires the download tasks, hands them the sockets NAT
// traversal has punched and reports the speeds once a second.
#pragma once

#include "discovery/peer_info.h"

#include <cstdint>
#include <string>
#include <vector>

class ICmdEvent;
class IChannelManager;
class IStorageManager;
class IHostCacheManager;
class INatManager;
class i_io_service;

class IDownload_Manager {
public:
    virtual ~IDownload_Manager() = default;

    // Stores the event sink (only the first non-null one) and offers it to
    // the channel, storage and host-cache managers.
    virtual void SetCmdEvent(ICmdEvent* event) = 0;

    // Starts NAT traversal on the listen port with this client's record
    // and the manager as its sink. True without a NAT manager; false when
    // it would not start.
    virtual bool Start() = 0;

    // Adds a task resumed from its ".bbm" tables (history form); its files
    // go under `save_path`. 1 when the task was created (the caller then
    // has its files prepared through PrepareTaskFiles), 0 when the id is
    // known already or still being retired (its channel folder is reported
    // through OnTaskInfo), and 0 too when the task was created but got no
    // channel of its own (the caller stops it, as any task).
    virtual int AddTaskDownload(i_io_service* io, std::uint64_t task_id, std::uint32_t piece_size,
                                const std::string& root_folder, std::uint32_t file_count, const std::string& file_list,
                                const std::vector<std::uint8_t>& bitmap,
                                const std::vector<std::vector<std::uint8_t>>& blocks, const std::string& save_path,
                                std::uint8_t history_flag) = 0;
    // Adds a new task whose files go under `save_path`; results as above.
    virtual int AddTaskDownload(i_io_service* io, std::uint64_t task_id, std::uint32_t piece_size,
                                const std::string& root_folder, std::uint32_t file_count, const std::string& file_list,
                                const std::string& save_path) = 0;
    // Adds a new task whose files go under the data folder and its root
    // folder; results as above.
    virtual int AddTaskDownload(i_io_service* io, std::uint64_t task_id, std::uint32_t piece_size,
                                const std::string& root_folder, std::uint32_t file_count,
                                const std::string& file_list) = 0;

    // Has the task's channel files created or checked (the session's worker
    // calls it while the I/O thread is parked). 1 on success, 0 when the
    // task is unknown or its files cannot be prepared.
    virtual int PrepareTaskFiles(std::uint64_t task_id) = 0;

    // The session's one-second work: runs every ready task's tick and
    // reports each task's speed and the engine totals.
    virtual void second_tick() = 0;

    // Stores the two rate limits (bytes per second); 1.
    virtual int SetRateLimits(float download, float upload) = 0;

    // Every task closes all its connections and refuses new ones.
    virtual void CloseAllConnections() = 0;

    // The one way a task stops. On the I/O thread, returning at once: the
    // registry records it removed (4), it takes no new connection or
    // work, its CDN thread and timers are told to end (a CDN query under
    // way is cancelled) and its connections close. ReapTask follows.
    virtual void StopTask(std::uint64_t task_id) = 0;

    // After StopTask, on a thread that may wait (never the I/O thread):
    // waits for the task's own threads (CDN thread, timer thread, CIS
    // logon), all told to end already. The I/O thread then deletes the
    // task as soon as its last connection has gone (nothing polls for it)
    // and tells the retired sink.
    virtual void ReapTask(std::uint64_t task_id) = 0;

    // What hears, on the I/O thread, of each task deleted after its stop.
    using retired_sink = void (*)(void* context, std::uint64_t task_id);
    virtual void SetRetiredSink(retired_sink sink, void* context) = 0;
    // With a retired sink set, the id of a deleted task stays refused by
    // the adds until the sink's owner has removed what is left of it
    // (tables, disk work) and calls this: a task started again never
    // shares an id with the remains of the one before.
    virtual void ReleaseRetired(std::uint64_t task_id) = 0;

    // Stops every task at session end, off the I/O thread: all are told
    // first, then their threads are reaped, so they wind down together.
    virtual void StopAllTasks() = 0;

    // True when the task is in the manager's map.
    virtual bool HasTask(std::uint64_t task_id) = 0;

    // Every task closes all its connections but keeps accepting new ones
    // (the flag is not used); the session's shutdown calls it with 1.
    virtual void CloseAllConnections(std::uint8_t flag) = 0;

    // Replaces this client's record and the CIS list (a logon that
    // succeeded after the session began offline); NAT traversal gets the
    // record too.
    virtual void SetIdentity(const PeerInfo& self, const std::vector<CisAddress>& addresses) = 0;
};

// Creates the manager over the session's managers (none owned; any may be
// null). `self` is this client's record, `addresses` the CIS list of the
// logon. Registers the manager as the storage manager's event sink. Null
// when it cannot be made.
IDownload_Manager* CreateDownloadManager(const PeerInfo& self, const std::vector<CisAddress>& addresses,
                                         IChannelManager* channels, IStorageManager* storage,
                                         IHostCacheManager* host_cache, INatManager* nat);
// Deletes a manager made by CreateDownloadManager (with every task still in
// it); null is ignored.
void DestroyDownloadManager(IDownload_Manager* manager);
