// The process-wide live-connection map: per task id a running flag and the
// number of transfer connections of the task that still exist. The task
// sets (1, 0); each connection counts itself in on construction and out on
// destruction; a stop clears the flag, and the count's zero hook tells the
// owner of a stopped task when its last connection has gone.
#pragma once

#include "platform/event.h"   // platform::infinite

#include <atomic>
#include <cstdint>

namespace live_connections {

// The pair of one task; entries are never removed, so the reference stays
// valid for the life of the process.
struct entry {
    std::atomic<std::uint32_t> running{0};
    std::atomic<std::uint32_t> count{0};
};

// The entry of `task_id`, created as (0, 0) when missing.
entry& get(std::uint64_t task_id);

// Sets the pair to (running, count).
void set(std::uint64_t task_id, std::uint32_t running, std::uint32_t count);

// Sets the running flag; returns the previous value.
std::uint32_t set_running(std::uint64_t task_id, std::uint32_t running);

std::uint32_t running(std::uint64_t task_id);
std::uint32_t count(std::uint64_t task_id);

// Counts one connection in / out; return the new count. A decrement at 0
// stays at 0.
std::uint32_t increment(std::uint64_t task_id);
std::uint32_t decrement(std::uint64_t task_id);

// What hears that a task's count went to 0: called by the decrement that
// takes it there, on that thread, outside the map lock (it should only
// post). Null clears it; once that returns no call of the old hook runs.
using zero_hook = void (*)(void* context, std::uint64_t task_id);
void set_zero_hook(std::uint64_t task_id, zero_hook hook, void* context);

// Waits, polling every `poll_ms`, until the task's count reads 0 or
// `timeout_ms` passes (platform::infinite: no limit) or `give_up()`
// returns true. True when the count reached 0.
bool wait_for_zero(std::uint64_t task_id, std::uint32_t timeout_ms, std::uint32_t poll_ms = 50,
                   bool (*give_up)(void*) = nullptr, void* give_up_context = nullptr);

}   // namespace live_connections
