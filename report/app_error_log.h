// Application-error harvesting: "Application Error" entries of the system
// event log that have not been reported yet. "AppErrSentItem.dat" in the
// module folder holds the time (seconds since 1970, decimal text) of the
// last entry reported. This platform's event log has no records, so
// CollectAppErrorEvents yields none here; the sent-state bookkeeping works
// as on any platform.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

struct AppErrorRecord {
    std::int64_t time = 0;   // seconds since 1970 the entry was written
    std::string texts[5];    // application, version, module, module version, offset
};

class CAppErrorLog {
public:
    // `folder`: where "AppErrSentItem.dat" lives (module folder when empty).
    explicit CAppErrorLog(const std::string& folder = std::string());

    // Reads the last reported time (0 when the file is missing or unreadable).
    bool LoadSentState();

    // The "Application Error" records whose application name ends with
    // `process_suffix` (case-insensitive), oldest first.
    std::vector<AppErrorRecord> CollectAppErrorEvents(const std::string& process_suffix);

    // True when the record is not newer than the last reported time.
    bool IsAlreadySent(const AppErrorRecord& record) const;

    // Stores the record's time as the last reported one (file replaced
    // through a temporary file). False when it cannot be written.
    bool SaveSentState(const AppErrorRecord& record);

    std::int64_t LastSentTime() const { return m_last_sent; }
    std::string StatePath() const { return m_path; }

private:
    const std::string m_path;
    std::int64_t m_last_sent = 0;
};
