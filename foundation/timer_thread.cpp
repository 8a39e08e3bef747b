#include "foundation/timer_thread.h"

#include "platform/debug_output.h"
#include "platform/tick.h"
#include "platform/invariant.h"

CTimerThread::~CTimerThread()
{
    Stop();
}

void CTimerThread::SetEventSink(ITimerEvent* sink)
{
    CScopedLock g(m_lock);
    m_sink = sink;
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
    std::unique_ptr<platform::Thread> ended;
    bool started = true;
    {
        std::lock_guard<std::mutex> g(m_thread_lock);
        if (m_joining) {
            started = false;   // the Stop waiting for the thread clears the timers
        } else if (m_thread && !m_ended) {
            // Still in its loop, or asked to stop and finishing a call: it
            // decides under this lock whether to end, and now carries on.
            if (m_stop.load())
                m_restart = true;
            return true;
        } else {
            // An ended thread is let go of here and joined below, with no
            // lock held; its body has returned, so that join is immediate.
            ended = std::move(m_thread);
            m_ended = false;
            m_restart = false;
            m_stop.store(false);
            m_thread = std::make_unique<platform::Thread>();
            if (!m_thread->start([this] { Run(); }, "timer")) {
                m_thread.reset();
                started = false;
            }
        }
    }
    ended.reset();
    if (!started)
        RemoveTimer(serial);
    return started;
}

bool CTimerThread::KillTimer(std::uint32_t timer_id)
{
    CScopedLock g(m_lock);
    const std::size_t before = m_timers.size();
    for (std::size_t i = 0; i < m_timers.size();) {
        if (m_timers[i].id == timer_id)
            m_timers.erase(m_timers.begin() + static_cast<std::ptrdiff_t>(i));
        else
            ++i;
    }
    return m_timers.size() != before;
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
    std::lock_guard<std::mutex> g(m_thread_lock);
    return m_thread != nullptr || m_joining;
}

void CTimerThread::RequestStop()
{
    {
        std::lock_guard<std::mutex> g(m_thread_lock);
        m_restart = false;
        m_stop.store(true);
    }
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
    std::unique_ptr<platform::Thread> thread;
    {
        std::unique_lock<std::mutex> g(m_thread_lock);
        if (m_joining) {
            // Another Stop waits for the thread: this one returns when it has.
            m_joined.wait(g, [this] { return !m_joining; });
            return;
        }
        // Raised under the lock: an add on another thread then either came
        // before (its timer is cleared below) or sees the Stop under way.
        m_restart = false;
        m_stop.store(true);
        thread = std::move(m_thread);
        m_ended = false;
        m_joining = thread != nullptr;
    }
    m_wake.set();
    if (thread && !thread->join_for(stop_wait_ms)) {
        platform::debug_output("CTimerThread::Stop - a timer call outlasts the stop bound; waiting for it\n");
        thread->join();
    }
    {
        CScopedLock t(m_lock);
        m_timers.clear();
    }
    std::lock_guard<std::mutex> g(m_thread_lock);
    m_joining = false;
    m_joined.notify_all();
}

void CTimerThread::Run()
{
    t_timer_of = this;
    for (;;) {
        RunPasses();
        // An add that came after the stop request keeps the thread; the
        // decision is taken under the start lock, so that add either sees
        // the thread ended or is served by it.
        std::lock_guard<std::mutex> g(m_thread_lock);
        if (!m_restart) {
            m_ended = true;
            break;
        }
        m_restart = false;
        m_stop.store(false);
    }
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
        m_wake.wait(poll_ms);
    }
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
