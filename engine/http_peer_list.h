// CHttpPeerList: the per-task list of HTTP and CDN peers, one PeerInfo per
// client id, each resolved to an IPv4 address. Filled from the CIS reply
// (type-3 records), the CDN query and the expansion of HTTP host names into
// type-4 records; read by the HTTP connection pass and the CDN thread.
#pragma once

#include "discovery/peer_info.h"
#include "platform/critical_section.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

// The client id of an HTTP source found by address: its IPv4 (network
// byte order, as the record holds it) above its port. Every path that
// finds a source (a CDN query URL, a host name expanded) builds it here,
// so one server and port is one record, tried as one source.
inline std::uint64_t HttpSourceId(std::uint32_t network_ipv4, std::uint16_t port)
{
    return (std::uint64_t(network_ipv4) << 16) | port;
}

class CHttpPeerList {
public:
    // Resolves a host name or dotted address into its IPv4 addresses
    // (network byte order, resolver order); false when nothing is found.
    using resolver = bool (*)(const std::string& name, std::vector<std::uint32_t>& out);

    // Port an HTTP peer gets when its record carries none.
    static constexpr std::uint16_t kDefaultHttpPort = 80;
    // Most records kept; a new client id beyond it is refused.
    static constexpr std::size_t kMaxPeers = 4096;

    CHttpPeerList();
    ~CHttpPeerList();
    CHttpPeerList(const CHttpPeerList&) = delete;
    CHttpPeerList& operator=(const CHttpPeerList&) = delete;

    // Resolves r's host name (outside the lock) and stores the record under
    // its client id, replacing an earlier one. r is changed in place: its
    // public IPv4 becomes the first address found and its public port stays
    // what the record (the URL) gave, 80 when it gave none. False, with the
    // list unchanged, when the name does not resolve or the list is full.
    bool AddHttpPeer(PeerInfo* r);

    // The two halves of AddHttpPeer, for callers that look names up on one
    // thread and store on another: Resolve does the (blocking) look-up and
    // fills r in place, false when the name does not resolve; Insert stores
    // a resolved record, false when the list is full.
    bool Resolve(PeerInfo* r) const;
    bool Insert(const PeerInfo& r);

    // Clears `out`, then copies every record in client-id order.
    void GetAll(std::vector<PeerInfo>& out) const;

    // Number of records.
    std::int32_t GetCount() const;

    // The name look-up used by AddHttpPeer (tests replace it; null restores
    // the getaddrinfo one).
    void SetResolver(resolver fn);

    void check_invariant() const;

private:
    std::map<std::uint64_t, PeerInfo> m_peers;
    resolver m_resolve;
    mutable CcsLocker m_lock;   // guards m_peers and m_resolve
};
