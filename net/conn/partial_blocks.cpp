#include "net/conn/partial_blocks.h"

#include <algorithm>

namespace zeq {

void partial_blocks::keep(std::int32_t piece, std::int32_t offset, const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return;
    std::lock_guard<std::mutex> guard(m_lock);
    const auto key = std::make_pair(piece, offset);
    if (m_blocks.size() >= kMaxBlocks && m_blocks.find(key) == m_blocks.end()) {
        const auto oldest = std::min_element(m_blocks.begin(), m_blocks.end(), [](const auto& a, const auto& b) {
            return a.second.serial < b.second.serial;
        });
        m_blocks.erase(oldest);
    }
    entry& e = m_blocks[key];
    e.bytes.assign(data, data + size);
    e.serial = ++m_serial;
}

std::vector<std::uint8_t> partial_blocks::take(std::int32_t piece, std::int32_t offset)
{
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_blocks.find(std::make_pair(piece, offset));
    if (found == m_blocks.end())
        return {};
    std::vector<std::uint8_t> bytes = std::move(found->second.bytes);
    m_blocks.erase(found);
    return bytes;
}

std::size_t partial_blocks::size() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_blocks.size();
}

}   // namespace zeq
