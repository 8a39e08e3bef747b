#include "engine/piece_hash_worker.h"

#include <algorithm>
#include <thread>

namespace {

// Hashed per hold of a piece's mutex, so that the writer finishing the
// piece waits for at most this much of the worker's work.
constexpr std::uint32_t kSlice = 128 * 1024;

}   // namespace

const std::uint8_t* PieceHash::Span(std::uint32_t offset, std::uint32_t& contiguous) const
{
    contiguous = 0;
    if (m_data) {
        contiguous = m_length - offset;
        return m_data + offset;
    }
    if (!m_units || offset >= m_length)
        return nullptr;
    const std::uint8_t* p = m_units->At(offset);
    if (p)
        contiguous = m_units->UnitEnd(PieceBuffer::UnitOf(offset)) - offset;
    return p;
}

void PieceHash::Add(std::uint32_t n)
{
    std::uint32_t contiguous = 0;
    const std::uint8_t* p = Span(m_hashed, contiguous);
    m_md5.Update(p, n);
    m_hashed += n;
    m_done.store(m_hashed, std::memory_order_release);
}

void PieceHash::Advance()
{
    for (;;) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::uint32_t ready = std::min(Ready(), m_length);
        std::uint32_t contiguous = 0;
        if (m_hashed >= ready || !Span(m_hashed, contiguous))
            return;
        Add(std::min({ready - m_hashed, kSlice, contiguous}));
    }
}

void PieceHash::Finish(unsigned char digest[kMd5DigestSize])
{
    std::lock_guard<std::mutex> lock(m_mutex);
    std::uint32_t contiguous = 0;
    while (m_hashed < m_length && Span(m_hashed, contiguous))
        Add(std::min(m_length - m_hashed, contiguous));
    m_hashed = m_length;
    m_done.store(m_hashed, std::memory_order_release);
    m_data = nullptr;
    m_units.reset();
    m_md5.Final(digest);
}

void PieceHash::Detach()
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_data = nullptr;
    m_units.reset();
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
    m_units.reset();
}

void PieceHash::Attach(std::shared_ptr<const PieceBuffer> units)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_data = nullptr;
    m_units = std::move(units);
}

PieceHashWorker::~PieceHashWorker()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        m_queue.clear();
    }
    m_wake.notify_all();
    // Each body hashes one slice of each of its lanes at a time and looks
    // at the flag between.
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
        // A thread at work takes queued hashes into its free lanes between
        // two rounds (well under a millisecond): another thread is woken,
        // or started, only when none is at work or a whole set of lanes
        // waits, so that pieces share the lanes of few threads rather than
        // each keeping a thread of its own busy.
        const std::size_t width = Md5LaneWidth();
        const std::size_t queued = m_queue.size() + 1;
        const bool at_work = m_threads.size() > m_idle;
        const bool wake = !at_work || queued >= width;
        if (wake && m_idle * width < queued && m_threads.size() < MaxThreads()) {
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
        if (!wake || m_idle == 0)
            return;
    }
    m_wake.notify_one();
}

void PieceHashWorker::Queue(const std::shared_ptr<PieceHash>& hash)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_stop || hash->m_queued || Md5LaneWidth() < 2)
        return;
    hash->m_queued = true;
    m_queue.push_back(hash);
}

void PieceHashWorker::Finish(PieceHash& hash, unsigned char digest[kMd5DigestSize])
{
    std::vector<std::shared_ptr<PieceHash>> lanes;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::size_t width = Md5LaneWidth();
        for (auto it = m_queue.begin(); it != m_queue.end();) {
            PieceHash& h = **it;
            const bool self = &h == &hash;
            // Held by the queue alone: its writer let it go.
            if (it->use_count() == 1) {
                h.m_queued = false;
                it = m_queue.erase(it);
                continue;
            }
            if (!self && (h.Ready() < h.m_length || lanes.size() + 1 >= width)) {
                ++it;
                continue;
            }
            h.m_queued = false;
            if (!self)
                lanes.push_back(std::move(*it));
            it = m_queue.erase(it);
        }
    }
    if (!lanes.empty()) {
        // `hash` joins through a share that does not own it: the caller
        // holds it until Finish returns.
        lanes.emplace_back(std::shared_ptr<PieceHash>(), &hash);
        while (!lanes.empty())
            AdvanceTogether(lanes);
    }
    hash.Finish(digest);
}

