// A TCP server on 127.0.0.1 that reads length-framed command packets and
// answers each through a handler; the base of the fake index servers.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

#include "platform/thread.h"

namespace test_support {

class FakePacketServer {
public:
    // What to do with one received packet: fill `reply` (sent when not
    // empty) and return true to keep the connection, false to close it.
    using Handler = std::function<bool(const std::vector<std::uint8_t>& request, std::vector<std::uint8_t>& reply)>;

    FakePacketServer() = default;
    ~FakePacketServer() { Stop(); }
    FakePacketServer(const FakePacketServer&) = delete;
    FakePacketServer& operator=(const FakePacketServer&) = delete;

    // Listens on 127.0.0.1 and a free port; false when that fails.
    bool Start(Handler handler);
    // Ends the serving thread (within about 100 ms) and closes everything.
    void Stop();

    std::uint16_t port() const { return m_port; }
    // Connections accepted so far.
    int connections() const { return m_connections.load(); }

private:
    void Run();
    void Serve(int socket);

    Handler m_handler;
    int m_listen = -1;
    std::uint16_t m_port = 0;
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_connections{0};
    platform::Thread m_thread;
};

}   // namespace test_support
