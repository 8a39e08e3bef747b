#include "foundation/timer_thread.h"

#include "platform/debug_output.h"
#include "platform/tick.h"
#include "platform/tick_source.h"
#include "platform/invariant.h"

#include <algorithm>

CTimerThread::~CTimerThread()
{
    Stop();
}

void CTimerThread::SetEventSink(ITimerEvent* sink)
{
    {
        CScopedLock g(m_lock);
        m_sink = sink;
    }
    m_wake.set();
}

namespace {
// The timer whose thread this is, null on every other thread.
thread_local const CTimerThread* t_timer_of = nullptr;
}   // namespace

bool CTimerThread::IsOnTimerThread() const
{
    return t_timer_of == this;
}

void CTimerThread::RemoveTimer(std::uint64_t serial)
{
    CScopedLock t(m_lock);
    for (std::size_t i = 0; i < m_timers.size(); ++i)
        if (m_timers[i].serial == serial) {
            m_timers.erase(m_timers.begin() + static_cast<std::ptrdiff_t>(i));
            return;
        }
}

bool CTimerThread::AddTimer(std::uint32_t timer_id, std::uint32_t interval_ms, std::uintptr_t param)
{
    std::uint64_t serial = 0;
    {
        CScopedLock g(m_lock);
        serial = ++m_serial;
        m_timers.push_back(Timer{timer_id, interval_ms, param, platform::tick_count(), serial, false});
    }
    m_wake.set();
    if (IsOnTimerThread())
        return true;   // the thread runs: it is calling us
    // A thread still in its loop, or asked to stop and finishing a call,
    // is told to carry on with the new timer; an ended one is replaced.
    switch (m_slot.start([this] { m_stop.store(false); }, [this] { Run(); }, "timer")) {
    case platform::ThreadSlot::Started::yes:
    case platform::ThreadSlot::Started::running:
        return true;
    case platform::ThreadSlot::Started::stopping:   // that Stop clears the timers
    case platform::ThreadSlot::Started::failed:
        break;
    }
    RemoveTimer(serial);
    return false;
}

bool CTimerThread::KillTimer(std::uint32_t timer_id)
{
    bool removed = false;
    {
        CScopedLock g(m_lock);
        const std::size_t before = m_timers.size();
        for (std::size_t i = 0; i < m_timers.size();) {
            if (m_timers[i].id == timer_id)
                m_timers.erase(m_timers.begin() + static_cast<std::ptrdiff_t>(i));
            else
                ++i;
        }
        removed = m_timers.size() != before;
    }
    // The thread's sleep was timed for the timer just removed.
    if (removed)
        m_wake.set();
    return removed;
}

bool CTimerThread::FireNow(std::uint32_t timer_id)
{
    bool found = false;
    {
        CScopedLock g(m_lock);
        const std::uint32_t now = platform::tick_count();
        for (Timer& t : m_timers) {
            if (t.id != timer_id)
                continue;
            t.due = now;
            t.fire_now = true;
            found = true;
        }
    }
    if (found)
        m_wake.set();
    return found;
}

std::size_t CTimerThread::TimerCount() const
{
    CScopedLock g(m_lock);
    return m_timers.size();
}

bool CTimerThread::IsRunning() const
{
    if (IsOnTimerThread())
        return true;
    return m_slot.held();
}

void CTimerThread::RequestStop()
{
    // Raised under the start lock, so an add that came before is not taken
    // for one that came after.
    m_slot.request_stop([this] { m_stop.store(true); });
    m_wake.set();
    CScopedLock g(m_lock);
    m_timers.clear();
}

void CTimerThread::Stop()
{
    if (IsOnTimerThread()) {
        RequestStop();
        return;
    }
    // Raised under the start lock: an add on another thread then either came
    // before (its timer is cleared) or sees the Stop under way.
    const auto raise = [this] {
        m_stop.store(true);
        m_wake.set();
    };
    m_slot.stop(
        raise, stop_wait_ms,
        [] { platform::debug_output("CTimerThread::Stop - a timer call outlasts the stop bound; waiting for it\n"); },
        [this] {
            CScopedLock t(m_lock);
            m_timers.clear();
        });
}

void CTimerThread::Run()
{
    t_timer_of = this;
    do
        RunPasses();
    while (m_slot.carry_on([this] { m_stop.store(false); }));
    t_timer_of = nullptr;
}

void CTimerThread::RunPasses()
{
    while (!m_stop.load()) {
        m_due.clear();
        {
            CScopedLock g(m_lock);
            const std::uint32_t now = platform::tick_count();
            for (const Timer& t : m_timers)
                if (platform::tick_reached(now, t.due))
                    m_due.push_back(t.serial);
        }
        // Each due timer is called once per pass, outside the lock, so a
        // callback may add or kill timers; one killed meanwhile is skipped.
        for (std::uint64_t serial : m_due) {
            if (m_stop.load())
                break;
            Timer t{};
            ITimerEvent* sink = nullptr;
            {
                CScopedLock g(m_lock);
                for (Timer& x : m_timers)
                    if (x.serial == serial) {
                        x.fire_now = false;
                        t = x, sink = m_sink;
                    }
            }
            if (!sink)
                continue;
            const bool keep = sink->OnTimer(t.id, t.param);
            CScopedLock g(m_lock);
            for (std::size_t i = 0; i < m_timers.size(); ++i) {
                if (m_timers[i].serial != serial)
                    continue;
                if (keep && m_timers[i].fire_now)
                    m_timers[i].due = platform::tick_count();   // asked for again meanwhile
                else if (keep)
                    m_timers[i].due = platform::tick_count() + m_timers[i].interval;
                else
                    m_timers.erase(m_timers.begin() + static_cast<std::ptrdiff_t>(i));
                break;
            }
        }
        if (m_stop.load())
            break;
        m_wake.wait(WaitMs());
    }
}

std::uint32_t CTimerThread::WaitMs() const
{
    CScopedLock g(m_lock);
    // Without a sink due timers stay as they are: nothing to do until a
    // sink or a timer comes, each of which wakes the thread.
    if (!m_sink || m_timers.empty())
        return platform::infinite;
    const std::uint32_t now = platform::tick_count();
    std::uint32_t wait = platform::infinite;
    for (const Timer& t : m_timers)
        wait = std::min(wait, platform::tick_remaining(now, t.due));
    // A replaced clock moves by itself: look again as often as before.
    return platform::tick_source_replaced() ? std::min(wait, poll_ms) : wait;
}

void CTimerThread::check_invariant() const
{
#if defined(VR_INVARIANTS)
    CScopedLock g(m_lock);
    for (std::size_t i = 0; i < m_timers.size(); ++i) {
        VR_INVARIANT(m_timers[i].serial != 0 && m_timers[i].serial <= m_serial);
        for (std::size_t j = i + 1; j < m_timers.size(); ++j)
            VR_INVARIANT(m_timers[i].serial != m_timers[j].serial);
    }
#endif
}
