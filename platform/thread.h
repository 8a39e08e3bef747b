// A thread with a bounded join. Nothing is ever terminated: every thread of
// the service polls a stop flag or event and ends within its bound, and a
// Thread object that still runs at destruction is joined, never abandoned,
// so nothing it uses is freed under it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace platform {

class Thread {
public:
    Thread() = default;
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Starts `body` on a new thread. False when a thread is already held or
    // the system refused to create one.
    bool start(std::function<void()> body, std::string name = {});

    // Waits up to `ms` milliseconds for the thread to end. True when it has
    // ended (or none was started); the handle is released then.
    bool join_for(std::uint32_t ms);

    // Waits without limit.
    void join();

    // True while a started thread has not been joined.
    bool joinable() const { return m_thread.joinable(); }

    // True while the body is running. Safe from any thread, also while
    // another one starts or joins this thread.
    bool running() const;

    std::thread::id id() const { return m_thread.get_id(); }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable cond;
        bool done = false;
    };
    std::shared_ptr<State> state() const;
    void set_state(std::shared_ptr<State> state);

    std::thread m_thread;
    mutable std::mutex m_state_lock;   // guards the m_state pointer for running()
    std::shared_ptr<State> m_state;
};

// A thread its owner starts and stops again from any thread (a logon
// attempt, a timer thread). Starts and stops are ordered by the slot's
// lock, which is never held while the thread is waited for: a stop raises
// the owner's stop flag under it, takes the thread out and joins it with
// no lock held. A start while a stop waits is refused; a second stop waits
// for the first to end, holding nothing.
class ThreadSlot {
public:
    enum class Started { yes, running, stopping, failed };

    ThreadSlot() = default;
    // Joins a thread still held; the owner stops it first.
    ~ThreadSlot() = default;
    ThreadSlot(const ThreadSlot&) = delete;
    ThreadSlot& operator=(const ThreadSlot&) = delete;

    // Starts `body` unless one runs or a stop waits for it. `prepare` runs
    // under the slot's lock just before the start (it clears the owner's
    // stop flag). The handle of an ended thread is let go of first. A start
    // while the body runs is remembered for carry_on.
    Started start(const std::function<void()>& prepare, std::function<void()> body, std::string name);

    // Runs `raise` under the lock (it sets the stop flag and wakes the
    // thread), then waits up to `bound_ms` for the thread; past that it
    // calls `late` and waits without limit. `reaped`, when given, then
    // runs with no lock held (after a join, before a start is allowed
    // again). Returns once the thread held has ended. Forgets a start
    // remembered for carry_on. Never from the thread itself.
    void stop(const std::function<void()>& raise, std::uint32_t bound_ms, const std::function<void()>& late,
              const std::function<void()>& reaped = {});

    // Runs `raise` under the lock and forgets a start remembered for
    // carry_on, without waiting; also from the thread itself. A later stop
    // or start lets go of the thread.
    void request_stop(const std::function<void()>& raise);

    // For a body that may be asked to go on after a stop request: called
    // by the body when it would return. True when a start came since the
    // last stop request; `resume` has then run under the lock (it clears
    // the stop flag) and the body goes on. False otherwise: from then on
    // the thread counts as ended, a start begins a new one, and the body
    // returns.
    bool carry_on(const std::function<void()>& resume);

    // True while the body runs, or a stop waits for it.
    bool running() const;

    // True while a thread is held, its body ended or not, or a stop waits
    // for it.
    bool held() const;

private:
    bool live() const;   // under m_lock: the body runs and has not chosen to end

    mutable std::mutex m_lock;
    std::condition_variable m_joined;
    std::unique_ptr<Thread> m_thread;
    bool m_joining = false;
    bool m_again = false;   // a start came while the body ran
    bool m_ended = false;   // the body held has chosen to end (carry_on)
};

// A small number naming the calling thread in logs.
std::uint32_t current_thread_id();

}   // namespace platform
