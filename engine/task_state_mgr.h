// The task-state registry: for every task id where it stands between being
// queued and being deleted, and the queue of tasks the download manager
// has deleted and the session still has to retire.
//
// States: 1 queued for the session, 2 created in the session, 3 the task's
// own state, 4 removed, 5 deleted (swept 30 s later).
#pragma once

#include "platform/critical_section.h"

#include <cstdint>
#include <deque>
#include <map>

struct TaskStateRecord {
    std::uint64_t task_id = 0;
    std::uint32_t state = 0;
    std::int64_t time_stamp = 0;   // seconds since 1970, set when the state becomes 5
};

enum TaskState : std::uint32_t {
    TASKSTATE_QUEUED = 1,
    TASKSTATE_CREATED = 2,
    TASKSTATE_RUNNING = 3,
    TASKSTATE_REMOVED = 4,
    TASKSTATE_DELETED = 5,
};

class CTaskStateMgr {
public:
    // The registry of the process.
    static CTaskStateMgr& Instance();

    // The entry of the id becomes {id, state, time 0}; true.
    bool Set(std::uint64_t task_id, std::uint32_t state);
    // Replaces the state of a recorded id (stamping the time when it
    // becomes 5); false for an unknown id, which stays unrecorded.
    bool SetState(std::uint64_t task_id, std::uint32_t state);
    bool Exists(std::uint64_t task_id) const;
    // state = 0 first; false for an unknown id.
    bool GetState(std::uint64_t task_id, std::uint32_t* state) const;
    // Erases the entry; false when there is none.
    bool Remove(std::uint64_t task_id);

    // Queue of deleted tasks: appended by the download manager, taken one
    // per second by the session.
    void PushDeleted(std::uint64_t task_id);
    // id = 0 first; false when the queue is empty.
    bool PopDeleted(std::uint64_t* task_id);

    // At most every 10 s: erases the entries in state 5 stamped 31 s or
    // more ago. The session calls it once a second.
    void Sweep();

    // Number of entries (tests and checks).
    std::size_t Size() const;
    // Empties both tables and the sweep time (tests).
    void Clear();

    // Replaces the seconds clock (tests); nullptr restores the real one.
    using seconds_source = std::int64_t (*)();
    static void SetSecondsSource(seconds_source source);

    void check_invariant() const;

private:
    static std::int64_t Now();

    std::map<std::uint64_t, TaskStateRecord> m_states;
    mutable CcsLocker m_map_lock;   // guards m_states and m_last_sweep
    std::deque<std::uint64_t> m_deleted;
    mutable CcsLocker m_queue_lock;   // guards m_deleted
    std::int64_t m_last_sweep = 0;
};
