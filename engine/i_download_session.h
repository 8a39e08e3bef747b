// The session as the client core drives it: the running download machinery
// built once the index-server logon has ended.
#pragma once

#include "discovery/peer_info.h"

#include <cstdint>
#include <string>
#include <vector>

class ICmdEvent;

class IDownload_Session {
public:
    virtual ~IDownload_Session() = default;

    // Stores the event sink and hands it to the download manager.
    virtual void SetCmdEvent(ICmdEvent* event) = 0;
    // Starts the I/O and worker threads, both timers and the download
    // manager. False when a thread cannot start.
    virtual bool Start() = 0;
    // Adds a task resumed from its bitmap and piece tables, its files under
    // `folder`. The download manager's result: 1 created, 0 refused.
    virtual int AddTaskDownload(std::uint64_t task_id, std::uint32_t block_size, const std::string& source_folder,
                                std::uint32_t file_count, const std::string& file_list,
                                const std::vector<std::uint8_t>& bitmap,
                                const std::vector<std::vector<std::uint8_t>>& piece_tables, const std::string& folder,
                                std::uint8_t history_flag) = 0;
    // Adds a new task whose files go under `folder`.
    virtual int AddTaskDownload(std::uint64_t task_id, std::uint32_t block_size, const std::string& source_folder,
                                std::uint32_t file_count, const std::string& file_list, const std::string& folder) = 0;
    // Adds a new task whose files go under the data folder and its source folder.
    virtual int AddTaskDownload(std::uint64_t task_id, std::uint32_t block_size, const std::string& source_folder,
                                std::uint32_t file_count, const std::string& file_list) = 0;
    // Stops the task and returns at once, from any thread: clears its
    // running flag and posts the stop to the I/O thread, which handles it
    // in its next turn. The teardown goes on without the caller: the task
    // is deleted once its threads and connections have ended, and the
    // stop event (OnTaskStop) follows from the session's worker.
    virtual void StopTask(std::uint64_t task_id) = 0;
    // Passed to the download manager; its result (0 without one).
    virtual int SetRateLimits(float download, float upload) = 0;
    // Sets the engine's speed-limit switch.
    virtual void SetGlobalFlag(std::uint8_t on) = 0;
    // The engine's limits in bytes per second and the switch; returns the switch.
    virtual std::uint8_t GetRateLimits(float* download, float* upload, std::uint8_t* on) = 0;
    // A logon that succeeded after the session began offline: this
    // client's new record and the CIS list, passed to the download manager.
    virtual void SetIdentity(const PeerInfo& self, const std::vector<CisAddress>& cis_list) = 0;
};

// Builds the five managers and the session over them; null when the
// session cannot be made. Not started.
IDownload_Session* CreateDownloadSession(const PeerInfo& self, const std::vector<CisAddress>& cis_list,
                                         const std::string& data_folder);
// Stops and deletes a session; null is ignored.
void DestroyDownloadSession(IDownload_Session* session);
