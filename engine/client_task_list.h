// One of the client core's three task lists: records in arrival order,
// one per task id, every operation under the list's own lock.
#pragma once

#include "platform/critical_section.h"

#include <cstdint>
#include <string>
#include <vector>

// One task as the client core holds it; copied by value.
struct ClientTaskRecord {
    std::int32_t kind = -1;   // -1 empty, 0 new, 1 resumed from a bitmap
    std::uint64_t task_id = 0;
    std::uint32_t state = 0;   // 0 queued, 1 running, 2 completed
    std::uint8_t ran = 0;      // set by the first run event
    std::uint32_t block_size = 262144;
    std::string source_folder;
    std::string file_list;
    std::string save_folder;
    std::uint32_t file_count = 0;
    std::vector<std::uint8_t> bitmap;   // resumed tasks
    std::vector<std::vector<std::uint8_t>> piece_tables;
};

class CClientTaskList {
public:
    // Appends the record unless its id is listed; false then.
    bool AddUnique(const ClientTaskRecord& record);
    bool Remove(std::uint64_t task_id);
    bool Contains(std::uint64_t task_id) const;
    // Copies the record of the id; false when it is not listed.
    bool Copy(std::uint64_t task_id, ClientTaskRecord& out) const;
    // Replaces the record of the same id; false when it is not listed.
    bool Overwrite(const ClientTaskRecord& record);
    // Stores the bitmap and piece tables in the record of the id, if listed.
    void StoreBitmap(std::uint64_t task_id, const std::vector<std::uint8_t>& bitmap,
                     const std::vector<std::vector<std::uint8_t>>& tables);
    // Takes the first record out; false when the list is empty.
    bool TakeFirst(ClientTaskRecord& out);
    std::vector<std::uint64_t> Ids() const;
    std::size_t Size() const;
    void Clear();

    void check_invariant() const;

private:
    std::vector<ClientTaskRecord>::iterator Find(std::uint64_t task_id);
    std::vector<ClientTaskRecord>::const_iterator Find(std::uint64_t task_id) const;

    std::vector<ClientTaskRecord> m_records;
    mutable CcsLocker m_lock;   // guards m_records
};
