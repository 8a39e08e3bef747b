// Switches the client text log on for a test, in a scratch folder of its
// own, and counts the lines it received.
#pragma once

#include "report/client_log.h"
#include "support/temp_dir.h"

#include <cstddef>
#include <fstream>
#include <sstream>
#include <string>

namespace test_support {

class ClientLogCapture {
public:
    // The log lives in a temporary module folder; its marker file exists
    // for the life of the object.
    ClientLogCapture()
        : m_module("VR_MODULE_DIR", m_dir.path()), m_marker("VR_CLIENT_LOG_MARKER", m_dir.file("dlllogout.log"))
    {
        std::ofstream(m_dir.file("dlllogout.log")) << "";
        RecheckClientLogMarker();
    }
    ~ClientLogCapture() { RecheckClientLogMarker(); }
    ClientLogCapture(const ClientLogCapture&) = delete;
    ClientLogCapture& operator=(const ClientLogCapture&) = delete;

    // True while the log writes.
    bool Enabled() const { return ClientLogEnabled(); }

    // Occurrences of `text` in the log so far.
    std::size_t Count(const std::string& text) const
    {
        std::ifstream in(ClientLogPath());
        std::stringstream all;
        all << in.rdbuf();
        const std::string s = all.str();
        std::size_t n = 0;
        for (std::size_t at = s.find(text); at != std::string::npos; at = s.find(text, at + 1))
            ++n;
        return n;
    }

private:
    TempDir m_dir;
    ScopedEnv m_module;
    ScopedEnv m_marker;
};

}   // namespace test_support
