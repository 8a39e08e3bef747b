#include "discovery/wire_records.h"

#include <cstring>

#include "foundation/cmd_packet.h"

namespace discovery {

using cmd_packet::load_u16;
using cmd_packet::load_u32;
using cmd_packet::load_u64;
using cmd_packet::store_u16;
using cmd_packet::store_u32;
using cmd_packet::store_u64;

void StorePeerInfo(const PeerInfo& in, std::uint8_t* out)
{
    store_u64(out + 0, in.clientid);
    store_u32(out + 8, in.publicip);
    store_u16(out + 12, in.publicport);
    store_u32(out + 14, in.natip);
    store_u16(out + 18, in.natport);
    out[20] = in.peertype;
    std::memcpy(out + 21, in.path, 64);
    std::memcpy(out + 85, in.hostname, 64);
}

PeerInfo LoadPeerInfo(const std::uint8_t* in)
{
    PeerInfo p{};
    p.clientid = load_u64(in + 0);
    p.publicip = load_u32(in + 8);
    p.publicport = load_u16(in + 12);
    p.natip = load_u32(in + 14);
    p.natport = load_u16(in + 18);
    p.peertype = in[20];
    std::memcpy(p.path, in + 21, 64);
    std::memcpy(p.hostname, in + 85, 64);
    TerminateFixedText(p.path);
    TerminateFixedText(p.hostname);
    return p;
}

void StoreVPeerInfo(const VPeerInfo& in, std::uint8_t* out)
{
    store_u64(out + 0, in.clientid);
    store_u32(out + 8, in.ip);
    store_u16(out + 12, in.port);
    out[14] = in.peertype;
    std::memcpy(out + 15, in.path, 64);
    std::memcpy(out + 79, in.hostname, 64);
}

VPeerInfo LoadVPeerInfo(const std::uint8_t* in)
{
    VPeerInfo v{};
    v.clientid = load_u64(in + 0);
    v.ip = load_u32(in + 8);
    v.port = load_u16(in + 12);
    v.peertype = in[14];
    std::memcpy(v.path, in + 15, 64);
    std::memcpy(v.hostname, in + 79, 64);
    TerminateFixedText(v.path);
    TerminateFixedText(v.hostname);
    return v;
}

void StoreCisAddress(const CisAddress& in, std::uint8_t* out)
{
    store_u32(out, in.ip);
    store_u16(out + 4, in.port);
    out[6] = in.area;
}

CisAddress LoadCisAddress(const std::uint8_t* in)
{
    CisAddress c{};
    c.ip = load_u32(in);
    c.port = load_u16(in + 4);
    c.area = in[6];
    return c;
}

namespace {

template <typename T, T (*Load)(const std::uint8_t*)>
bool LoadList(const std::uint8_t* data, std::size_t length, std::vector<T>& out)
{
    out.clear();
    if (length % sizeof(T) != 0 || (length > 0 && data == nullptr))
        return false;
    out.reserve(length / sizeof(T));
    for (std::size_t at = 0; at < length; at += sizeof(T))
        out.push_back(Load(data + at));
    return true;
}

template <typename T, void (*Store)(const T&, std::uint8_t*)>
std::vector<std::uint8_t> StoreList(const std::vector<T>& in)
{
    std::vector<std::uint8_t> out(in.size() * sizeof(T));
    for (std::size_t i = 0; i < in.size(); ++i)
        Store(in[i], out.data() + i * sizeof(T));
    return out;
}

}   // namespace

bool LoadPeerInfoList(const std::uint8_t* data, std::size_t length, std::vector<PeerInfo>& out)
{
    return LoadList<PeerInfo, LoadPeerInfo>(data, length, out);
}

bool LoadVPeerInfoList(const std::uint8_t* data, std::size_t length, std::vector<VPeerInfo>& out)
{
    return LoadList<VPeerInfo, LoadVPeerInfo>(data, length, out);
}

bool LoadCisAddressList(const std::uint8_t* data, std::size_t length, std::vector<CisAddress>& out)
{
    return LoadList<CisAddress, LoadCisAddress>(data, length, out);
}

std::vector<std::uint8_t> StorePeerInfoList(const std::vector<PeerInfo>& in)
{
    return StoreList<PeerInfo, StorePeerInfo>(in);
}

std::vector<std::uint8_t> StoreVPeerInfoList(const std::vector<VPeerInfo>& in)
{
    return StoreList<VPeerInfo, StoreVPeerInfo>(in);
}

std::vector<std::uint8_t> StoreCisAddressList(const std::vector<CisAddress>& in)
{
    return StoreList<CisAddress, StoreCisAddress>(in);
}

}   // namespace discovery
