// The system event log as the service reads it for application errors.
// This platform has no such log: the source opens and holds no records.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

struct EventLogRecord {
    std::uint32_t record_number = 0;
    std::uint32_t time_generated = 0;   // seconds since 1970
    std::uint32_t event_id = 0;
    std::uint16_t event_type = 0;
    std::string source;
    std::vector<std::string> strings;
};

class EventLogReader {
public:
    // Opens the named log (e.g. "Application"); true for any non-empty name.
    bool open(const std::string& log_name);
    bool is_open() const { return m_open; }
    // Number of the oldest record; 0 as there is none.
    std::uint32_t oldest_record() const { return 0; }
    std::uint32_t record_count() const { return 0; }
    // Reads the next records; false at the end, which is at once.
    bool read(std::vector<EventLogRecord>& out);
    void close() { m_open = false; }

private:
    bool m_open = false;
};

}   // namespace platform
