// An engine event sink that records every event as one text line, for the
// download-manager and connection-set tests.
#pragma once

#include "engine/cmd_event.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

namespace engine_test {

class RecordingCmdEvent : public ICmdEvent {
public:
    // Every line recorded so far.
    std::vector<std::string> Lines()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return m_lines;
    }
    // Lines that start with `prefix`.
    std::vector<std::string> With(const std::string& prefix)
    {
        std::vector<std::string> out;
        for (const auto& line : Lines())
            if (line.compare(0, prefix.size(), prefix) == 0)
                out.push_back(line);
        return out;
    }
    // Called after each task info is recorded (a launcher that acts on it).
    std::function<void(std::uint64_t task_id, std::uint32_t type)> on_info;

    void Clear()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.clear();
    }

    void OnErrorOutput(const char* text) override { Add("error " + std::string(text)); }
    void OnTextOutput(const char* text) override { Add("text " + std::string(text)); }
    void OnTaskMessage(const char* text, std::uint32_t value) override
    {
        Add("message " + std::to_string(value) + " " + text);
    }
    void OnBitmapSaved(std::uint64_t task_id, const std::vector<std::uint8_t>& bitmap,
                       const std::vector<std::vector<std::uint8_t>>&) override
    {
        Add("bitmap " + std::to_string(task_id) + " " + std::to_string(bitmap.size()));
    }
    void OnTaskInfo(std::uint64_t task_id, const char* text, std::uint32_t type, std::uint32_t a, std::uint32_t b,
                    std::uint32_t c) override
    {
        Add("info " + std::to_string(task_id) + " [" + text + "] " + std::to_string(type) + " " + std::to_string(a) +
            " " + std::to_string(b) + " " + std::to_string(c));
        if (on_info)
            on_info(task_id, type);
    }
    void OnDownloadProgress(std::uint64_t task_id, std::uint64_t downloaded, std::uint64_t total) override
    {
        Add("progress " + std::to_string(task_id) + " " + std::to_string(downloaded) + " " + std::to_string(total));
    }
    void OnTaskCompleted(std::uint64_t task_id) override { Add("completed " + std::to_string(task_id)); }
    void OnTaskSpeed(std::uint64_t task_id, float download_kbps, float upload_kbps) override
    {
        std::ostringstream s;
        s << "speed " << task_id << " " << download_kbps << " " << upload_kbps;
        Add(s.str());
    }
    void OnTaskRun(std::uint64_t task_id, std::uint32_t flag) override
    {
        Add("run " + std::to_string(task_id) + " " + std::to_string(flag));
    }
    void OnTaskStop(std::uint64_t task_id) override { Add("stop " + std::to_string(task_id)); }
    void OnGlobalSpeed(float download_kbps, float upload_kbps) override
    {
        std::ostringstream s;
        s << "global " << download_kbps << " " << upload_kbps;
        Add(s.str());
    }

private:
    void Add(const std::string& line)
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_lines.push_back(line);
    }

    std::mutex m_lock;
    std::vector<std::string> m_lines;
};

}   // namespace engine_test
