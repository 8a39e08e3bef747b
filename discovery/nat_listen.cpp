#include "discovery/nat_listen.h"

namespace {

constexpr int kPortTries = 10;
constexpr int kBacklog = 64;

}   // namespace

bool CNatListen::Bind(std::uint16_t wanted)
{
    Close();
    for (int attempt = 0; attempt < kPortTries; ++attempt) {
        const std::uint16_t port = wanted == 0 ? 0 : static_cast<std::uint16_t>(wanted + attempt);
        platform::socket_t tcp = platform::tcp_socket();
        platform::socket_t udp = platform::udp_socket();
        if (tcp == platform::invalid_socket || udp == platform::invalid_socket) {
            platform::close_socket(tcp);
            platform::close_socket(udp);
            return false;
        }
        platform::set_reuse_address(tcp, true);
        std::uint32_t ip = 0;
        std::uint16_t bound = 0;
        if (platform::bind_ipv4(tcp, 0, port) == 0 && platform::listen_socket(tcp, kBacklog) == 0 &&
            platform::local_endpoint(tcp, ip, bound) && platform::bind_ipv4(udp, 0, bound) == 0) {
            platform::set_non_blocking(tcp, true);
            platform::set_non_blocking(udp, true);
            m_tcp = tcp;
            m_udp = udp;
            m_port = bound;
            return true;
        }
        platform::close_socket(tcp);
        platform::close_socket(udp);
    }
    return false;
}

void CNatListen::Close()
{
    platform::close_socket(m_tcp);
    platform::close_socket(m_udp);
}
