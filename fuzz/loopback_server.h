#pragma once
// A one-answer TCP server on 127.0.0.1 for targets whose parser reads a
// reply from a socket: it accepts one connection, reads the client's
// request, sends the fuzz input in pieces of a chosen size, and closes once
// the client has closed (so no reset can throw away what was sent). Every
// wait in it is bounded.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>

#include "fuzz_check.h"

class LoopbackServer {
public:
    // True once the bytes read so far hold the whole request.
    using RequestComplete = std::function<bool(const std::string&)>;

    LoopbackServer()
    {
        m_fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(m_fd >= 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FUZZ_CHECK(bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
        FUZZ_CHECK(listen(m_fd, 8) == 0);
        socklen_t len = sizeof a;
        FUZZ_CHECK(getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &len) == 0);
        m_port = ntohs(a.sin_port);
    }
    ~LoopbackServer() { close(m_fd); }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    std::uint16_t port() const { return m_port; }

    // Serves one connection on its own thread while `client` runs on this
    // one, then joins it.
    void answer_once(const std::string& response, size_t chunk, RequestComplete complete,
                     const std::function<void()>& client)
    {
        std::thread server([&] { serve(response, chunk, complete); });
        client();
        server.join();
    }

private:
    void serve(const std::string& response, size_t chunk, const RequestComplete& complete)
    {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, 15000) != 1)
            return;
        const int s = accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (s < 0)
            return;
        const int one = 1;
        setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        timeval tv{15, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
        std::string request;
        char buf[1024];
        while (!complete(request) && request.size() < 65536) {
            const ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n <= 0)
                break;
            request.append(buf, static_cast<size_t>(n));
        }
        for (size_t off = 0; off < response.size(); off += chunk) {
            const size_t n = std::min(chunk, response.size() - off);
            if (send(s, response.data() + off, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
                break;
        }
        shutdown(s, SHUT_WR);
        while (recv(s, buf, sizeof buf, 0) > 0) {
        }
        close(s);
    }

    int m_fd = -1;
    std::uint16_t m_port = 0;
};

// A request that is one length-framed command packet (u32 length, then
// that many bytes).
inline bool framed_packet_complete(const std::string& r)
{
    if (r.size() < 4)
        return false;
    const std::uint32_t length = static_cast<std::uint8_t>(r[0]) | static_cast<std::uint8_t>(r[1]) << 8 |
                                 static_cast<std::uint8_t>(r[2]) << 16 |
                                 static_cast<std::uint32_t>(static_cast<std::uint8_t>(r[3])) << 24;
    return r.size() - 4 >= length;
}
