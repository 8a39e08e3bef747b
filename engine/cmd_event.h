// The engine's event interface: the session's managers, tasks and
// connections report through it, and the client core turns each event into
// a launcher callback code with its payload.
#pragma once

#include <cstdint>
#include <vector>

class ICmdEvent {
public:
    virtual ~ICmdEvent() = default;

    // Code 16: an error text for the launcher's log.
    virtual void OnErrorOutput(const char* text) = 0;
    // Code 8: an informational text.
    virtual void OnTextOutput(const char* text) = 0;
    // Code 7: a task message with a value.
    virtual void OnTaskMessage(const char* text, std::uint32_t value) = 0;
    // Code 15: a task's bitmap and piece tables were saved; writes the ".bbm" file.
    virtual void OnBitmapSaved(std::uint64_t task_id, const std::vector<std::uint8_t>& bitmap,
                               const std::vector<std::vector<std::uint8_t>>& piece_tables) = 0;
    // Code 1: task information.
    virtual void OnTaskInfo(std::uint64_t task_id, const char* text, std::uint32_t type, std::uint32_t a,
                            std::uint32_t b, std::uint32_t c) = 0;
    // Code 0: bytes downloaded of the task's total.
    virtual void OnDownloadProgress(std::uint64_t task_id, std::uint64_t downloaded, std::uint64_t total) = 0;
    // Code 9: the task has every piece.
    virtual void OnTaskCompleted(std::uint64_t task_id) = 0;
    // Code 10: the task's speeds in KB/s.
    virtual void OnTaskSpeed(std::uint64_t task_id, float download_kbps, float upload_kbps) = 0;
    // Code 13: the task runs.
    virtual void OnTaskRun(std::uint64_t task_id, std::uint32_t flag) = 0;
    // Code 11: the task stopped.
    virtual void OnTaskStop(std::uint64_t task_id) = 0;
    // Code 17: total speeds over all tasks in KB/s.
    virtual void OnGlobalSpeed(float download_kbps, float upload_kbps) = 0;
};
