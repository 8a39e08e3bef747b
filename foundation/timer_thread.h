// Per-owner timer thread: the owner adds timers (id, interval, parameter),
// the thread calls the owner's ITimerEvent for each one that is due. It
// sleeps until the next timer falls due, or until a timer is added, killed
// or made due; with no timer it sleeps until one comes.
#pragma once

#include "platform/critical_section.h"
#include "platform/event.h"
#include "platform/thread.h"

#include <atomic>
#include <cstdint>
#include <vector>

// The owner's timer callback.
class ITimerEvent {
public:
    virtual ~ITimerEvent() = default;
    // Called on the timer thread for a due timer. True re-arms it at now
    // plus its interval, false removes it.
    virtual bool OnTimer(std::uint32_t timer_id, std::uintptr_t param) = 0;
};

class CTimerThread {
public:
    // Bound of Stop's wait for the thread, in milliseconds.
    static constexpr std::uint32_t stop_wait_ms = 3000;
    // How often the thread looks at its timers while the tick source is
    // replaced (its jumps wake nothing).
    static constexpr std::uint32_t poll_ms = 50;

    CTimerThread() = default;
    // Stops the thread.
    ~CTimerThread();
    CTimerThread(const CTimerThread&) = delete;
    CTimerThread& operator=(const CTimerThread&) = delete;

    // The object whose OnTimer is called; may be null (due timers are then
    // left as they are).
    void SetEventSink(ITimerEvent* sink);

    // Appends a timer due at once, starting the thread when it does not
    // run. Safe from inside OnTimer. A thread asked to stop whose last call
    // is still under way carries on with the new timer once that call has
    // returned (two calls never overlap). False when the thread cannot
    // start, or while a Stop is waiting for the thread (the timer is not
    // kept: that Stop clears the timers).
    bool AddTimer(std::uint32_t timer_id, std::uint32_t interval_ms, std::uintptr_t param);

    // Removes every timer with that id; true when one was removed. A call
    // already under way finishes, its result is ignored.
    bool KillTimer(std::uint32_t timer_id);

    // Makes every timer with that id due at once and wakes the thread; a
    // call of it under way is followed at once by another. True when one
    // was found.
    bool FireNow(std::uint32_t timer_id);

    // Number of timers held.
    std::size_t TimerCount() const;

    // True while a thread is held.
    bool IsRunning() const;

    // Sets the stop flag, wakes the thread and waits for it, then clears
    // the timers. The thread sees the flag at once and between two calls, so it ends within stop_wait_ms unless an OnTimer call itself
    // runs longer; then Stop logs that and waits for that call to return
    // rather than leave a thread running on its owner. No lock of this
    // object is held while it waits, so an OnTimer call may use every
    // other operation meanwhile. A second Stop meanwhile waits for the
    // first to end. From inside OnTimer it only asks the thread to stop
    // (and clears the timers). The object must not be destroyed from
    // inside its own OnTimer.
    void Stop();

    // Asks the thread to stop and clears the timers without waiting: a
    // call under way finishes, no other starts. For callers that must not
    // block (an event loop); Stop or the destructor still reaps the thread.
    void RequestStop();

    void check_invariant() const;

private:
    struct Timer {
        std::uint32_t id;
        std::uint32_t interval;
        std::uintptr_t param;
        std::uint32_t due;      // tick when the next call is due
        std::uint64_t serial;   // tells a re-added timer from the old one
        bool fire_now;          // FireNow came during the current call
    };

    void Run();
    // One pass over the due timers after another, until the stop flag.
    void RunPasses();
    // How long the thread may sleep after a pass.
    std::uint32_t WaitMs() const;
    bool IsOnTimerThread() const;
    void RemoveTimer(std::uint64_t serial);

    mutable CcsLocker m_lock;   // guards m_timers, m_sink, m_serial
    std::vector<Timer> m_timers;
    ITimerEvent* m_sink = nullptr;
    std::uint64_t m_serial = 0;
    std::vector<std::uint64_t> m_due;   // the thread's list of due serials, reused
    std::atomic<bool> m_stop{false};
    platform::Event m_wake;
    // Orders starts and stops and holds the thread; never locked while the
    // thread is waited for. The thread asks it whether to end: an add that
    // came after the stop request keeps it going.
    platform::ThreadSlot m_slot;
};
