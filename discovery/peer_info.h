// Wire records of peer discovery, shared by discovery, the engine and the
// transfer connections. Every record is packed and little-endian as it
// travels between peers and index servers; the sizes are fixed.
//
// Byte order of addresses:
//  - PeerInfo / VPeerInfo addresses are IPv4 in network byte order (the
//    value inet_addr() gives), ports are plain numbers. That is what the
//    NAT manager dials.
//  - CisAddress and the RIS logon result carry IPv4 in host byte order
//    (so "a - b" is a distance and the dotted text reads high byte first).
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

// Peer type byte of PeerInfo.
enum : std::uint8_t {
    PEERTYPE_NAT = 0,        // behind NAT: reached through a parent peer
    PEERTYPE_SP = 1,         // reachable from outside
    PEERTYPE_DIRECT = 2,     // directly connectable
    PEERTYPE_HTTP = 3,       // an HTTP server named by the CIS
    PEERTYPE_HTTP_CDN = 4,   // one resolved address of an HTTP server / CDN
    PEERTYPE_LAN = 5,        // a peer found on the local network
};

#pragma pack(push, 1)

// One peer, 149 bytes, copied whole into connections and NAT messages.
struct PeerInfo {
    std::uint64_t clientid;
    std::uint32_t publicip;
    std::uint16_t publicport;
    std::uint32_t natip;
    std::uint16_t natport;
    std::uint8_t peertype;
    char path[64];   // for expanded HTTP records: the address text
    char hostname[64];
};

// A CIS peer and the parent through which it is reached (zero for a plain
// CIS peer), 298 bytes.
struct HostRecord {
    PeerInfo peer;
    PeerInfo parent;
};

// A reachable peer that also serves as NAT server for its sons: the
// PeerInfo layout without the NAT address and port, 143 bytes.
struct VPeerInfo {
    std::uint64_t clientid;
    std::uint32_t ip;
    std::uint16_t port;
    std::uint8_t peertype;
    char path[64];
    char hostname[64];
};

// One CIS server from the RIS logon reply, 7 bytes. ip in host byte order.
struct CisAddress {
    std::uint32_t ip;
    std::uint16_t port;
    std::uint8_t area;
};

#pragma pack(pop)

static_assert(sizeof(PeerInfo) == 149, "PeerInfo is 149 bytes on the wire");
static_assert(sizeof(HostRecord) == 298, "HostRecord is 298 bytes");
static_assert(sizeof(VPeerInfo) == 143, "vpeer record is 143 bytes on the wire");
static_assert(sizeof(CisAddress) == 7, "CisAddress is 7 bytes on the wire");
static_assert(offsetof(PeerInfo, publicip) == 8 && offsetof(PeerInfo, publicport) == 12 &&
                  offsetof(PeerInfo, natip) == 14 && offsetof(PeerInfo, natport) == 18 &&
                  offsetof(PeerInfo, peertype) == 20 && offsetof(PeerInfo, path) == 21 &&
                  offsetof(PeerInfo, hostname) == 85,
              "PeerInfo field offsets");

// Parameters of one CIS peer-list request.
struct CisLogonParam {
    std::uint64_t clientid = 0;
    std::uint64_t taskid = ~std::uint64_t{0};
    std::uint16_t peertype = 0;   // peer type of the requesting client
    std::uint16_t listenport = 0;
};

// One HTTP peer of a CIS reply (or of the CDN query).
struct HttpPeerInfo {
    std::uint64_t peerid = 0;
    std::string host;
    std::string path;   // URL path of one file on that server
};

// Copies a fixed 64-byte text field into a string: at most 63 characters,
// stopping at the first NUL, so a field filled to the end is not read past.
inline std::string FixedText(const char (&field)[64])
{
    std::size_t n = 0;
    while (n < 63 && field[n] != '\0')
        ++n;
    return std::string(field, n);
}

// Stores a text into a 64-byte field: at most 63 characters, NUL terminated,
// the rest zeroed.
inline void SetFixedText(char (&field)[64], const std::string& text)
{
    std::memset(field, 0, sizeof(field));
    std::memcpy(field, text.data(), text.size() < 63 ? text.size() : 63);
}

// Terminates a 64-byte field received from the wire in place (the last byte
// becomes NUL) so that C-string readers stop inside it.
inline void TerminateFixedText(char (&field)[64])
{
    field[63] = '\0';
}
