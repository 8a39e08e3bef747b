#include "report/client_log.h"

#include <cstdio>
#include <mutex>

#include "platform/debug_output.h"
#include "platform/paths.h"

namespace {
// Serialises appends so lines of different threads never interleave.
std::mutex g_client_log_lock;
}

std::string ClientLogPath()
{
    return platform::join_path(platform::module_dir(), "p2sp_client.log");
}

bool ClientLogEnabled()
{
    return platform::file_exists(platform::client_log_marker_path());
}

void WriteClientLog(const std::string& text)
{
    // The marker is looked at on every call so that creating or deleting it
    // switches the log in a running service.
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
