#include "engine/piece_buffer.h"

#include "platform/memory.h"

#include <algorithm>
#include <mutex>
#include <new>
#include <vector>

namespace {

// Smaller units (of small pieces) come from the heap: a system call each
// would cost more than it saves.
constexpr std::size_t kPagesFrom = std::size_t(256) << 10;

// Units of exactly kPagesFrom bytes freed and kept for reuse.
struct KeptUnits {
    std::mutex mutex;
    std::vector<void*> pages;
};

KeptUnits& kept()
{
    static KeptUnits* k = new KeptUnits;   // never destroyed: units may be freed at exit
    return *k;
}

void* take_kept()
{
    KeptUnits& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    if (k.pages.empty())
        return nullptr;
    void* p = k.pages.back();
    k.pages.pop_back();
    return p;
}

bool keep(void* pages)
{
    KeptUnits& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    if ((k.pages.size() + 1) * kPagesFrom > PieceUnit::kKeptBytes)
        return false;
    k.pages.push_back(pages);
    return true;
}

}   // namespace

PieceUnit::PieceUnit(std::size_t size) : m_size(size), m_pages(size >= kPagesFrom)
{
    if (size == kPagesFrom)
        m_data = static_cast<std::uint8_t*>(take_kept());
    if (!m_data)
        m_data = m_pages ? static_cast<std::uint8_t*>(platform::allocate_pages(size)) : new std::uint8_t[size];
    if (!m_data)
        throw std::bad_alloc();
}

void PieceUnit::ReleaseKept()
{
    std::vector<void*> pages;
    {
        KeptUnits& k = kept();
        std::lock_guard<std::mutex> lock(k.mutex);
        pages.swap(k.pages);
    }
    for (void* p : pages)
        platform::free_pages(p, kPagesFrom);
}

std::size_t PieceUnit::KeptBytes()
{
    KeptUnits& k = kept();
    std::lock_guard<std::mutex> lock(k.mutex);
    return k.pages.size() * kPagesFrom;
}

PieceUnit::~PieceUnit()
{
    Free();
}

PieceUnit::PieceUnit(PieceUnit&& other) noexcept : m_data(other.m_data), m_size(other.m_size), m_pages(other.m_pages)
{
    other.m_data = nullptr;
    other.m_size = 0;
}

PieceUnit& PieceUnit::operator=(PieceUnit&& other) noexcept
{
    if (this != &other) {
        Free();
        m_data = other.m_data;
        m_size = other.m_size;
        m_pages = other.m_pages;
        other.m_data = nullptr;
        other.m_size = 0;
    }
    return *this;
}

void PieceUnit::Free()
{
    if (!m_pages)
        delete[] m_data;
    else if (m_data && (m_size != kPagesFrom || !keep(m_data)))
        platform::free_pages(m_data, m_size);
    m_data = nullptr;
    m_size = 0;
}

PieceBuffer::PieceBuffer(std::uint32_t length)
    : m_length(length),
      m_units((std::size_t(length) + kUnit - 1) / kUnit),
      m_data(new std::atomic<std::uint8_t*>[m_units.size()])
{
    for (std::size_t u = 0; u < m_units.size(); ++u)
        m_data[u].store(nullptr, std::memory_order_relaxed);
}

std::uint32_t PieceBuffer::UnitEnd(std::size_t unit) const
{
    return std::uint32_t(std::min<std::uint64_t>(std::uint64_t(unit + 1) * kUnit, m_length));
}

std::uint8_t* PieceBuffer::Make(std::uint32_t offset, std::shared_ptr<Unit>* spare)
{
    const std::size_t u = UnitOf(offset);
    if (!m_units[u]) {
        // A reused unit keeps its old bytes: only blocks taken are read.
        const std::size_t size = UnitEnd(u) - UnitStart(u);
        if (spare && *spare && (*spare)->size() == size)
            m_units[u] = std::move(*spare);
        else
            m_units[u] = std::make_shared<Unit>(size);
        m_held += m_units[u]->size();
        // Published before any ready mark that covers it.
        m_data[u].store(m_units[u]->data(), std::memory_order_release);
    }
    return m_units[u]->data() + (offset - UnitStart(u));
}

std::shared_ptr<PieceBuffer::Unit> PieceBuffer::Share(std::size_t unit) const
{
    return m_units[unit];
}

void PieceBuffer::Release(std::size_t unit)
{
    if (!m_units[unit])
        return;
    m_data[unit].store(nullptr, std::memory_order_release);
    m_held -= m_units[unit]->size();
    m_units[unit].reset();
}

const std::uint8_t* PieceBuffer::At(std::uint32_t offset) const
{
    const std::size_t u = UnitOf(offset);
    std::uint8_t* data = m_data[u].load(std::memory_order_acquire);
    return data ? data + (offset - UnitStart(u)) : nullptr;
}
