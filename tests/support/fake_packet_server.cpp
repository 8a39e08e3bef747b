#include "support/fake_packet_server.h"

#include "foundation/cmd_packet.h"
#include "platform/error_codes.h"
#include "platform/socket.h"

namespace test_support {
namespace {

constexpr std::uint32_t kPollMs = 50;
constexpr std::uint32_t kMaxBody = 1024 * 1024;

}   // namespace

bool FakePacketServer::Start(Handler handler)
{
    m_handler = std::move(handler);
    m_stop.store(false);
    m_listen = platform::tcp_socket();
    if (m_listen == platform::invalid_socket)
        return false;
    platform::set_reuse_address(m_listen, true);
    std::uint32_t ip = 0;
    if (platform::bind_ipv4(m_listen, platform::parse_ipv4("127.0.0.1"), 0) != 0 ||
        platform::listen_socket(m_listen, 16) != 0 || !platform::local_endpoint(m_listen, ip, m_port)) {
        platform::close_socket(m_listen);
        return false;
    }
    platform::set_non_blocking(m_listen, true);
    return m_thread.start([this] { Run(); }, "fake-server");
}

void FakePacketServer::Stop()
{
    m_stop.store(true);
    m_thread.join();
    platform::close_socket(m_listen);
}

void FakePacketServer::Run()
{
    while (!m_stop.load()) {
        if (platform::wait_readable(m_listen, kPollMs) <= 0)
            continue;
        std::uint32_t error = 0;
        std::uint32_t from_ip = 0;
        std::uint16_t from_port = 0;
        int s = platform::accept_socket(m_listen, &from_ip, &from_port, error);
        if (s == platform::invalid_socket)
            continue;
        m_connections.fetch_add(1);
        Serve(s);
        platform::close_socket(s);
    }
}

void FakePacketServer::Serve(int s)
{
    std::vector<std::uint8_t> buffer;
    std::uint8_t chunk[4096];
    while (!m_stop.load()) {
        const int ready = platform::wait_readable(s, kPollMs);
        if (ready < 0)
            return;
        if (ready == 0)
            continue;
        std::uint32_t error = 0;
        const long n = platform::receive_some(s, chunk, sizeof(chunk), error);
        if (n <= 0)
            return;   // closed by the client (or failed)
        buffer.insert(buffer.end(), chunk, chunk + n);
        while (buffer.size() >= 4) {
            const std::uint32_t body = cmd_packet::load_u32(buffer.data());
            if (body == 0 || body > kMaxBody)
                return;
            if (buffer.size() < 4 + static_cast<std::size_t>(body))
                break;
            std::vector<std::uint8_t> request(buffer.begin(), buffer.begin() + 4 + body);
            buffer.erase(buffer.begin(), buffer.begin() + 4 + body);
            std::vector<std::uint8_t> reply;
            const bool keep = m_handler(request, reply);
            std::size_t sent = 0;
            while (sent < reply.size()) {
                if (platform::wait_writable(s, 1000) <= 0)
                    return;
                const long w = platform::send_some(s, reply.data() + sent, reply.size() - sent, error);
                if (w <= 0 && error != platform::err::would_block)
                    return;
                if (w > 0)
                    sent += static_cast<std::size_t>(w);
            }
            if (!keep)
                return;
        }
    }
}

}   // namespace test_support
