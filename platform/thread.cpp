#include "platform/thread.h"

#include <chrono>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

Thread::~Thread() { join(); }

bool Thread::start(std::function<void()> body, std::string name)
{
    if (m_thread.joinable())
        return false;
    auto state = std::make_shared<State>();
    try {
        m_thread = std::thread([state, body = std::move(body), name = std::move(name)] {
            if (!name.empty())
                pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());
            body();
            std::lock_guard<std::mutex> g(state->mutex);
            state->done = true;
            state->cond.notify_all();
        });
    } catch (const std::system_error&) {
        return false;
    }
    m_state = std::move(state);
    return true;
}

bool Thread::join_for(std::uint32_t ms)
{
    if (!m_thread.joinable())
        return true;
    if (m_thread.get_id() == std::this_thread::get_id())
        return false; // a thread cannot wait for itself
    {
        std::unique_lock<std::mutex> g(m_state->mutex);
        if (!m_state->cond.wait_for(g, std::chrono::milliseconds(ms), [&] { return m_state->done; }))
            return false;
    }
    m_thread.join();
    m_state.reset();
    return true;
}

void Thread::join()
{
    if (!m_thread.joinable())
        return;
    if (m_thread.get_id() == std::this_thread::get_id()) {
        // Destroyed from its own body: let it finish by itself.
        m_thread.detach();
        m_state.reset();
        return;
    }
    m_thread.join();
    m_state.reset();
}

bool Thread::running() const
{
    if (!m_state)
        return false;
    std::lock_guard<std::mutex> g(m_state->mutex);
    return !m_state->done;
}

std::uint32_t current_thread_id() { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); }

} // namespace platform
