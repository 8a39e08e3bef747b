// Engine task stops on a thread of their own: neither a launcher call nor
// the scheduling pass waits while a task is torn down. A task asked to stop
// again before its stop began is stopped once, and a start cancels a stop
// that has not begun.
#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <set>

#include "service/call_workers.h"

namespace kx2dll {

class task_stopper {
public:
    // `stop` stops one task in the engine (it may block while the task's
    // teardown goes on).
    explicit task_stopper(std::function<void(std::uint64_t)> stop);

    // Queues a stop of the task (any thread); returns at once.
    void post(std::uint64_t task_id);
    // Forgets a queued stop of the task that has not begun.
    void cancel(std::uint64_t task_id);
    // Drops the stops not begun and waits for the one under way.
    void stop();

private:
    const std::function<void(std::uint64_t)> m_stop;
    std::mutex m_lock;                   // guards m_pending
    std::set<std::uint64_t> m_pending;   // queued, not begun
    call_workers m_worker{1, "task_stop"};
};

}   // namespace kx2dll
