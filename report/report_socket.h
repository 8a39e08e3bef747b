// A TCP client connection for the report uploads whose every wait is bounded
// and ends early when the owner's stop flag is set, so a sender thread stops
// within a fraction of a second even while a server is slow or silent.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/socket.h"

class CReportSocket {
public:
    CReportSocket() = default;
    ~CReportSocket() { Close(); }
    CReportSocket(const CReportSocket&) = delete;
    CReportSocket& operator=(const CReportSocket&) = delete;

    // Connects to `ipv4` (network order) and `port` within `total_ms`.
    // 0 when connected, else the error (10060 time-out, 995 stopped).
    std::uint32_t Connect(std::uint32_t ipv4, std::uint16_t port, std::uint32_t total_ms,
                          const std::atomic<bool>* stop);

    // Sends every byte within `total_ms`. 0 or the error.
    std::uint32_t SendAll(const void* data, std::size_t size, std::uint32_t total_ms, const std::atomic<bool>* stop);

    // Receives until the peer closes, keeping at most `cap` bytes in `out`
    // (the rest is read and dropped). 0 on an orderly close within
    // `total_ms`, else the error.
    std::uint32_t ReceiveUntilClose(std::string& out, std::size_t cap, std::uint32_t total_ms,
                                    const std::atomic<bool>* stop);

    // Ends the sending direction: the server sees the end of the stream.
    void ShutdownSend();

    void Close() { platform::close_socket(m_socket); }

private:
    platform::socket_t m_socket = platform::invalid_socket;
};

// Milliseconds of a slice: how often the waits look at the stop flag.
constexpr std::uint32_t kReportSocketSliceMs = 50;
