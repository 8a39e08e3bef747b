// The peer wire protocol as a remote peer may send it: the packet check on
// the raw input, then a peer connection fed the input as its receive
// stream, in the chunk sizes the first byte picks, with a timer tick now
// and then. The connection runs without a socket or an I/O thread: what it
// sends is only queued. Whatever arrives, nothing is read or written past
// a buffer, the queues stay bounded, and a closed connection hands every
// request back to the piece picker.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "picker/block_request_map.h"
#include "fuzz_check.h"
#include "net/conn/peer_connection.h"
#include "net/conn/peer_wire.h"
#include "platform/debug_output.h"
#include "tests/support/fake_peer_task.h"

namespace {

void check_packet(const uint8_t* data, size_t size)
{
    const int status = peer_wire::check_packet(data, size);
    FUZZ_CHECK(status >= 0 && status <= 6);
    if (size >= 4) {
        const int32_t length = peer_wire::read_length(data);
        FUZZ_CHECK(peer_wire::length_ok(length) == (length >= 1 && length <= 65536));
    }
}

void run_connection(const uint8_t* data, size_t size)
{
    if (size < 2)
        return;
    const size_t chunk = 1 + data[0] % 64;
    // The second byte picks who the remote peer is and who we are.
    const uint8_t flags = data[1];
    const uint8_t remote_type = flags % 6;
    const bool passive = (flags & 0x40) != 0;
    data += 2;
    size -= 2;

    // Five pieces of two blocks and one short piece; we hold 0 and 2.
    std::vector<uint32_t> lengths(5, 65536);
    lengths.push_back(1000);
    auto owned = std::make_unique<test_support::FakePeerTask>(nullptr, 77, 65536, lengths,
                                                              std::vector<uint8_t>{1, 0, 1, 0, 0, 0});
    test_support::FakePeerTask* task = owned.get();
    task->SetEventsEnabled((flags & 0x80) != 0);
    PeerInfo remote{};
    remote.clientid = 555;
    remote.peertype = remote_type;
    auto* conn = new CPeerConnection(std::move(owned), remote, passive ? 1 : 0);
    conn->on_connect();

    size_t fed = 0;
    unsigned rounds = 0;
    while (fed < size && !conn->is_closing()) {
        size_t n = 0;
        const std::vector<i_receive_span> spans = conn->receive_targets();
        if (!spans.empty()) {
            // Laid out over the blocks asked for: the bytes scatter.
            const size_t take = std::min(chunk, size - fed);
            for (const i_receive_span& s : spans) {
                const size_t part = std::min<size_t>(s.length, take - n);
                std::memcpy(s.data, data + fed + n, part);
                n += part;
            }
        } else {
            const uint32_t filled = conn->receive_filled();
            const uint32_t wanted = conn->receive_wanted();
            FUZZ_CHECK(filled < wanted);
            FUZZ_CHECK(wanted <= CPeerConnection::kReceiveBuffer);
            n = std::min<size_t>({wanted - filled, chunk, size - fed});
            std::memcpy(conn->receive_buffer() + filled, data + fed, n);
            conn->set_receive_window(filled + uint32_t(n), wanted);
        }
        fed += n;
        conn->on_receive(i_error_code(0), uint32_t(n));
        if (++rounds % 16 == 0)
            conn->on_timer();
        conn->check_invariant();
        FUZZ_CHECK(conn->in_flight_count() <= CPeerConnection::kMaxInFlight);
        FUZZ_CHECK(conn->pending_count() <= CPeerConnection::kMaxPending);
        FUZZ_CHECK(conn->send_queue_size() <= CPeerConnection::kSendQueueLimit);
    }
    conn->close();
    FUZZ_CHECK(conn->in_flight_count() == 0 && conn->pending_count() == 0);
    // Every request went back; no piece is counted as held by a gone peer.
    for (int32_t piece = 0; piece < int32_t(lengths.size()); ++piece) {
        FUZZ_CHECK(task->picker().Availability(piece) == 0);
        for (int32_t block = 0; block < 2; ++block)
            FUZZ_CHECK(task->picker().BlockState(piece, block) != CBlockRequestMap::kRequested);
    }
    // Written blocks lie inside the task and are at most one block long.
    for (const auto& w : task->Written()) {
        FUZZ_CHECK(w.first.first >= 0 && size_t(w.first.first) < lengths.size());
        FUZZ_CHECK(!w.second.empty() && w.second.size() <= kBlockSize);
    }
    conn->release();
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    platform::set_debug_output_enabled(false);
    check_packet(data, size);
    run_connection(data, size);
    return 0;
}
