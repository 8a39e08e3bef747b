#include "net/conn/send_queue.h"
#include "platform/invariant.h"

std::vector<std::uint8_t>& i_send_queue::tail_bytes()
{
    if (m_segments.empty() || m_segments.back().file.handle || (m_handed_out && m_segments.size() == 1)) {
        m_segments.emplace_back();
        m_segments.back().bytes.swap(m_spare);
        m_segments.back().bytes.clear();
    }
    return m_segments.back().bytes;
}

bool i_send_queue::append(const std::uint8_t* first, const std::uint8_t* last)
{
    if (last <= first)
        return true;
    const std::size_t n = static_cast<std::size_t>(last - first);
    if (m_unsent + n > m_limit)
        return false;
    std::vector<std::uint8_t>& tail = tail_bytes();
    tail.insert(tail.end(), first, last);
    m_unsent += n;
    return true;
}

bool i_send_queue::append(const std::uint8_t* first, const std::uint8_t* last, const BlockFile& file,
                          std::uint32_t length)
{
    const std::size_t head = last > first ? static_cast<std::size_t>(last - first) : 0;
    if (!file.handle)
        length = 0;
    if (m_unsent + head + length > m_limit)
        return false;
    append(first, last);
    if (length != 0) {
        segment s;
        s.file = file;
        s.file_length = length;
        m_segments.push_back(std::move(s));
        m_unsent += length;
    }
    return true;
}

bool i_send_queue::next(i_send_range& range)
{
    // Segments that have gone out are dropped; a buffer is kept for reuse.
    while (!m_segments.empty() && m_segments.front().sent == m_segments.front().size()) {
        if (!m_segments.front().file.handle && m_segments.front().bytes.capacity() > m_spare.capacity())
            m_spare.swap(m_segments.front().bytes);
        m_segments.pop_front();
    }
    if (m_segments.empty())
        return false;
    const segment& s = m_segments.front();
    const std::size_t left = s.size() - s.sent;
    range = i_send_range{};
    range.length = left > 0x7FFFFFFFu ? 0x7FFFFFFFu : static_cast<std::uint32_t>(left);
    if (s.file.handle) {
        range.file = s.file.handle;
        range.offset = s.file.offset + s.sent;
    } else {
        range.data = s.bytes.data() + s.sent;
        range.more = m_segments.size() > 1;   // (only a file's segment follows bytes)
    }
    m_handed_out = true;
    return true;
}

void i_send_queue::completed(std::uint32_t bytes)
{
    m_handed_out = false;
    if (m_segments.empty())
        return;
    segment& s = m_segments.front();
    const std::size_t done = std::min<std::size_t>(bytes, s.size() - s.sent);
    s.sent += done;
    m_unsent -= done;
}

void i_send_queue::clear()
{
    m_segments.clear();
    m_handed_out = false;
    m_unsent = 0;
}

void i_receive_window::set(std::uint32_t new_filled, std::uint32_t new_wanted)
{
    filled = new_filled;
    wanted = new_wanted;
    targets.clear();
    hold.reset();
    if (buffer.size() < wanted)
        buffer.resize(wanted);
}

void i_receive_window::set_target(std::uint8_t* data, std::uint32_t new_filled, std::uint32_t new_wanted,
                                  std::shared_ptr<void> owner)
{
    filled = new_filled;
    wanted = new_wanted;
    targets.assign(1, i_receive_span{data, new_wanted});
    hold = std::move(owner);
}

void i_receive_window::set_targets(const std::vector<i_receive_span>& spans, std::shared_ptr<void> owner)
{
    filled = 0;
    wanted = 0;
    for (const i_receive_span& s : spans)
        wanted += s.length;
    targets = spans;
    hold = std::move(owner);
}

std::shared_ptr<void> i_receive_window::clear_targets()
{
    targets.clear();
    filled = 0;
    wanted = 0;
    return std::move(hold);
}

bool i_transfer_pump::begin_send(i_send_range& range)
{
    if (sending || send_failed || !queue.next(range))
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

bool i_transfer_pump::begin_receive(i_receive_span* spans, std::size_t& count, std::uint32_t& length)
{
    length = window.missing();
    if (receiving || delivering || receive_failed || length == 0 || (window.targets.empty() && window.buffer.empty()))
        return false;
    count = 0;
    if (window.targets.empty()) {
        spans[count++] = {window.buffer.data() + window.filled, length};
    } else {
        // What was filled already is skipped.
        std::uint32_t skip = window.filled;
        for (const i_receive_span& s : window.targets) {
            if (skip >= s.length) {
                skip -= s.length;
                continue;
            }
            spans[count++] = {s.data + skip, s.length - skip};
            skip = 0;
        }
    }
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
    window.targets.clear();
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
    VR_INVARIANT(m_segments.empty() || m_segments.front().sent <= m_segments.front().size());
}

void i_transfer_pump::check_invariant() const
{
    queue.check_invariant();
    VR_INVARIANT(!window.targets.empty() || window.wanted <= window.buffer.size());
    VR_INVARIANT(window.targets.size() <= i_stream_socket::max_receive_spans);
    VR_INVARIANT(window.targets.empty() || window.hold);
    VR_INVARIANT(!receiving || window.filled < window.wanted);
    VR_INVARIANT(!(sending && send_failed));
    VR_INVARIANT(!(receiving && receive_failed));
    VR_INVARIANT(!(receiving && delivering));
}
