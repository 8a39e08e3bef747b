#include "engine/storage_worker.h"

#include "net/io/io_service.h"

StorageWorker::~StorageWorker()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_io = nullptr;
    }
    m_wake.notify_all();
    // The thread runs what is queued before it ends: every item owns what
    // it writes and nothing posted is lost.
    m_thread.join();
    RunCompletions();
}

bool StorageWorker::Start()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_started)
        return true;
    m_started = m_thread.start([this] { Run(); }, "storage");
    return m_started;
}

bool StorageWorker::Started() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_started;
}

void StorageWorker::SetIoService(i_io_service* io)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_io = io;
    }
    m_idle.notify_all();
    if (!io)
        RunCompletions();
}

void StorageWorker::Post(Fn work, Fn done, std::size_t bytes)
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_started && !m_stop) {
            // A disk slower than the network holds the poster back here
            // rather than letting the backlog grow without bound.
            // (Without an I/O thread completions take the storage lock on
            // the worker, which the poster may hold: no wait then.)
            m_idle.wait(lock,
                        [&] { return !m_io || m_pending_bytes == 0 || m_pending_bytes + bytes <= kMaxPendingBytes; });
            // Only a sleeping thread is signalled (once): a busy one looks
            // at the queue under the lock before it sleeps, and a signal per
            // block would cost the network thread a wake-up each.
            const bool wake = m_sleeping;
            m_sleeping = false;
            m_pending_bytes += bytes;
            m_queue.push_back(Item{std::move(work), std::move(done), bytes});
            lock.unlock();
            if (wake)
                m_wake.notify_one();
            return;
        }
    }
    Item item{std::move(work), std::move(done), 0};
    if (item.work)
        item.work();
    if (item.done)
        item.done();
}

void StorageWorker::Drain()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [&] { return m_queue.empty() && m_running == 0; });
}

void StorageWorker::Run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        while (!m_stop && m_queue.empty()) {
            m_sleeping = true;
            m_wake.wait(lock);
            m_sleeping = false;
        }
        if (m_queue.empty())
            return;   // stopping, and nothing left
        Item item = std::move(m_queue.front());
        m_queue.pop_front();
        ++m_running;
        lock.unlock();
        if (item.work)
            item.work();
        item.work = nullptr;
        Finish(item);
        lock.lock();
        --m_running;
        m_pending_bytes -= item.bytes;
        m_idle.notify_all();
    }
}

// Hands the completion to the I/O thread, or runs it here without one.
void StorageWorker::Finish(Item& item)
{
    if (!item.done)
        return;
    i_io_service* io = nullptr;
    bool post = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        io = m_io;
        if (io) {
            m_completions.push_back(std::move(item.done));
            post = !m_io_posted;
            m_io_posted = true;
        }
    }
    if (!io) {
        // Earlier completions still waiting for the I/O thread go first.
        RunCompletions();
        std::lock_guard<std::mutex> order(m_completion_run);
        item.done();
        return;
    }
    if (post && io->post(&StorageWorker::OnIo, this) != 0) {
        // The I/O service refuses posts once shut down: run them here.
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_io_posted = false;
        }
        RunCompletions();
    }
}

void StorageWorker::OnIo(void* context, const i_error_code& /*error*/)
{
    // Also when cancelled: the completions release what their work held.
    static_cast<StorageWorker*>(context)->RunCompletions();
}

void StorageWorker::RunCompletions()
{
    std::lock_guard<std::mutex> order(m_completion_run);
    for (;;) {
        std::deque<Fn> batch;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_completions.empty()) {
                m_io_posted = false;
                return;
            }
            batch.swap(m_completions);
        }
        for (Fn& fn : batch)
            fn();
    }
}
