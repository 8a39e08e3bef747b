#include "platform/completion_port.h"

#include "platform/error_codes.h"

#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <pthread.h>

#include <cerrno>
#include <climits>
#include <system_error>

namespace platform {

namespace {
// Readiness is looked at between packets at least this often, so a steady
// stream of posted packets does not starve the sockets.
constexpr unsigned poll_every = 16;
constexpr int max_events = 64;
constexpr std::uint64_t wake_key = 0;
}   // namespace

namespace {
// An epoll set with an eventfd in it (key wake_key) that wakes its waiter.
// Both stay -1 when either cannot be made.
void open_set(int& epoll, int& wake)
{
    epoll = ::epoll_create1(EPOLL_CLOEXEC);
    wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = wake_key;
    if (epoll >= 0 && wake >= 0 && ::epoll_ctl(epoll, EPOLL_CTL_ADD, wake, &ev) == 0)
        return;
    for (int* fd : {&epoll, &wake}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void ring(int wake)
{
    const std::uint64_t one = 1;
    // A full counter (EAGAIN) still leaves the descriptor readable.
    [[maybe_unused]] ssize_t n = ::write(wake, &one, sizeof(one));
}
}   // namespace

CompletionPort::CompletionPort()
{
    open_set(m_epoll, m_wake);
    open_set(m_transfer_epoll, m_transfer_wake);
}

CompletionPort::~CompletionPort()
{
    stop_transfers();
    for (int fd : {m_wake, m_epoll, m_transfer_wake, m_transfer_epoll}) {
        if (fd >= 0)
            ::close(fd);
    }
}

bool CompletionPort::post(const completion_packet& packet)
{
    if (!valid())
        return false;
    bool wake_needed = false;
    {
        std::lock_guard<std::mutex> guard(m_queue_lock);
        m_queue.push(packet);
        wake_needed = m_sleeping;
        m_sleeping = false;
    }
    if (wake_needed)
        wake();
    return true;
}

void CompletionPort::wake()
{
    if (m_wake >= 0)
        ring(m_wake);
}

std::size_t CompletionPort::pending() const
{
    std::lock_guard<std::mutex> guard(m_queue_lock);
    return m_queue.size();
}

bool CompletionPort::pop(completion_packet& out)
{
    std::lock_guard<std::mutex> guard(m_queue_lock);
    return m_queue.pop(out);
}

void CompletionPort::packet_ring::push(const completion_packet& p)
{
    if (count == slots.size()) {
        // Unroll into a buffer twice the size, oldest first.
        std::vector<completion_packet> grown(slots.size() * 2);
        for (std::size_t i = 0; i < count; ++i)
            grown[i] = slots[(head + i) % slots.size()];
        slots.swap(grown);
        head = 0;
    }
    slots[(head + count) % slots.size()] = p;
    ++count;
}

bool CompletionPort::packet_ring::pop(completion_packet& p)
{
    if (count == 0)
        return false;
    p = slots[head];
    head = (head + 1) % slots.size();
    --count;
    return true;
}

void CompletionPort::dispatch_ready(int timeout_ms)
{
    if (timeout_ms != 0) {
        std::lock_guard<std::mutex> guard(m_queue_lock);
        if (!m_queue.empty())
            timeout_ms = 0;
        else
            m_sleeping = true;
    }
    epoll_event events[max_events];
    int n = ::epoll_wait(m_epoll, events, max_events, timeout_ms);
    if (timeout_ms != 0) {
        std::lock_guard<std::mutex> guard(m_queue_lock);
        m_sleeping = false;
    }
    m_since_poll = 0;
    deliver(events, n, m_wake);
}

void CompletionPort::deliver(const epoll_event* events, int n, int wake_fd)
{
    for (int i = 0; i < n; ++i) {
        const std::uint64_t key = events[i].data.u64;
        if (key == wake_key) {
            std::uint64_t value;
            while (::read(wake_fd, &value, sizeof(value)) > 0) {
            }
            continue;
        }
        std::shared_ptr<ready_target> target;
        {
            std::lock_guard<std::mutex> guard(m_targets_lock);
            auto it = m_targets.find(key);
            if (it == m_targets.end())
                continue;   // detached after epoll reported it
            target = it->second.target;
        }
        std::uint32_t bits = 0;
        if (events[i].events & (EPOLLIN | EPOLLRDHUP | EPOLLPRI))
            bits |= ready_read;
        if (events[i].events & EPOLLOUT)
            bits |= ready_write;
        if (events[i].events & (EPOLLERR | EPOLLHUP))
            bits |= ready_error | ready_read | ready_write;
        target->on_ready(bits);
    }
}

CompletionPort::wait_result CompletionPort::get(completion_packet& out, std::uint32_t timeout_ms)
{
    if (!valid())
        return wait_result::failed;
    if (m_since_poll < poll_every && pop(out)) {
        ++m_since_poll;
        return wait_result::packet;
    }
    const int wait = timeout_ms > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(timeout_ms);
    dispatch_ready(wait);
    if (pop(out)) {
        ++m_since_poll;
        return wait_result::packet;
    }
    return wait_result::timeout;
}

void CompletionPort::kick(std::shared_ptr<ready_target> target, std::uint32_t events)
{
    bool wake_needed = false;
    {
        std::lock_guard<std::mutex> guard(m_kick_lock);
        if (m_transfer_stop || !m_transfer.joinable())
            return;
        m_kicks.push_back({std::move(target), events});
        wake_needed = m_transfer_sleeping;
        m_transfer_sleeping = false;
    }
    if (wake_needed)
        ring(m_transfer_wake);
}

void CompletionPort::stop_transfers()
{
    std::thread transfer;
    {
        std::lock_guard<std::mutex> guard(m_kick_lock);
        m_transfer_stop = true;
        if (m_transfer.get_id() == std::this_thread::get_id())
            return;   // (never from a target's own call)
        transfer = std::move(m_transfer);
    }
    if (transfer.joinable()) {
        ring(m_transfer_wake);
        transfer.join();
    }
    std::vector<kicked> dropped;   // let go of after the lock
    std::lock_guard<std::mutex> guard(m_kick_lock);
    dropped.swap(m_kicks);
}

void CompletionPort::serve_transfers()
{
    std::vector<kicked> kicks;
    epoll_event events[max_events];
    for (;;) {
        bool idle;
        {
            std::lock_guard<std::mutex> guard(m_kick_lock);
            if (m_transfer_stop)
                return;
            kicks.swap(m_kicks);
            idle = kicks.empty();
            m_transfer_sleeping = idle;
        }
        for (auto& k : kicks)
            k.target->on_ready(k.events);
        kicks.clear();
        const int n = ::epoll_wait(m_transfer_epoll, events, max_events, idle ? -1 : 0);
        if (idle) {
            std::lock_guard<std::mutex> guard(m_kick_lock);
            m_transfer_sleeping = false;
        }
        deliver(events, n, m_transfer_wake);
    }
}

std::uint64_t CompletionPort::attach(int fd, std::shared_ptr<ready_target> target, bool on_transfer_thread)
{
    if (!valid() || fd < 0 || !target)
        return 0;
    const int epoll = on_transfer_thread ? m_transfer_epoll : m_epoll;
    if (epoll < 0) {
        errno = EBADF;
        return 0;
    }
    if (on_transfer_thread) {
        std::lock_guard<std::mutex> guard(m_kick_lock);
        if (m_transfer_stop) {
            errno = ESHUTDOWN;
            return 0;
        }
        if (!m_transfer.joinable()) {
            try {
                m_transfer = std::thread([this] {
                    pthread_setname_np(pthread_self(), "io_transfer");
                    serve_transfers();
                });
            } catch (const std::system_error& e) {
                errno = e.code().value();
                return 0;
            }
        }
    }
    std::uint64_t key;
    {
        std::lock_guard<std::mutex> guard(m_targets_lock);
        key = m_next_key++;
        m_targets.emplace(key, watched{std::move(target), epoll});
    }
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLOUT | EPOLLRDHUP | EPOLLET;
    ev.data.u64 = key;
    if (::epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) != 0) {
        const int e = errno;
        std::lock_guard<std::mutex> guard(m_targets_lock);
        m_targets.erase(key);
        errno = e;
        return 0;
    }
    return key;
}

void CompletionPort::abandon_all()
{
    std::vector<std::shared_ptr<ready_target>> targets;
    {
        std::lock_guard<std::mutex> guard(m_targets_lock);
        targets.reserve(m_targets.size());
        for (auto& entry : m_targets)
            targets.push_back(entry.second.target);
    }
    for (auto& target : targets)
        target->on_abandon();
}

void CompletionPort::detach(std::uint64_t key, int fd)
{
    if (key == 0)
        return;
    std::shared_ptr<ready_target> dropped;
    int epoll = -1;
    {
        std::lock_guard<std::mutex> guard(m_targets_lock);
        auto it = m_targets.find(key);
        if (it != m_targets.end()) {
            dropped = std::move(it->second.target);
            epoll = it->second.epoll;
            m_targets.erase(it);
        }
    }
    if (fd >= 0 && epoll >= 0)
        ::epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
    // `dropped` goes here, outside the lock.
}

}   // namespace platform
