#include "report/client_log.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "platform/debug_output.h"
#include "platform/paths.h"
#include "platform/tick.h"

namespace {
// Serialises appends so lines of different threads never interleave.
std::mutex g_client_log_lock;

// The marker's state as last looked at, and when. Block requests ask for it
// many thousand times a second; one look a second keeps the switch prompt
// without a file-system call per line.
constexpr std::uint32_t kMarkerRecheckMs = 1000;
enum : int { kMarkerUnknown, kMarkerAbsent, kMarkerPresent };
std::atomic<int> g_marker_state{kMarkerUnknown};
std::atomic<std::uint32_t> g_marker_checked_at{0};
}   // namespace

std::string ClientLogPath()
{
    return platform::join_path(platform::log_dir(), "p2sp_client.log");
}

bool ClientLogEnabled()
{
    const std::uint32_t now = platform::tick_count();
    const int state = g_marker_state.load(std::memory_order_acquire);
    if (state != kMarkerUnknown && now - g_marker_checked_at.load(std::memory_order_relaxed) < kMarkerRecheckMs)
        return state == kMarkerPresent;
    // Threads that race here each look once; they store the same answer.
    const bool present = platform::file_exists(platform::client_log_marker_path());
    g_marker_checked_at.store(now, std::memory_order_relaxed);
    g_marker_state.store(present ? kMarkerPresent : kMarkerAbsent, std::memory_order_release);
    return present;
}

void RecheckClientLogMarker()
{
    g_marker_state.store(kMarkerUnknown, std::memory_order_release);
}

void WriteClientLog(const std::string& text)
{
    // Creating or deleting the marker switches the log in a running service
    // within a second.
    if (text.empty() || !ClientLogEnabled())
        return;
    {
        std::lock_guard<std::mutex> guard(g_client_log_lock);
        if (std::FILE* f = std::fopen(ClientLogPath().c_str(), "ab")) {
            std::fwrite(text.data(), 1, text.size(), f);
            std::fclose(f);
        }
    }
    platform::debug_output(text);
}

void WriteClientLogStream(std::ostringstream& stream)
{
    std::string line = stream.str();
    if (line.empty() || line.back() != '\n')
        line += '\n';
    WriteClientLog(line);
}
