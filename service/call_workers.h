// A bounded set of worker threads that run posted jobs in the order they
// were posted: the front end's way to let a call wait (for the task server,
// for the engine) without holding up the thread that posted it.
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <condition_variable>
#include <string>
#include <vector>

#include "platform/thread.h"

namespace kx2dll {

class call_workers {
public:
    // At most `max_threads` threads, named `name`, started as jobs wait
    // and no thread is idle.
    call_workers(std::size_t max_threads, std::string name);
    // stop().
    ~call_workers();

    call_workers(const call_workers&) = delete;
    call_workers& operator=(const call_workers&) = delete;

    // Queues a job (any thread). False once stop() has begun: the job is
    // dropped.
    bool post(std::function<void()> job);

    // Drops the jobs not begun, waits for those running (each ends within
    // its own bound) and joins the threads. Never call it from a job.
    void stop();

private:
    void run();

    const std::size_t m_max_threads;
    const std::string m_name;
    std::mutex m_lock;   // guards everything below
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    std::vector<std::unique_ptr<platform::Thread>> m_threads;
    std::size_t m_idle = 0;   // threads waiting for a job
    bool m_stopping = false;
};

}   // namespace kx2dll
