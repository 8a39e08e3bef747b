// Maps the peer listen port on the Internet gateway through UPnP.
#pragma once

#include <cstdint>
#include <string>

class CUpnpIgdClient {
public:
    CUpnpIgdClient() = default;

    // Finds an Internet gateway device (discovery bounded to about 2 s;
    // VR_UPNP_ROOTDESC names a root description URL to use instead of
    // discovery), reads its external address and maps TCP and UDP
    // external_port to internal_port on this host, checking the mapping
    // afterwards. 0 on success with `external_ip` filled; 1 no gateway,
    // 2 no external address, 3 mapping refused, 4 the mapping check failed.
    int DiscoverAndRedirect(std::uint16_t internal_port, std::uint16_t external_port, std::string& external_ip);

    // Discovery time bound in milliseconds (tests shorten it).
    void SetDiscoveryTimeout(int ms) { m_discovery_ms = ms; }

private:
    int m_discovery_ms = 2000;
};
