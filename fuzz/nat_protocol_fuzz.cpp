// NAT traversal messages and the discovery record lists as a peer or an
// index server may send them: the decoder on the raw input, and the packet
// channel reading the input from a local socket pair, written in pieces of
// the size the first byte picks, with every packet it frames decoded.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>
#include <vector>

#include "discovery/nat_protocol.h"
#include "discovery/packet_channel.h"
#include "discovery/wire_records.h"
#include "fuzz_check.h"

namespace {

bool same_peer(const PeerInfo& a, const PeerInfo& b)
{
    return std::memcmp(&a, &b, sizeof a) == 0;
}

void decode(const std::uint8_t* data, size_t size)
{
    discovery::NatMessage m;
    if (!discovery::DecodeNatMessage(data, size, m))
        return;
    FUZZ_CHECK(m.command >= discovery::NAT_HANDSHAKE && m.command <= discovery::NAT_HEARTBEAT_ACK);
    FUZZ_CHECK(m.peer.path[sizeof m.peer.path - 1] == 0 && m.peer.hostname[sizeof m.peer.hostname - 1] == 0);
    // What the encoder makes of the message decodes to the same message.
    const std::vector<std::uint8_t> again = discovery::EncodeNatMessage(m);
    discovery::NatMessage m2;
    FUZZ_CHECK(discovery::DecodeNatMessage(again.data(), again.size(), m2));
    FUZZ_CHECK(m2.command == m.command && m2.task_id == m.task_id && m2.kind == m.kind);
    FUZZ_CHECK(m2.request_id == m.request_id && m2.result == m.result && m2.client_id == m.client_id);
    FUZZ_CHECK(m2.seen_ip == m.seen_ip && same_peer(m2.peer, m.peer));
}

template <class Record, class Load>
void record_list(const std::uint8_t* data, size_t size, size_t record_size, Load load)
{
    std::vector<Record> out;
    const bool ok = load(data, size, out);
    FUZZ_CHECK(ok == (size % record_size == 0));
    FUZZ_CHECK(out.size() == (ok ? size / record_size : 0));
}

// Writes the input into one end of a socket pair in pieces and reads
// packets from the other end until the stream ends or breaks framing.
void stream(const std::uint8_t* data, size_t size, size_t chunk)
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0)
        return;
    std::thread writer([&] {
        for (size_t off = 0; off < size; off += chunk) {
            const size_t n = std::min(chunk, size - off);
            if (send(fds[1], data + off, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n))
                break;
        }
        shutdown(fds[1], SHUT_WR);
    });
    discovery::PacketChannel channel(fds[0]);
    size_t consumed = 0;
    std::vector<std::uint8_t> packet;
    const discovery::StopCheck never = [] { return false; };
    // Each packet takes at least five bytes, so the loop ends with the input.
    for (size_t rounds = 0; rounds <= size / 5 + 1; ++rounds) {
        if (channel.ReceivePacket(packet, discovery::kNatMaxBody, 5000, never) != 0)
            break;
        FUZZ_CHECK(packet.size() > 4 && packet.size() <= 4 + discovery::kNatMaxBody);
        FUZZ_CHECK(packet.size() <= size - consumed);
        FUZZ_CHECK(std::equal(packet.begin(), packet.end(), data + consumed));
        consumed += packet.size();
        decode(packet.data(), packet.size());
    }
    channel.Close();
    writer.join();
    close(fds[1]);
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    decode(data, size);
    record_list<PeerInfo>(data, size, sizeof(PeerInfo), discovery::LoadPeerInfoList);
    record_list<VPeerInfo>(data, size, sizeof(VPeerInfo), discovery::LoadVPeerInfoList);
    record_list<CisAddress>(data, size, sizeof(CisAddress), discovery::LoadCisAddressList);
    if (size > 0)
        stream(data + 1, size - 1, 1 + data[0] % 37);
    return 0;
}
