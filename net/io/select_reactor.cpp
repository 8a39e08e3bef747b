#include "net/io/select_reactor.h"

#include "net/io/iocp_io_service.h"
#include "platform/error_codes.h"
#include "platform/tick.h"

#include <algorithm>

i_select_reactor::i_select_reactor(i_io_service& owner) : i_service(owner), m_iocp(owner.impl())
{
    m_iocp.set_reactor(this);
}

i_select_reactor::~i_select_reactor()
{
    // Waits still queued are destroyed without running.
    std::lock_guard<std::mutex> guard(m_lock);
    m_queue.clear();
}

void i_select_reactor::shutdown_service()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_stopped = true;
    m_queue.clear();
}

void i_select_reactor::add_wait(i_timer_impl& timer, i_handler function, void* context)
{
    bool earlier = false;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_stopped) {
            // After shutdown nothing runs any more; the wait is dropped as
            // queued operations are.
            return;
        }
        const bool was_empty = m_queue.empty();
        const std::uint32_t expiry = timer.expiry.load();
        m_queue[&timer].push_back(wait_op{expiry, function, context});
        // Signed distance: the earliest expiry is right across the wrap.
        if (was_empty || static_cast<std::int32_t>(expiry - m_earliest) < 0) {
            m_earliest = expiry;
            earlier = true;
        }
    }
    if (earlier && !m_iocp.on_io_thread())
        m_iocp.wake();   // the I/O thread may be asleep for longer than this wait
}

std::size_t i_select_reactor::cancel_waits(i_timer_impl& timer)
{
    std::vector<wait_op> waits;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        auto it = m_queue.find(&timer);
        if (it == m_queue.end())
            return 0;
        waits.swap(it->second);
        m_queue.erase(it);
    }
    for (const wait_op& op : waits)
        m_iocp.post(op.function, op.context, platform::err::operation_aborted);
    return waits.size();
}

std::size_t i_select_reactor::cancel_all()
{
    std::vector<wait_op> cancelled;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto& entry : m_queue) {
            entry.first->pending = 0;
            cancelled.insert(cancelled.end(), entry.second.begin(), entry.second.end());
        }
        m_queue.clear();
    }
    for (const wait_op& op : cancelled)
        m_iocp.post(op.function, op.context, platform::err::operation_aborted);
    return cancelled.size();
}

std::uint32_t i_select_reactor::expire_due(std::uint32_t now, std::uint32_t cap)
{
    std::vector<wait_op> due;
    std::uint32_t wait = cap;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        if (m_queue.empty())
            return cap;
        if (!platform::tick_reached(now, m_earliest))
            return std::min(cap, platform::tick_remaining(now, m_earliest));
        bool have_next = false;
        std::uint32_t next = 0;
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            auto& ops = it->second;
            for (std::size_t i = 0; i < ops.size();) {
                if (platform::tick_reached(now, ops[i].expiry)) {
                    due.push_back(ops[i]);
                    ops.erase(ops.begin() + static_cast<std::ptrdiff_t>(i));
                    continue;
                }
                if (!have_next || static_cast<std::int32_t>(ops[i].expiry - next) < 0)
                    next = ops[i].expiry;
                have_next = true;
                ++i;
            }
            if (ops.empty()) {
                it->first->pending = 0;
                it = m_queue.erase(it);
            } else {
                ++it;
            }
        }
        if (have_next) {
            m_earliest = next;
            wait = std::min(cap, platform::tick_remaining(now, next));
        }
    }
    for (const wait_op& op : due)
        m_iocp.post(op.function, op.context, 0);
    return wait;
}

std::size_t i_select_reactor::pending_waits()
{
    std::lock_guard<std::mutex> guard(m_lock);
    std::size_t n = 0;
    for (const auto& entry : m_queue)
        n += entry.second.size();
    return n;
}