void PieceHashWorker::AdvanceTogether(std::vector<std::shared_ptr<PieceHash>>& lanes)
{
    std::uint32_t target[kMd5MaxLanes];   // where each lane stops this round
    for (std::size_t i = 0; i < lanes.size();) {
        PieceHash& h = *lanes[i];
        // Whoever holds a hash goes on from where it is: the writer
        // finishing or detaching it, or another worker thread.
        bool keep = h.m_mutex.try_lock();
        if (keep) {
            const std::uint32_t ready = std::min(h.Ready(), h.m_length);
            std::uint32_t contiguous = 0;
            keep = ready > h.m_hashed && h.Span(h.m_hashed, contiguous);
            // A round stays within one unit of a piece held in units.
            if (keep)
                target[i] = h.m_hashed + std::min({ready - h.m_hashed, kSlice, contiguous});
            else
                h.m_mutex.unlock();
        }
        if (!keep) {
            lanes[i] = std::move(lanes.back());
            lanes.pop_back();
            continue;
        }
        // A partial block first, so that every lane starts on a block.
        const std::size_t tail = h.m_md5.TailLength();
        if (tail != 0) {
            h.Add(std::min(std::uint32_t(kMd5BlockSize - tail), target[i] - h.m_hashed));
        }
        ++i;
    }
    // Side by side over the blocks every lane has, again without the lanes
    // that ran out, until one is left (which goes on alone).
    for (;;) {
        Md5State* states[kMd5MaxLanes];
        const std::uint8_t* data[kMd5MaxLanes];
        std::size_t which[kMd5MaxLanes];
        std::size_t n = 0;
        std::uint32_t blocks = UINT32_MAX;
        for (std::size_t i = 0; i < lanes.size(); ++i) {
            PieceHash& h = *lanes[i];
            const std::uint32_t left = (target[i] - h.m_hashed) / kMd5BlockSize;
            if (left == 0)
                continue;
            std::uint32_t contiguous = 0;
            states[n] = &h.m_md5;
            data[n] = h.Span(h.m_hashed, contiguous);
            which[n++] = i;
            blocks = std::min(blocks, left);
        }
        if (n == 0)
            break;
        Md5AdvanceLanes(states, data, n, blocks);
        for (std::size_t k = 0; k < n; ++k) {
            PieceHash& h = *lanes[which[k]];
            h.m_hashed += blocks * std::uint32_t(kMd5BlockSize);
            h.m_done.store(h.m_hashed, std::memory_order_release);
        }
    }
    for (std::size_t i = 0; i < lanes.size(); ++i) {
        PieceHash& h = *lanes[i];
        if (target[i] > h.m_hashed)
            h.Add(target[i] - h.m_hashed);
        h.m_mutex.unlock();
    }
}

void PieceHashWorker::Run()
{
    std::vector<std::shared_ptr<PieceHash>> lanes;   // advanced side by side, round after round
    std::unique_lock<std::mutex> lock(m_mutex);
    while (!m_stop) {
        const std::size_t width = Md5LaneWidth();
        while (lanes.size() < width && !m_queue.empty()) {
            std::shared_ptr<PieceHash> hash = std::move(m_queue.front());
            m_queue.pop_front();
            hash->m_queued = false;
            // Posted again while in the lanes: it goes on there.
            if (std::find(lanes.begin(), lanes.end(), hash) == lanes.end())
                lanes.push_back(std::move(hash));
        }
        if (lanes.empty()) {
            ++m_idle;
            m_wake.wait(lock, [&] { return m_stop || !m_queue.empty(); });
            --m_idle;
            continue;
        }
        lock.unlock();
        AdvanceTogether(lanes);
        lock.lock();
    }
}
