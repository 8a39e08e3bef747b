#include "engine/piece_hash_worker.h"

#include <algorithm>
#include <thread>

namespace {

// Hashed per hold of a piece's mutex, so that the writer finishing the
// piece waits for at most this much of the worker's work.
constexpr std::uint32_t kSlice = 128 * 1024;

}   // namespace

void PieceHash::Advance()
{
    for (;;) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::uint32_t ready = std::min(Ready(), m_length);
        if (!m_data || m_hashed >= ready)
            return;
        const std::uint32_t n = std::min(ready - m_hashed, kSlice);
        m_md5.update(m_data + m_hashed, n);
        m_hashed += n;
    }
}

void PieceHash::Finish(unsigned char digest[kMd5DigestSize])
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_data && m_hashed < m_length)
        m_md5.update(m_data + m_hashed, m_length - m_hashed);
    m_hashed = m_length;
    m_data = nullptr;
    m_md5.final(digest);
}

void PieceHash::Detach()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_data = nullptr;
}

void PieceHash::Park()
{
    Advance();
    Detach();
}

void PieceHash::Attach(const std::uint8_t* data)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_data = data;
}

PieceHashWorker::~PieceHashWorker()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    // Each body hashes one slice at a time and looks at the flag between.
    for (auto& t : m_threads)
        t->join();
}

std::size_t PieceHashWorker::MaxThreads()
{
    // Looked up once: it reads the system's CPU list, and Post asks per block.
    static const std::size_t max_threads = [] {
        const unsigned cores = std::thread::hardware_concurrency();
        return std::size_t(std::min(std::max(cores, 1u), 16u));
    }();
    return max_threads;
}

std::size_t PieceHashWorker::Threads() const
{
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_threads.size();
}

void PieceHashWorker::Post(const std::shared_ptr<PieceHash>& hash)
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stop || hash->m_queued)
            return;
        if (m_idle <= m_queue.size() && m_threads.size() < MaxThreads()) {
            auto thread = std::make_unique<platform::Thread>();
            if (thread->start([this] { Run(); }, "piece hash"))
                m_threads.push_back(std::move(thread));
        }
        if (m_threads.empty())
            return;   // the writer hashes everything itself
        hash->m_queued = true;
        m_queue.push_back(hash);
        // Busy threads look at the queue under the lock before they wait:
        // only an idle one needs the signal (a syscall per block otherwise).
        if (m_idle == 0)
            return;
    }
    m_wake.notify_one();
}

void PieceHashWorker::Run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        if (m_queue.empty()) {
            ++m_idle;
            m_wake.wait(lock, [&] { return m_stop || !m_queue.empty(); });
            --m_idle;
            continue;
        }
        std::shared_ptr<PieceHash> hash = std::move(m_queue.front());
        m_queue.pop_front();
        hash->m_queued = false;
        lock.unlock();
        hash->Advance();
        hash.reset();
        lock.lock();
    }
}
