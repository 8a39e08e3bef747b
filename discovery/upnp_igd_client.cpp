#include "discovery/upnp_igd_client.h"

#include <cstdlib>
#include <cstring>

#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>

namespace {

constexpr const char* kMappingDescription = "vr_download p2sp";

// Frees what discovery and IGD selection allocated, whatever path is taken.
struct IgdSession {
    UPNPDev* devices = nullptr;
    UPNPUrls urls{};
    IGDdatas data{};
    bool have_urls = false;
    char lan_address[64] = {0};

    ~IgdSession()
    {
        if (have_urls)
            FreeUPNPUrls(&urls);
        if (devices != nullptr)
            freeUPNPDevlist(devices);
    }
};

// Maps one protocol and reads the mapping back: 0, 3 refused, 4 not there.
int MapAndCheck(IgdSession& igd, const char* port_text, const char* internal_text, const char* proto)
{
    if (UPNP_AddPortMapping(igd.urls.controlURL, igd.data.first.servicetype, port_text, internal_text, igd.lan_address,
                            kMappingDescription, proto, nullptr, "0") != UPNPCOMMAND_SUCCESS)
        return 3;
    char client[64] = {0};
    char internal[16] = {0};
    char desc[80] = {0};
    char enabled[8] = {0};
    char lease[16] = {0};
    if (UPNP_GetSpecificPortMappingEntry(igd.urls.controlURL, igd.data.first.servicetype, port_text, proto, nullptr,
                                         client, internal, desc, enabled, lease) != UPNPCOMMAND_SUCCESS)
        return 4;
    if (std::strcmp(internal, internal_text) != 0 || std::strcmp(client, igd.lan_address) != 0)
        return 4;   // the gateway redirects the port somewhere else
    return 0;
}

}   // namespace

int CUpnpIgdClient::DiscoverAndRedirect(std::uint16_t internal_port, std::uint16_t external_port,
                                        std::string& external_ip)
{
    external_ip.clear();
    IgdSession igd;
    const char* root = std::getenv("VR_UPNP_ROOTDESC");
    if (root != nullptr && *root != '\0') {
        if (UPNP_GetIGDFromUrl(root, &igd.urls, &igd.data, igd.lan_address, sizeof(igd.lan_address)) != 1)
            return 1;
        igd.have_urls = true;
    } else {
        int error = 0;
        igd.devices = upnpDiscover(m_discovery_ms, nullptr, nullptr, 0, 0, 2, &error);
        if (igd.devices == nullptr)
            return 1;
        const int found = UPNP_GetValidIGD(igd.devices, &igd.urls, &igd.data, igd.lan_address, sizeof(igd.lan_address));
        igd.have_urls = found != 0;
        if (found != 1)
            return 1;
    }

    char address[64] = {0};
    if (UPNP_GetExternalIPAddress(igd.urls.controlURL, igd.data.first.servicetype, address) != UPNPCOMMAND_SUCCESS ||
        address[0] == '\0')
        return 2;

    const std::string port_text = std::to_string(external_port);
    const std::string internal_text = std::to_string(internal_port);
    for (const char* proto : {"TCP", "UDP"}) {
        const int r = MapAndCheck(igd, port_text.c_str(), internal_text.c_str(), proto);
        if (r != 0)
            return r;
    }
    external_ip = address;
    return 0;
}
