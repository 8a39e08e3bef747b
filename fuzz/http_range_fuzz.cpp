// Responses to the ranged GET of an HTTP peer or CDN, as a server or a
// middlebox may send them: the exchange of either connection class builds
// its request for a run of blocks, then is fed the input in pieces of the
// size the first byte picks. No header byte may reach storage: the blocks
// written are the body bytes in order, from the range start on.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "fuzz_check.h"
#include "isolated_env.h"
#include "net/conn/http_range_request.h"

namespace {

constexpr std::uint32_t kPieceSize = 100;   // one small block per piece
constexpr std::int32_t kFirstPiece = 2;
constexpr std::int32_t kRunPieces = 20;
constexpr std::uint64_t kPeerId = 5;

// A task of one file of 30 pieces whose run is pieces 2 to 21; it records
// what storage receives.
class RangeTask : public zeq::i_range_task {
public:
    std::uint64_t task_id() override { return 77; }
    i_io_service* io_service() override { return nullptr; }
    std::uint32_t piece_size() override { return kPieceSize; }
    CBlockRequestMap* piece_picker() override { return nullptr; }
    void request_continuous_blocks(BlockRequestQueue& out, std::uint32_t& count) override
    {
        std::uint32_t n = 0;
        for (std::int32_t p = kFirstPiece; p < kFirstPiece + kRunPieces && n < count; ++p, ++n) {
            BlockRequest b;
            b.piece = p;
            b.length = kPieceSize;
            out.push_back(b);
        }
        count = n;
    }
    bool get_http_peer_info(std::uint64_t id, HttpPeerInfo& out) override
    {
        if (id != kPeerId)
            return false;
        out = info();
        return true;
    }
    zeq::file_url_table::match find_file_url(const std::string&, const std::string&, const std::string&,
                                             std::string&) override
    {
        return zeq::file_url_table::match::none;
    }
    bool get_file_name_for_block(std::int32_t piece, std::string& name, std::int32_t& piece_in_file) override
    {
        name = "data\\a b.bin";
        piece_in_file = piece;
        return true;
    }
    bool write_block(const BlockRequest& block) override
    {
        FUZZ_CHECK(block.data != nullptr && block.offset == 0 && block.length == static_cast<std::int32_t>(kPieceSize));
        FUZZ_CHECK(block.piece == kFirstPiece + static_cast<std::int32_t>(written.size() / kPieceSize));
        written.append(reinterpret_cast<const char*>(block.data), kPieceSize);
        return true;
    }
    void count_block(std::uint8_t, std::uint32_t) override {}
    void add_release_request() override {}
    std::uint32_t release_request_count() override { return 1; }
    void take_release_request() override {}
    void work_returned() override {}
    bool text_enabled() override { return true; }
    void text_output(const std::string&) override {}
    bool is_stop_finished() override { return false; }
    void get_bitmap(std::vector<std::uint8_t>& bitmap) override { bitmap.clear(); }
    void remove_connection(int) override {}
    void redial() override {}
    void inc_http_connection_count(const PeerInfo&) override {}
    void dec_http_connection_count(const PeerInfo&) override {}
    void set_http_connection_speed(int, float) override {}
    void remove_http_connection_speed(int) override {}
    void report_source(const PeerInfo&, bool) override {}
    std::uint32_t note_source_rate(std::uint32_t rate) override { return rate; }
    bool has_other_source(const PeerInfo&) override { return false; }
    // Every answer is read whole: nothing to keep between answers.
    zeq::partial_blocks* partial_store() override { return nullptr; }
    bool has_http_peers() override { return false; }
    bool pick_http_peer(PeerInfo&) override { return false; }
    bool is_complete() override { return false; }

    std::string written;   // every block's bytes, in the order stored

private:
    static HttpPeerInfo info()
    {
        HttpPeerInfo i;
        i.peerid = kPeerId;
        i.host = "127.0.0.1";
        i.path = "/files/data/a b.bin";
        return i;
    }
};

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    isolate_platform_folders("http_range_fuzz");   // the CDN thread's client log
    const zeq::range_client client = data[0] & 0x80 ? zeq::range_client::cdn_thread : zeq::range_client::http_cdn;
    const bool hand_back_early = (data[0] & 0x40) != 0;
    const size_t chunk = 1 + (data[0] & 0x3f) * 7;
    const std::string response(reinterpret_cast<const char*>(data) + 1, size - 1);

    RangeTask task;
    zeq::http_range_request exchange(client, &task, &task);
    PeerInfo peer{};
    peer.clientid = kPeerId;
    peer.peertype = PEERTYPE_HTTP;
    std::strcpy(peer.hostname, "127.0.0.1");
    std::string request;
    FUZZ_CHECK(exchange.build(peer, request) == zeq::http_range_request::build_ok);
    FUZZ_CHECK(exchange.range_start() == kFirstPiece * kPieceSize);

    zeq::http_range_request::receive_state state = zeq::http_range_request::receive_state::more;
    bool header_seen = false;
    for (size_t off = 0; off < response.size(); off += chunk) {
        const size_t n = std::min(chunk, response.size() - off);
        state = exchange.receive(reinterpret_cast<const uint8_t*>(response.data()) + off, n, peer);
        exchange.check_invariant();
        if (state == zeq::http_range_request::receive_state::header_done) {
            header_seen = true;
            if (hand_back_early)
                exchange.hand_back();
        }
        if (state == zeq::http_range_request::receive_state::complete)
            header_seen = true;
        if (state == zeq::http_range_request::receive_state::complete ||
            state == zeq::http_range_request::receive_state::refused)
            break;
    }
    if (state == zeq::http_range_request::receive_state::refused)
        FUZZ_CHECK(!exchange.failure().empty());
    if (state != zeq::http_range_request::receive_state::complete)
        exchange.abort();

    // What storage got is the body from the range start (or, from a server
    // that ignored the range, from the same offset of the whole file).
    if (!header_seen) {
        FUZZ_CHECK(task.written.empty());
        return 0;
    }
    const size_t header_end = response.find("\r\n\r\n");
    FUZZ_CHECK(header_end != std::string::npos && header_end + 4 <= zeq::http_range_request::kMaxHeaderBytes);
    const std::string body = response.substr(header_end + 4);
    const std::string& w = task.written;
    const bool from_start = body.compare(0, w.size(), w) == 0;
    const bool skipped = body.size() >= exchange.range_start() &&
                         body.compare(exchange.range_start(), w.size(), w) == 0;
    FUZZ_CHECK(w.size() <= body.size() && (from_start || skipped));
    if (state == zeq::http_range_request::receive_state::complete && !hand_back_early)
        FUZZ_CHECK(w.size() == kRunPieces * kPieceSize);
    return 0;
}
