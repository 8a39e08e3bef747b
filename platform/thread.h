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

// A small number naming the calling thread in logs.
std::uint32_t current_thread_id();

}   // namespace platform
