// The index servers added through the engine, read by the RIS logon.
#pragma once

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

// One index server: the front end adds the south RIS with type 1 and the
// north one with type 2.
struct ServerRecord {
    std::string host;
    std::uint32_t port = 0;
    std::int32_t type = -1;
};

// Process-wide list of index servers, in the order they were added.
class CServerList {
public:
    // The one list of the process.
    static CServerList& Instance();

    // Appends {host, port, type}. The host is trimmed of " \t\r\n" at both
    // ends; an empty host adds nothing, and neither does a record whose type,
    // host (exact compare) and port are already listed.
    void Add(std::int32_t type, const ServerRecord& record);

    // Clears `out` and appends every record of `type` in list order; 1.
    int GetByType(std::int32_t type, std::vector<ServerRecord>& out) const;

    // Number of records (all types).
    std::size_t Size() const;

    // Empties the list (engine restart and tests).
    void Clear();

private:
    mutable std::mutex m_lock;   // guards m_servers
    std::vector<ServerRecord> m_servers;
};
