// When a task that failed to reach the engine (its seed could not be
// fetched or was refused, or its files could not be prepared) is offered
// again: after 2 s, then twice as long after each further failure, at most
// 5 minutes. Safe from any thread.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>

namespace kx2dll {

class handoff_backoff {
public:
    static constexpr std::uint32_t first_ms = 2000;
    static constexpr std::uint32_t cap_ms = 300000;

    // True when the task may be offered at tick `now`.
    bool due(std::uint64_t task_id, std::uint32_t now) const;
    // Records a failure at `now`; the wait before the next offer.
    std::uint32_t failed(std::uint64_t task_id, std::uint32_t now);
    // The engine let go of a failed task only now: its wait runs from now.
    void restart(std::uint64_t task_id, std::uint32_t now);
    // The task got going: its next failure waits first_ms again.
    void clear(std::uint64_t task_id);

private:
    struct entry {
        std::uint32_t next = 0;    // tick of the next offer
        std::uint32_t delay = 0;   // the last wait
    };
    mutable std::mutex m_lock;   // guards m_tasks
    std::map<std::uint64_t, entry> m_tasks;
};

}   // namespace kx2dll
