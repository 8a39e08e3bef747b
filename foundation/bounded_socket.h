// A blocking TCP client connection whose every wait is bounded and ends early
// when its owner asks it to stop. The index-server clients, NAT traversal and
// the report uploads run it on their own threads, which must stop within a
// fraction of a second even while a server is slow or silent.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>

#include "platform/socket.h"

// What a wait polls, every CBoundedSocket::kSliceMs, to learn it should give
// up: a stop flag, a function, or nothing.
class StopCheck {
public:
    StopCheck() = default;
    StopCheck(const std::atomic<bool>* flag) : m_flag(flag) {}     // NOLINT: implicit by design
    StopCheck(std::function<bool()> fn) : m_fn(std::move(fn)) {}   // NOLINT: implicit by design
    template <typename F, typename = decltype(bool(std::declval<F&>()()))>
    StopCheck(F fn) : m_fn(std::move(fn))
    {
    }   // NOLINT: implicit by design

    bool requested() const { return (m_flag && m_flag->load()) || (m_fn && m_fn()); }

private:
    const std::atomic<bool>* m_flag = nullptr;
    std::function<bool()> m_fn;
};

class CBoundedSocket {
public:
    // How often a wait looks at its stop check.
    static constexpr std::uint32_t kSliceMs = 50;

    CBoundedSocket() = default;
    explicit CBoundedSocket(platform::socket_t adopted) : m_socket(adopted) {}
    ~CBoundedSocket() { Close(); }
    CBoundedSocket(const CBoundedSocket&) = delete;
    CBoundedSocket& operator=(const CBoundedSocket&) = delete;

    // Connects to `ipv4` (network order) and `port` within `timeout_ms`. 0 when
    // connected, else the error (10049 no address, 10060 time-out, 10061
    // refused, 995 stopped...); the socket is closed on failure.
    std::uint32_t Connect(std::uint32_t ipv4, std::uint16_t port, std::uint32_t timeout_ms, const StopCheck& stop = {});

    // Sends every byte within `timeout_ms`. 0 or the error.
    std::uint32_t SendAll(const void* data, std::size_t size, std::uint32_t timeout_ms, const StopCheck& stop = {});

    // Receives exactly `size` bytes before the tick `deadline`. 0 or the error
    // (38 when the peer closed first, 10060 time-out, 995 stopped).
    std::uint32_t ReceiveExactBy(std::uint8_t* data, std::size_t size, std::uint32_t deadline,
                                 const StopCheck& stop = {});

    // Receives until the peer closes, keeping at most `cap` bytes in `out`
    // (the rest is read and dropped). 0 on an orderly close within
    // `timeout_ms`, else the error.
    std::uint32_t ReceiveUntilClose(std::string& out, std::size_t cap, std::uint32_t timeout_ms,
                                    const StopCheck& stop = {});

    // Ends the sending direction: the server sees the end of the stream.
    void ShutdownSend();

    platform::socket_t Get() const { return m_socket; }
    bool IsOpen() const { return m_socket != platform::invalid_socket; }
    // Hands the socket over, back in blocking mode; the object forgets it.
    platform::socket_t Detach();
    void Close() { platform::close_socket(m_socket); }

private:
    platform::socket_t m_socket = platform::invalid_socket;
};
