#include "net/conn/send_queue.h"
#include "platform/invariant.h"

bool i_send_queue::append(const std::uint8_t* first, const std::uint8_t* last)
{
    if (last <= first)
        return true;
    const std::size_t n = static_cast<std::size_t>(last - first);
    if (unsent() + n > m_limit)
        return false;
    m_pending.insert(m_pending.end(), first, last);
    return true;
}

bool i_send_queue::next(const std::uint8_t*& data, std::uint32_t& length)
{
    if (m_offset == m_current.size()) {
        // The buffer in flight has gone out: drop it and send what waited.
        m_current.clear();
        m_offset = 0;
        m_current.swap(m_pending);
    }
    if (m_current.empty())
        return false;
    data = m_current.data() + m_offset;
    const std::size_t left = m_current.size() - m_offset;
    length = left > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<std::uint32_t>(left);
    return true;
}

void i_send_queue::completed(std::uint32_t bytes)
{
    const std::size_t left = m_current.size() - m_offset;
    m_offset += bytes < left ? bytes : left;
}

void i_send_queue::clear()
{
    m_current.clear();
    m_pending.clear();
    m_offset = 0;
}

void i_receive_window::set(std::uint32_t new_filled, std::uint32_t new_wanted)
{
    filled = new_filled;
    wanted = new_wanted;
    target = nullptr;
    hold.reset();
    if (buffer.size() < wanted)
        buffer.resize(wanted);
}

void i_receive_window::set_target(std::uint8_t* data, std::uint32_t new_filled, std::uint32_t new_wanted,
                                  std::shared_ptr<void> owner)
{
    filled = new_filled;
    wanted = new_wanted;
    target = data;
    hold = std::move(owner);
}

bool i_transfer_pump::begin_send(const std::uint8_t*& data, std::uint32_t& length)
{
    if (sending || send_failed || !queue.next(data, length))
        return false;
    sending = true;
    check_invariant();
    return true;
}

void i_transfer_pump::end_send(std::uint32_t error, std::uint32_t bytes)
{
    sending = false;
    queue.completed(bytes);
    if (error != 0)
        send_failed = true;
    check_invariant();
}

bool i_transfer_pump::begin_receive(std::uint8_t*& data, std::uint32_t& length)
{
    length = window.missing();
    if (receiving || delivering || receive_failed || length == 0 || (!window.target && window.buffer.empty()))
        return false;
    data = (window.target ? window.target : window.buffer.data()) + window.filled;
    receive_hold = window.hold;
    receiving = true;
    check_invariant();
    return true;
}

void i_transfer_pump::end_receive(std::uint32_t error, std::uint32_t bytes)
{
    receiving = false;
    delivering = true;
    window.filled += bytes;
    if (error != 0)
        receive_failed = true;
    check_invariant();
}

void i_transfer_pump::reset()
{
    queue.clear();
    window.filled = 0;
    window.wanted = 0;
    window.target = nullptr;
    window.hold.reset();
    receive_hold.reset();
    sending = false;
    send_failed = false;
    receiving = false;
    receive_failed = false;
    delivering = false;
}

void i_send_queue::check_invariant() const
{
    VR_INVARIANT(m_offset <= m_current.size());
}

void i_transfer_pump::check_invariant() const
{
    queue.check_invariant();
    VR_INVARIANT(window.target || window.wanted <= window.buffer.size());
    VR_INVARIANT(!window.target || window.hold);
    VR_INVARIANT(!receiving || window.filled < window.wanted);
    VR_INVARIANT(!(sending && send_failed));
    VR_INVARIANT(!(receiving && receive_failed));
    VR_INVARIANT(!(receiving && delivering));
}
