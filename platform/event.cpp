#include "platform/event.h"

#include <chrono>

namespace platform {

Event::Event(Reset mode, bool initially_set) : m_manual(mode == Reset::manual), m_set(initially_set) {}

void Event::set()
{
    {
        std::lock_guard<std::mutex> g(m_mutex);
        m_set = true;
    }
    if (m_manual)
        m_cond.notify_all();
    else
        m_cond.notify_one();
}

void Event::reset()
{
    std::lock_guard<std::mutex> g(m_mutex);
    m_set = false;
}

bool Event::is_set() const
{
    std::lock_guard<std::mutex> g(m_mutex);
    return m_set;
}

bool Event::wait(std::uint32_t ms)
{
    std::unique_lock<std::mutex> g(m_mutex);
    auto ready = [this] { return m_set; };
    if (ms == infinite)
        m_cond.wait(g, ready);
    else if (!m_cond.wait_for(g, std::chrono::milliseconds(ms), ready))
        return false;
    if (!m_manual)
        m_set = false;
    return true;
}

}   // namespace platform
