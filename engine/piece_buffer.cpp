#include "engine/piece_buffer.h"

#include "platform/memory.h"

#include <algorithm>
#include <new>

namespace {

// Smaller units (of small pieces) come from the heap: a system call each
// would cost more than it saves.
constexpr std::size_t kPagesFrom = std::size_t(256) << 10;

}   // namespace

PieceUnit::PieceUnit(std::size_t size) : m_size(size), m_pages(size >= kPagesFrom)
{
    m_data = m_pages ? static_cast<std::uint8_t*>(platform::allocate_pages(size)) : new std::uint8_t[size];
    if (!m_data)
        throw std::bad_alloc();
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
    if (m_pages)
        platform::free_pages(m_data, m_size);
    else
        delete[] m_data;
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

std::uint8_t* PieceBuffer::Make(std::uint32_t offset, Unit&& spare)
{
    const std::size_t u = UnitOf(offset);
    if (!m_units[u]) {
        // A reused unit keeps its old bytes: only blocks taken are read.
        if (spare.size() != UnitEnd(u) - UnitStart(u))
            spare = Unit(UnitEnd(u) - UnitStart(u));
        m_units[u] = std::make_shared<Unit>(std::move(spare));
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

std::shared_ptr<PieceBuffer::Unit> PieceBuffer::Release(std::size_t unit)
{
    std::shared_ptr<Unit> out = std::move(m_units[unit]);
    if (!out)
        return nullptr;
    m_data[unit].store(nullptr, std::memory_order_release);
    m_held -= out->size();
    return out.use_count() == 1 ? out : nullptr;
}

const std::uint8_t* PieceBuffer::At(std::uint32_t offset) const
{
    const std::size_t u = UnitOf(offset);
    std::uint8_t* data = m_data[u].load(std::memory_order_acquire);
    return data ? data + (offset - UnitStart(u)) : nullptr;
}
