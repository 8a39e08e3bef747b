#include "net/io/live_connections.h"

#include "platform/event.h"
#include "platform/tick.h"

#include <map>
#include <memory>
#include <mutex>

namespace live_connections {

namespace {
std::mutex& map_lock()
{
    static std::mutex lock;
    return lock;
}

// Guards every entry's hook and is held while one is called, so that a
// hook cleared is never called afterwards. Taken before the I/O service's
// locks (a hook posts), after everything else.
std::mutex& hook_lock()
{
    static std::mutex lock;
    return lock;
}

struct hook_slot {
    zero_hook hook = nullptr;
    void* context = nullptr;
};

// Guarded by hook_lock().
std::map<std::uint64_t, hook_slot>& hooks()
{
    static auto* map = new std::map<std::uint64_t, hook_slot>();
    return *map;
}

// Entries live as long as the process, so references handed out stay valid.
std::map<std::uint64_t, std::unique_ptr<entry>>& entries()
{
    static auto* map = new std::map<std::uint64_t, std::unique_ptr<entry>>();
    return *map;
}
}   // namespace

entry& get(std::uint64_t task_id)
{
    std::lock_guard<std::mutex> guard(map_lock());
    auto& slot = entries()[task_id];
    if (!slot)
        slot = std::make_unique<entry>();
    return *slot;
}

void set(std::uint64_t task_id, std::uint32_t running, std::uint32_t count)
{
    entry& e = get(task_id);
    e.running.store(running);
    e.count.store(count);
}

std::uint32_t set_running(std::uint64_t task_id, std::uint32_t running)
{
    return get(task_id).running.exchange(running);
}

std::uint32_t running(std::uint64_t task_id)
{
    return get(task_id).running.load();
}
std::uint32_t count(std::uint64_t task_id)
{
    return get(task_id).count.load();
}

std::uint32_t increment(std::uint64_t task_id)
{
    return get(task_id).count.fetch_add(1) + 1;
}

std::uint32_t decrement(std::uint64_t task_id)
{
    std::atomic<std::uint32_t>& c = get(task_id).count;
    std::uint32_t value = c.load();
    while (value != 0 && !c.compare_exchange_weak(value, value - 1)) {
    }
    if (value != 1)
        return value == 0 ? 0 : value - 1;
    std::lock_guard<std::mutex> guard(hook_lock());
    const auto it = hooks().find(task_id);
    if (it != hooks().end())
        it->second.hook(it->second.context, task_id);
    return 0;
}

void set_zero_hook(std::uint64_t task_id, zero_hook hook, void* context)
{
    std::lock_guard<std::mutex> guard(hook_lock());
    if (hook)
        hooks()[task_id] = hook_slot{hook, context};
    else
        hooks().erase(task_id);
}

bool wait_for_zero(std::uint64_t task_id, std::uint32_t timeout_ms, std::uint32_t poll_ms, bool (*give_up)(void*),
                   void* give_up_context)
{
    entry& e = get(task_id);
    const std::uint64_t start = platform::tick_count64();
    for (;;) {
        if (e.count.load() == 0)
            return true;
        if (give_up && give_up(give_up_context))
            return false;
        if (timeout_ms != platform::infinite && platform::tick_count64() - start >= timeout_ms)
            return false;
        platform::sleep_ms(poll_ms == 0 ? 1 : poll_ms);
    }
}

}   // namespace live_connections
