// One record queue of the log connection: bounded, oldest first, and for
// the HTTP-server and peer queues one record per (client id, kind, address,
// port) whose results are counted per result code. The owner locks.
#pragma once

#include <cstddef>
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <tuple>
#include <vector>

struct LogRecord {
    char family = 'e';   // 'e' event, 'h' HTTP server, 'p' peer
    std::uint64_t client_id = 0;
    std::uint32_t kind = 0;
    std::uint64_t task_id = 0;
    std::uint32_t ipv4 = 0;
    std::uint16_t port = 0;
    std::map<std::uint32_t, std::uint32_t> results;   // result code -> occurrences
    std::int64_t time = 0;                            // seconds since 1970 of the first occurrence
};

// "<family>,<client id>,<kind>,<task id>,<ipv4>,<port>,<r>x<n>[+...],<time>"
std::string FormatLogRecord(const LogRecord& record);

class CLogRecordQueue {
public:
    // `count_repeats`: merge records of the same client id, kind, address
    // and port (their result counts add up).
    explicit CLogRecordQueue(bool count_repeats) : m_count_repeats(count_repeats) {}

    // Adds or merges the record; then drops the oldest records beyond
    // `limit`. Returns the number dropped.
    std::size_t Add(const LogRecord& record, std::size_t limit);

    // Takes up to `max` records, oldest first.
    std::vector<LogRecord> Take(std::size_t max);

    // Returns records that could not be sent to the front (they are the
    // oldest), merging them into queued records of the same key; then drops
    // the oldest beyond `limit`. Returns the number dropped.
    std::size_t PutBack(std::vector<LogRecord>& records, std::size_t limit);

    std::size_t Size() const { return m_records.size(); }

    // Empties the queue; returns the number of records removed.
    std::size_t Clear();

    // Debug check: the key index matches the list.
    bool check_invariant() const;

private:
    using Key = std::tuple<std::uint64_t, std::uint32_t, std::uint32_t, std::uint16_t>;
    using List = std::list<LogRecord>;

    static Key KeyOf(const LogRecord& r) { return Key(r.client_id, r.kind, r.ipv4, r.port); }
    static void Merge(LogRecord& into, const LogRecord& from);
    std::size_t Trim(std::size_t limit);

    const bool m_count_repeats;
    List m_records;                          // oldest at the front
    std::map<Key, List::iterator> m_index;   // only when counting repeats
};
