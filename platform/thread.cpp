#include "platform/thread.h"

#include <chrono>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace platform {

Thread::~Thread()
{
    join();
}

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
    set_state(std::move(state));
    return true;
}

bool Thread::join_for(std::uint32_t ms)
{
    if (!m_thread.joinable())
        return true;
    if (m_thread.get_id() == std::this_thread::get_id())
        return false;   // a thread cannot wait for itself
    {
        const std::shared_ptr<State> s = state();
        std::unique_lock<std::mutex> g(s->mutex);
        if (!s->cond.wait_for(g, std::chrono::milliseconds(ms), [&] { return s->done; }))
            return false;
    }
    m_thread.join();
    set_state(nullptr);
    return true;
}

void Thread::join()
{
    if (!m_thread.joinable())
        return;
    if (m_thread.get_id() == std::this_thread::get_id()) {
        // Destroyed from its own body: let it finish by itself.
        m_thread.detach();
        set_state(nullptr);
        return;
    }
    m_thread.join();
    set_state(nullptr);
}

bool Thread::running() const
{
    const std::shared_ptr<State> s = state();
    if (!s)
        return false;
    std::lock_guard<std::mutex> g(s->mutex);
    return !s->done;
}

std::shared_ptr<Thread::State> Thread::state() const
{
    std::lock_guard<std::mutex> g(m_state_lock);
    return m_state;
}

void Thread::set_state(std::shared_ptr<State> state)
{
    std::lock_guard<std::mutex> g(m_state_lock);
    m_state = std::move(state);
}

bool ThreadSlot::live() const
{
    return m_thread && !m_ended && m_thread->running();
}

ThreadSlot::Started ThreadSlot::start(const std::function<void()>& prepare, std::function<void()> body,
                                      std::string name)
{
    std::unique_ptr<Thread> ended;
    Started result = Started::yes;
    {
        std::lock_guard<std::mutex> g(m_lock);
        if (m_joining)
            return Started::stopping;
        if (live()) {
            m_again = true;
            return Started::running;
        }
        ended = std::move(m_thread);
        m_ended = false;
        m_again = false;
        prepare();
        m_thread = std::make_unique<Thread>();
        if (!m_thread->start(std::move(body), std::move(name))) {
            m_thread.reset();
            result = Started::failed;
        }
    }
    ended.reset();   // its body has returned, or is about to: the join is immediate
    return result;
}

void ThreadSlot::stop(const std::function<void()>& raise, std::uint32_t bound_ms, const std::function<void()>& late,
                      const std::function<void()>& reaped)
{
    std::unique_ptr<Thread> thread;
    {
        std::unique_lock<std::mutex> g(m_lock);
        if (m_joining) {
            m_joined.wait(g, [this] { return !m_joining; });
            return;
        }
        raise();
        m_again = false;
        thread = std::move(m_thread);
        m_joining = thread != nullptr;
    }
    if (thread && !thread->join_for(bound_ms)) {
        late();
        thread->join();
    }
    if (reaped)
        reaped();
    if (!thread)
        return;
    std::lock_guard<std::mutex> g(m_lock);
    m_ended = false;
    m_joining = false;
    m_joined.notify_all();
}

void ThreadSlot::request_stop(const std::function<void()>& raise)
{
    std::lock_guard<std::mutex> g(m_lock);
    raise();
    m_again = false;
}

bool ThreadSlot::carry_on(const std::function<void()>& resume)
{
    std::lock_guard<std::mutex> g(m_lock);
    if (!m_again) {
        m_ended = true;
        return false;
    }
    m_again = false;
    resume();
    return true;
}

bool ThreadSlot::running() const
{
    std::lock_guard<std::mutex> g(m_lock);
    return live() || m_joining;
}

bool ThreadSlot::held() const
{
    std::lock_guard<std::mutex> g(m_lock);
    return m_thread != nullptr || m_joining;
}

std::uint32_t current_thread_id()
{
    return static_cast<std::uint32_t>(::syscall(SYS_gettid));
}

}   // namespace platform
