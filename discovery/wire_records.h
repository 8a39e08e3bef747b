// Little-endian encoding of the discovery records, independent of the
// host's byte order. Received text fields are NUL-terminated in place so a
// peer that fills them to the end is never read past.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "discovery/peer_info.h"

namespace discovery {

void StorePeerInfo(const PeerInfo& in, std::uint8_t* out);       // 149 bytes
PeerInfo LoadPeerInfo(const std::uint8_t* in);                   // 149 bytes
void StoreVPeerInfo(const VPeerInfo& in, std::uint8_t* out);     // 143 bytes
VPeerInfo LoadVPeerInfo(const std::uint8_t* in);                 // 143 bytes
void StoreCisAddress(const CisAddress& in, std::uint8_t* out);   // 7 bytes
CisAddress LoadCisAddress(const std::uint8_t* in);               // 7 bytes

// Splits a field of whole records; false (and `out` empty) when the length
// is not a multiple of the record size.
bool LoadPeerInfoList(const std::uint8_t* data, std::size_t length, std::vector<PeerInfo>& out);
bool LoadVPeerInfoList(const std::uint8_t* data, std::size_t length, std::vector<VPeerInfo>& out);
bool LoadCisAddressList(const std::uint8_t* data, std::size_t length, std::vector<CisAddress>& out);

std::vector<std::uint8_t> StorePeerInfoList(const std::vector<PeerInfo>& in);
std::vector<std::uint8_t> StoreVPeerInfoList(const std::vector<VPeerInfo>& in);
std::vector<std::uint8_t> StoreCisAddressList(const std::vector<CisAddress>& in);

}   // namespace discovery
