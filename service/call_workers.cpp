#include "service/call_workers.h"

#include <utility>

namespace kx2dll {

call_workers::call_workers(std::size_t max_threads, std::string name)
    : m_max_threads(max_threads == 0 ? 1 : max_threads), m_name(std::move(name))
{
}

call_workers::~call_workers()
{
    stop();
}

bool call_workers::post(std::function<void()> job)
{
    std::unique_lock<std::mutex> guard(m_lock);
    if (m_stopping)
        return false;
    m_jobs.push_back(std::move(job));
    if (m_idle >= m_jobs.size() || m_threads.size() >= m_max_threads) {
        guard.unlock();
        m_wake.notify_one();
        return true;
    }
    auto thread = std::make_unique<platform::Thread>();
    if (thread->start([this] { run(); }, m_name))
        m_threads.push_back(std::move(thread));
    else if (m_threads.empty())
        m_jobs.pop_back();   // nothing would ever run it
    const bool queued = !m_threads.empty();
    guard.unlock();
    m_wake.notify_one();
    return queued;
}

void call_workers::stop()
{
    std::vector<std::unique_ptr<platform::Thread>> threads;
    std::deque<std::function<void()>> dropped;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        m_stopping = true;
        dropped.swap(m_jobs);
        threads.swap(m_threads);
    }
    m_wake.notify_all();
    // Joined without the lock: a running job may post (and be refused).
    for (auto& t : threads)
        t->join();
}

void call_workers::run()
{
    std::unique_lock<std::mutex> guard(m_lock);
    for (;;) {
        ++m_idle;
        m_wake.wait(guard, [this] { return m_stopping || !m_jobs.empty(); });
        --m_idle;
        if (m_stopping)
            return;
        std::function<void()> job = std::move(m_jobs.front());
        m_jobs.pop_front();
        guard.unlock();
        job();
        job = nullptr;   // what the job holds goes before the next wait
        guard.lock();
    }
}

}   // namespace kx2dll
