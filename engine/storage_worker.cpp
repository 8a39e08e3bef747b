#include "engine/storage_worker.h"

#include "net/io/io_service.h"

#include <algorithm>
#include <thread>

StorageWorker::~StorageWorker()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_io = nullptr;
    }
    m_wake.notify_all();
    // The threads run what is queued before they end: every item owns what
    // it writes and nothing posted is lost.
    for (auto& t : m_threads)
        t->join();
    RunCompletions();
}

bool StorageWorker::Start()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_started)
        return true;
    // At least two, so that one channel's slow disk work never holds back
    // another's.
    const std::size_t want =
        std::max<std::size_t>(2, std::min<std::size_t>(kMaxThreads, std::thread::hardware_concurrency() / 2));
    while (m_threads.size() < want) {
        auto thread = std::make_unique<platform::Thread>();
        if (!thread->start([this] { Run(); }, "storage"))
            break;
        m_threads.push_back(std::move(thread));
    }
    m_started = !m_threads.empty();
    return m_started;
}

bool StorageWorker::Started() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_started;
}

std::size_t StorageWorker::Threads() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_threads.size();
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

bool StorageWorker::Conflict(const Key& a, const Key& b)
{
    if (a.piece == kWholeChannel && a.channel == 0)
        return true;   // ordered with everything
    if (b.piece == kWholeChannel && b.channel == 0)
        return true;
    return a.channel == b.channel && (a.piece == b.piece || a.piece == kWholeChannel || b.piece == kWholeChannel);
}

void StorageWorker::Post(Key key, Fn work, Fn done, std::size_t bytes)
{
    {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (m_started && !m_stop) {
            Load& load = m_load[key.channel];
            load.bytes += bytes;
            ++load.items;
            m_order.push_back(Slot{key, false, false, std::move(done)});
            m_queue.push_back(Item{key, std::move(work), bytes, &m_order.back()});
            // Only a thread that sleeps is signalled: a busy one looks at
            // the queue under the lock before it sleeps, and a signal per
            // block would cost the network thread a wake-up each.
            if (m_sleeping == 0)
                return;
            lock.unlock();
            m_wake.notify_one();
            return;
        }
    }
    if (work)
        work();
    if (done)
        done();
}

void StorageWorker::Drain()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [&] { return m_queue.empty() && m_running.empty(); });
}

void StorageWorker::WaitRoom(std::uint64_t channel)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    // A disk slower than the network holds its channel's feeder back here
    // rather than letting the backlog grow without bound. (Without an I/O
    // thread completions take the storage lock on the worker: no wait.)
    m_idle.wait(lock, [&] {
        auto load = m_load.find(channel);
        return !m_started || m_stop || !m_io || load == m_load.end() || load->second.bytes < kMaxPendingBytes;
    });
}

void StorageWorker::Drain(std::uint64_t channel)
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [&] { return m_load.count(channel) == 0; });
}

// An item may run when nothing it must follow is running or queued ahead
// of it, and its channel leaves a thread to the others.
std::deque<StorageWorker::Item>::iterator StorageWorker::NextRunnable()
{
    const std::size_t most = m_threads.size() > 1 ? m_threads.size() - 1 : 1;
    for (auto it = m_queue.begin(); it != m_queue.end(); ++it) {
        const Key& key = it->key;
        const bool blocked =
            m_load[key.channel].running >= most ||
            std::any_of(m_running.begin(), m_running.end(), [&](const Key& k) { return Conflict(k, key); }) ||
            std::any_of(m_queue.begin(), it, [&](const Item& earlier) { return Conflict(earlier.key, key); });
        if (!blocked)
            return it;
        // Past a few blocked items the rest waits: the queue is looked at
        // on every pick, and the items ahead go first anyway.
        if (it - m_queue.begin() >= 64)
            break;
    }
    return m_queue.end();
}

void StorageWorker::Run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        auto it = NextRunnable();
        if (it == m_queue.end()) {
            if (m_stop && m_queue.empty())
                return;   // stopping, and nothing left
            ++m_sleeping;
            m_wake.wait(lock);
            --m_sleeping;
            continue;
        }
        Item item = std::move(*it);
        m_queue.erase(it);
        m_running.push_back(item.key);
        ++m_load[item.key.channel].running;
        // More may be runnable than this thread takes.
        const bool more = !m_queue.empty() && m_sleeping > 0;
        lock.unlock();
        if (more)
            m_wake.notify_one();
        if (item.work)
            item.work();
        item.work = nullptr;
        Finish(item);
        lock.lock();
        m_running.erase(std::find_if(m_running.begin(), m_running.end(), [&](const Key& k) {
            return k.channel == item.key.channel && k.piece == item.key.piece;
        }));
        auto load = m_load.find(item.key.channel);
        load->second.bytes -= item.bytes;
        --load->second.running;
        if (--load->second.items == 0)
            m_load.erase(load);
        m_idle.notify_all();
        // What this item held back may run now on the other threads too.
        if (m_stop || (!m_queue.empty() && m_sleeping > 0))
            m_wake.notify_all();
    }
}

// Queues the completions that are now next in posting order for the I/O
// thread, or runs them here without one.
void StorageWorker::Finish(Item& item)
{
    i_io_service* io = nullptr;
    bool post = false;
    bool any = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        item.slot->finished = true;
        any = ReleaseCompletions();
        io = m_io;
        if (io && any) {
            post = !m_io_posted;
            m_io_posted = true;
        }
    }
    if (!any)
        return;
    if (!io) {
        RunCompletions();
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

bool StorageWorker::ReleaseCompletions()
{
    bool any = false;
    std::vector<Key> waiting;   // keys of unfinished items met so far
    for (Slot& slot : m_order) {
        if (!slot.finished) {
            waiting.push_back(Key{slot.key.channel, kWholeChannel});
            continue;
        }
        if (slot.released ||
            std::any_of(waiting.begin(), waiting.end(), [&](const Key& k) { return Conflict(k, slot.key); }))
            continue;
        slot.released = true;
        if (slot.done) {
            m_completions.push_back(std::move(slot.done));
            any = true;
        }
    }
    while (!m_order.empty() && m_order.front().released)
        m_order.pop_front();
    return any;
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
