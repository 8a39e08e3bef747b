#include "net/conn/peer_connection.h"

#include "foundation/cmd_packet.h"
#include "foundation/cmd_packet_reader.h"
#include "foundation/tlv_packet.h"
#include "io_test_util.h"
#include "peer_test_packets.h"
#include "discovery/lan_peer_discovery.h"
#include "net/io/live_connections.h"
#include "report/log_connection.h"
#include "support/fake_log_server.h"
#include "support/fake_peer_task.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

using bytes = std::vector<std::uint8_t>;
using test_support::FakePeerTask;
namespace pw = peer_wire;

constexpr std::uint64_t kTask = 77;
constexpr std::uint64_t kRemoteId = 555;
constexpr std::uint32_t kPiece = 65536;   // two blocks per piece

PeerInfo Remote(std::uint8_t type, std::uint64_t id = kRemoteId)
{
    PeerInfo p{};
    p.clientid = id;
    p.peertype = type;
    p.publicip = 0x0100007f;
    p.publicport = 7000;
    return p;
}

using peer_test::Le;
using peer_test::Raw;

bytes Bitfield(const std::vector<std::uint8_t>& pieces, std::uint16_t serve_queue = 0)
{
    bytes out;
    pw::build_bitfield(kRemoteId, kTask, pieces, out, serve_queue);
    return out;
}

bytes Ask(std::uint32_t piece, std::uint32_t offset, std::uint32_t length)
{
    bytes out;
    pw::build_block_request({kRemoteId, kTask, {piece, offset, length}}, out);
    return out;
}

bytes Data(std::uint32_t piece, std::uint32_t offset, std::uint32_t length)
{
    bytes out;
    std::uint8_t* p = pw::layout_block_data(kRemoteId, kTask, {piece, offset, length}, out);
    const bytes b = FakePeerTask::BlockBytes(std::int32_t(piece), offset, length);
    std::copy(b.begin(), b.end(), p);
    return out;
}

bytes Concat(const std::vector<bytes>& packets)
{
    bytes out;
    for (const bytes& p : packets)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

bytes HaveOf(std::uint32_t piece)
{
    bytes out;
    pw::build_have({kRemoteId, kTask, piece}, out);
    return out;
}

// A peer connection that records the size of every send it completes.
class SendCountingConnection : public CPeerConnection {
public:
    using CPeerConnection::CPeerConnection;
    void on_send(const i_error_code& error, std::uint32_t bytes) override
    {
        std::lock_guard<std::mutex> guard(lock);
        sends.push_back(bytes);
        sent += bytes;
        CPeerConnection::on_send(error, bytes);
    }
    std::mutex lock;
    std::vector<std::uint32_t> sends;
    std::uint64_t sent = 0;
};

// The remote end of one connection: a blocking socket the test writes
// packets to and reads packets from, every read bounded.
class Link {
public:
    Link(i_io_service& io, std::uint8_t remote_type, std::uint8_t passive, std::vector<std::uint32_t> lengths,
         std::vector<std::uint8_t> held)
    {
        auto owned = std::make_unique<FakePeerTask>(&io, kTask, kPiece, std::move(lengths), std::move(held));
        task = owned.get();
        counted = new SendCountingConnection(std::move(owned), Remote(remote_type), passive);
        conn = counted;
    }
    ~Link()
    {
        if (!conn)
            return;   // the test let its reference go
        // Pending operations end with 995 on the I/O thread; ours is the
        // last reference once they have.
        conn->close();
        EXPECT_TRUE(test_support::wait_until([&] { return conn->ref_count() == 1; }));
        conn->release();
    }
    void Start() { EXPECT_TRUE(conn->start(pair.release_a())); }

    void Send(const bytes& b)
    {
        std::size_t done = 0;
        while (done < b.size()) {
            std::uint32_t error = 0;
            const long n = platform::send_some(pair.b, b.data() + done, b.size() - done, error);
            if (n <= 0)
                return;
            done += std::size_t(n);
        }
    }

    // Reads exactly n bytes within ms; false on timeout or end of stream.
    bool ReadExact(std::uint8_t* out, std::size_t n, std::uint32_t ms)
    {
        const std::uint64_t end = platform::tick_count64() + ms;
        std::size_t got = 0;
        while (got < n) {
            const std::uint64_t now = platform::tick_count64();
            if (now >= end || platform::wait_readable(pair.b, std::uint32_t(end - now)) != 1)
                return false;
            std::uint32_t error = 0;
            const long r = platform::receive_some(pair.b, out + got, n - got, error);
            if (r <= 0)
                return false;
            got += std::size_t(r);
            read_bytes += std::size_t(r);
        }
        return true;
    }

    // The next whole packet, or empty.
    bytes Read(std::uint32_t ms = 3000)
    {
        std::uint8_t prefix[4];
        if (!ReadExact(prefix, 4, ms))
            return {};
        const std::uint32_t length = cmd_packet::load_u32(prefix);
        if (length > 70000)
            return {};
        bytes packet(4 + length);
        std::copy(prefix, prefix + 4, packet.begin());
        if (!ReadExact(packet.data() + 4, length, ms))
            return {};
        return packet;
    }

    // The next packet of `command`, skipping others.
    bytes ReadCommand(std::uint16_t command, std::uint32_t ms = 3000)
    {
        const std::uint64_t end = platform::tick_count64() + ms;
        while (platform::tick_count64() < end) {
            bytes p = Read(std::uint32_t(end - platform::tick_count64()));
            if (p.empty())
                return p;
            if (pw::packet_command(p.data(), p.size()) == command)
                return p;
        }
        return {};
    }

    // True once the connection has closed its end (all data drained).
    bool Closed(std::uint32_t ms = 5000)
    {
        const std::uint64_t end = platform::tick_count64() + ms;
        std::uint8_t sink[65536];
        while (platform::tick_count64() < end) {
            if (platform::wait_readable(pair.b, 50) != 1)
                continue;
            std::uint32_t error = 0;
            if (platform::receive_some(pair.b, sink, sizeof(sink), error) <= 0)
                return true;
        }
        return false;
    }

    // Nothing arrives for `ms`.
    bool Quiet(std::uint32_t ms) { return platform::wait_readable(pair.b, ms) == 0; }

    // The remote's greeting handled: our 60 and 65 read, its 65 sent.
    void MakeReady(const std::vector<std::uint8_t>& remote_pieces, std::uint16_t serve_queue = 0)
    {
        ASSERT_FALSE(ReadCommand(pw::cmd_bitfield).empty());
        Send(Bitfield(remote_pieces, serve_queue));
        ASSERT_TRUE(test_support::wait_until([&] { return conn->is_ready(); }));
        ASSERT_FALSE(ReadCommand(pw::cmd_son_list_request).empty());
    }

    net_test::socket_pair pair;
    FakePeerTask* task = nullptr;   // owned by the connection
    CPeerConnection* conn = nullptr;
    SendCountingConnection* counted = nullptr;   // the same connection
    std::uint64_t read_bytes = 0;                // everything read from the connection
};

class PeerConnectionTest : public ::testing::Test {
protected:
    void TearDown() override { platform::set_tick_source(nullptr); }

    // Six pieces of two blocks; we hold `held`.
    std::unique_ptr<Link> Open(std::uint8_t remote_type, std::uint8_t passive,
                               std::vector<std::uint8_t> held = {1, 0, 1, 0, 0, 0})
    {
        auto link = std::make_unique<Link>(io.io, remote_type, passive, std::vector<std::uint32_t>(6, kPiece),
                                           std::move(held));
        return link;
    }

    net_test::io_thread io;
};

TEST_F(PeerConnectionTest, ActiveSideGreetsWithHandshakeThenBitfield)
{
    auto link = Open(PEERTYPE_SP, 0);
    link->Start();
    const bytes hs = link->Read();
    ASSERT_FALSE(hs.empty());
    CCmdPacketReader r(hs.data(), hs.size());
    ASSERT_EQ(r.command(), pw::cmd_handshake);
    pw::Handshake m;
    ASSERT_TRUE(pw::parse_handshake(r, m));
    EXPECT_EQ(m.task_id, kTask);
    EXPECT_EQ(m.one, 1);
    EXPECT_EQ(m.sender.clientid, 1001u);
    EXPECT_EQ(m.sender.natip, 0x0a000001u);
    EXPECT_EQ(m.sender.listen_port, 9768);
    EXPECT_EQ(m.sender.peertype, PEERTYPE_SP);
    EXPECT_EQ(m.piece_size, kPiece);

    const bytes bf = link->Read();
    CCmdPacketReader rb(bf.data(), bf.size());
    ASSERT_EQ(rb.command(), pw::cmd_bitfield);
    pw::Bitfield b;
    ASSERT_TRUE(pw::parse_bitfield(rb, b));
    ASSERT_EQ(b.bytes, 1u);
    EXPECT_EQ(b.bits[0], 0xA0) << "pieces 0 and 2, most significant bit first";
    EXPECT_TRUE(link->conn->assign_task(0)) << "not ready yet";
    EXPECT_FALSE(link->conn->assign_task(1));
}

TEST_F(PeerConnectionTest, PassiveSideAnswersAMatchingHandshakeAndClosesOnAnotherTask)
{
    // A handshake naming another task or piece size ends the connection
    // unanswered; one naming another client id is answered with result 1.
    struct Case {
        std::uint64_t task;
        std::uint64_t client;
        std::uint32_t piece_size;
        std::uint32_t result;   // 99: closed unanswered
    } cases[] = {
        {kTask, kRemoteId, kPiece, 3},          {kTask + 1, kRemoteId, kPiece, 99}, {kTask, kRemoteId + 1, kPiece, 1},
        {kTask + 1, kRemoteId + 1, kPiece, 99}, {kTask, kRemoteId, 1, 99},          {kTask + 1, kRemoteId + 1, 1, 99},
    };
    for (const Case& c : cases) {
        auto link = Open(PEERTYPE_DIRECT, 1);
        link->Start();
        EXPECT_TRUE(link->Quiet(200)) << "a passive connection waits for the remote handshake";
        bytes hs;
        pw::Handshake m;
        m.task_id = c.task;
        m.sender.clientid = c.client;
        m.piece_size = c.piece_size;
        pw::build_handshake(m, hs);
        link->Send(hs);
        if (c.result == 99) {
            EXPECT_TRUE(link->Closed()) << c.task << " " << c.piece_size;
            EXPECT_EQ(link->read_bytes, 0u) << "nothing is answered";
            EXPECT_FALSE(link->task->Removed().empty()) << "the connection leaves the task's set";
            continue;
        }
        const bytes reply = link->Read();
        CCmdPacketReader r(reply.data(), reply.size());
        ASSERT_EQ(r.command(), pw::cmd_handshake_reply) << c.result;
        pw::HandshakeReply rep;
        ASSERT_TRUE(pw::parse_handshake_reply(r, rep));
        EXPECT_EQ(rep.result, c.result);
        EXPECT_EQ(rep.client_id, 1001u);
        EXPECT_EQ(rep.task_id, kTask);
        EXPECT_EQ(rep.parent_offer, 0) << "the remote peer is not behind NAT";
        const bytes bf = link->Read();
        EXPECT_EQ(pw::packet_command(bf.data(), bf.size()), pw::cmd_bitfield);
    }
    // After a good greeting, a block request or a block naming another task
    // is neither served nor stored: the connection ends.
    for (const bool ask : {true, false}) {
        auto link = Open(PEERTYPE_SP, 0, {1, 0, 1, 0, 0, 0});
        link->Start();
        link->MakeReady(std::vector<std::uint8_t>(6, 0));
        bytes out;
        if (ask)
            pw::build_block_request({kRemoteId, kTask + 1, {0, 0, kBlockSize}}, out);
        else
            (void)pw::layout_block_data(kRemoteId, kTask + 1, {1, 0, kBlockSize}, out);
        link->Send(out);
        EXPECT_TRUE(link->Closed()) << ask;
        EXPECT_EQ(link->task->Uploads(), 0u);
        EXPECT_EQ(link->task->Reads(), 0u);
        EXPECT_TRUE(link->task->Written().empty());
    }
}

TEST_F(PeerConnectionTest, ReachablePeersOfferThemselvesAsParentsToPeersBehindNat)
{
    struct Case {
        std::uint8_t self_type;
        std::size_t parents;
        std::uint8_t offer;
    } cases[] = {{PEERTYPE_SP, 0, 1}, {PEERTYPE_SP, 9, 1}, {PEERTYPE_SP, 10, 0}, {PEERTYPE_NAT, 0, 0}};
    for (const Case& c : cases) {
        auto link = Open(PEERTYPE_NAT, 1);
        PeerInfo self = link->task->self_peer_info();
        self.peertype = c.self_type;
        link->task->SetSelf(self);
        link->task->SetParents(std::vector<PeerInfo>(c.parents));
        link->Start();
        bytes hs;
        pw::Handshake m;
        m.task_id = kTask;
        m.sender.clientid = kRemoteId;
        m.piece_size = kPiece;
        pw::build_handshake(m, hs);
        link->Send(hs);
        const bytes reply = link->ReadCommand(pw::cmd_handshake_reply);
        CCmdPacketReader r(reply.data(), reply.size());
        pw::HandshakeReply rep;
        ASSERT_TRUE(pw::parse_handshake_reply(r, rep));
        EXPECT_EQ(rep.parent_offer, c.offer) << int(c.self_type) << " " << c.parents;
        const std::vector<PeerInfo> sons = link->task->Sons();
        ASSERT_EQ(sons.size(), std::size_t(c.offer));
        if (c.offer) {
            EXPECT_EQ(std::uint64_t{sons[0].clientid}, kRemoteId);
        }
    }
}

TEST_F(PeerConnectionTest, HandshakeReplyChecksTheTaskAndTakesTheParentOffer)
{
    {
        auto link = Open(PEERTYPE_SP, 0);
        link->Start();
        bytes reply;
        pw::build_handshake_reply({kRemoteId, kTask + 1, 1, 3}, reply);
        link->Send(reply);
        EXPECT_TRUE(link->Closed());
        EXPECT_TRUE(link->task->HasErrorContaining("频道号不正确!"));
        EXPECT_TRUE(link->task->Parents().empty());
        EXPECT_FALSE(link->task->Removed().empty()) << "the connection leaves the task's set";
    }
    {
        auto link = Open(PEERTYPE_SP, 0);
        link->Start();
        bytes reply;
        pw::build_handshake_reply({kRemoteId, kTask, 1, 3}, reply);
        link->Send(reply);
        ASSERT_TRUE(test_support::wait_until([&] { return link->task->Parents().size() == 1; }));
        EXPECT_EQ(std::uint64_t{link->task->Parents()[0].clientid}, kRemoteId);
        EXPECT_FALSE(link->conn->is_closing());
    }
}

TEST_F(PeerConnectionTest, SixRequestsInFlightFivePendingAndOneMoreAfterEachBlock)
{
    auto link = Open(PEERTYPE_SP, 0, std::vector<std::uint8_t>(6, 0));
    link->Start();
    link->MakeReady(std::vector<std::uint8_t>(6, 1));
    std::vector<pw::BlockRecord> asked;
    for (int i = 0; i < 6; ++i) {
        const bytes p = link->ReadCommand(pw::cmd_block_request);
        CCmdPacketReader r(p.data(), p.size());
        pw::BlockAsk a;
        ASSERT_TRUE(pw::parse_block_request(r, a)) << i;
        EXPECT_EQ(a.client_id, 1001u);
        asked.push_back(a.block);
    }
    EXPECT_TRUE(link->Quiet(300)) << "no seventh request while six are in flight";
    // The request lines name the peer's address as it reads (127.0.0.1).
    EXPECT_TRUE(link->task->HasTextContaining("请求block: 77 ip:127.0.0.1 port:7000 "));
    EXPECT_EQ(link->conn->in_flight_count(), 6u);
    EXPECT_EQ(link->conn->pending_count(), 5u);
    EXPECT_FALSE(link->conn->assign_task(2)) << "requests are in flight";
    EXPECT_TRUE(link->conn->assign_task(1)) << "the peer holds pieces we want";

    const pw::BlockRecord first = asked.front();
    link->Send(Data(first.piece, first.offset, first.length));
    const bytes next = link->ReadCommand(pw::cmd_block_request);
    ASSERT_FALSE(next.empty()) << "a received block frees a place";
    ASSERT_TRUE(test_support::wait_until([&] { return link->task->Downloads() == 1; }));
    const auto written = link->task->Written();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_EQ(written.begin()->second, FakePeerTask::BlockBytes(first.piece, first.offset, first.length));
    EXPECT_EQ(link->task->picker().BlockState(first.piece, first.offset / kBlockSize), CBlockRequestMap::kReceived);
    EXPECT_EQ(link->conn->in_flight_count(), 6u);
}

TEST_F(PeerConnectionTest, BlocksArrivingTogetherAreAskedAgainWithOneSend)
{
    // Twelve one-block pieces: six asked, five in reserve, one left.
    Link link(io.io, PEERTYPE_SP, 0, std::vector<std::uint32_t>(12, 1000), std::vector<std::uint8_t>(12, 0));
    link.Start();
    link.MakeReady(std::vector<std::uint8_t>(12, 1));
    bytes answers;
    for (int i = 0; i < 6; ++i) {
        const bytes p = link.ReadCommand(pw::cmd_block_request);
        CCmdPacketReader r(p.data(), p.size());
        pw::BlockAsk a;
        ASSERT_TRUE(pw::parse_block_request(r, a)) << i;
        const bytes d = Data(a.block.piece, a.block.offset, a.block.length);
        answers.insert(answers.end(), d.begin(), d.end());
    }
    link.Send(answers);   // one segment, read by one receive
    for (int i = 0; i < 6; ++i)
        ASSERT_FALSE(link.ReadCommand(pw::cmd_block_request).empty()) << i;
    EXPECT_EQ(link.task->Downloads(), 6u);
    ASSERT_TRUE(test_support::wait_until([&] {
        std::lock_guard<std::mutex> guard(link.counted->lock);
        return link.counted->sent == link.read_bytes;
    }));
    std::lock_guard<std::mutex> guard(link.counted->lock);
    EXPECT_EQ(link.counted->sends.back(), 6 * Ask(0, 0, 1000).size()) << "the places freed together, in one send";
    EXPECT_EQ(link.conn->in_flight_count(), 6u);
    EXPECT_EQ(link.conn->pending_count(), 0u);
}

TEST_F(PeerConnectionTest, AskedBlocksLandInStorageAndWhateverElseComesIsReadAsUsual)
{
    auto link = Open(PEERTYPE_SP, 0, std::vector<std::uint8_t>(6, 0));
    link->Start();
    link->MakeReady({1, 1, 1, 1, 1, 0});
    std::deque<pw::BlockRecord> asked;
    auto ask_more = [&](std::size_t n) {
        for (std::size_t i = 0; i < n; ++i) {
            const bytes p = link->ReadCommand(pw::cmd_block_request);
            CCmdPacketReader r(p.data(), p.size());
            pw::BlockAsk a;
            ASSERT_TRUE(pw::parse_block_request(r, a)) << i;
            asked.push_back(a.block);
        }
    };
    auto answer = [&](std::size_t i) { return Data(asked[i].piece, asked[i].offset, asked[i].length); };
    // Each cut is read by a receive of its own: inside a head, at its end,
    // inside a block, across two packets.
    auto send_cut = [&](const bytes& stream, const std::vector<std::size_t>& cuts) {
        std::size_t from = 0;
        for (std::size_t to : cuts) {
            to = std::min(to, stream.size());
            const std::uint64_t before = link->conn->total_received();
            link->Send(bytes(stream.begin() + std::ptrdiff_t(from), stream.begin() + std::ptrdiff_t(to)));
            ASSERT_TRUE(test_support::wait_until([&] { return link->conn->total_received() == before + (to - from); }));
            from = to;
        }
    };
    auto written_right = [&](std::size_t count) {
        const auto written = link->task->Written();
        EXPECT_EQ(written.size(), count);
        for (const auto& w : written)
            EXPECT_EQ(w.second, FakePeerTask::BlockBytes(w.first.first, std::uint32_t(w.first.second),
                                                         std::uint32_t(w.second.size())))
                << w.first.first << "/" << w.first.second;
    };
    ask_more(6);

    // Answers in the order asked land in storage's places, wherever the
    // stream is cut.
    const std::size_t head = pw::kBlockDataHead;
    send_cut(Concat({answer(0), answer(1), answer(2)}),
             {1, head - 1, head, head + 100, 32768 + head + 7, 100000, 200000});
    ASSERT_TRUE(test_support::wait_until([&] { return link->task->Downloads() == 3; }));
    EXPECT_EQ(link->task->m_lent_writes.load(), 3u);
    written_right(3);
    ask_more(3);

    // Blocks read as usual after a packet that was not expected (cut after
    // its start, or in one receive with it) are received, not kept aside
    // for places still lent and then asked for again.
    auto stay_received = [&](std::size_t from, std::size_t to) {
        for (std::size_t i = from; i < to; ++i)
            EXPECT_EQ(link->task->picker().BlockState(std::int32_t(asked[i].piece),
                                                      std::int32_t(asked[i].offset / kBlockSize)),
                      CBlockRequestMap::kReceived)
                << i;
    };

    // A have before a block, a block out of order: nothing is lost or
    // taken twice, and the have counts.
    const std::uint32_t lent_before = link->task->m_lent_writes.load();
    send_cut(Concat({HaveOf(5), answer(4), answer(3)}), {20, 200000});
    ASSERT_TRUE(test_support::wait_until([&] { return link->task->Downloads() == 5; }));
    written_right(5);
    EXPECT_EQ(link->conn->remote_piece_map(), std::vector<std::uint8_t>(6, 1));
    ask_more(2);
    stay_received(3, 5);
    send_cut(answer(5), {10, 200000});
    ASSERT_TRUE(test_support::wait_until([&] { return link->task->Downloads() == 6; }));
    EXPECT_GT(link->task->m_lent_writes.load(), lent_before) << "landing again after the mismatch";
    written_right(6);
    ask_more(1);
    // Every block is asked now: with these two in, nothing is left to ask
    // unless they were taken for missing again.
    const std::uint32_t releases = link->task->m_release_requests.load();
    send_cut(Concat({HaveOf(5), answer(6), answer(7)}), {200000});
    ASSERT_TRUE(test_support::wait_until([&] { return link->task->m_release_requests.load() > releases; }));
    stay_received(6, 8);
    written_right(8);
    EXPECT_FALSE(link->conn->is_closing());

    // A connection that goes with blocks lent and one under way gives every
    // loan back.
    send_cut(answer(8), {head + 10});
    const auto loans = link->task->m_loans;
    EXPECT_GT(loans->load(), 0);
    link.reset();
    EXPECT_EQ(loans->load(), 0);
}

TEST_F(PeerConnectionTest, NothingFreeLeftAsksAFewCopiesAndRaisesTheReleaseRequestOnce)
{
    auto link = Open(PEERTYPE_SP, 0, std::vector<std::uint8_t>(6, 0));
    // Every block is asked of other sources already, oldest first in the
    // order the runs were handed out.
    BlockRequestQueue asked;
    for (;;) {
        BlockRequestQueue run;
        link->task->picker().GetContinuousBlocks(run);
        if (run.empty())
            break;
        asked.insert(asked.end(), run.begin(), run.end());
    }
    link->Start();
    link->MakeReady(std::vector<std::uint8_t>(6, 1));
    // Copies of the oldest requests, a few only.
    for (std::int32_t i = 0; i < std::int32_t(CBlockRequestMap::kEndGameBlocks); ++i) {
        const bytes p = link->ReadCommand(pw::cmd_block_request);
        CCmdPacketReader r(p.data(), p.size());
        pw::BlockAsk a;
        ASSERT_TRUE(pw::parse_block_request(r, a)) << i;
        EXPECT_EQ(a.block.piece, std::uint32_t(asked[std::size_t(i)].piece)) << i;
        EXPECT_EQ(a.block.offset, std::uint32_t(asked[std::size_t(i)].offset)) << i;
    }
    ASSERT_TRUE(test_support::wait_until([&] { return link->task->m_release_requests.load() == 1; }));
    link->Send(HaveOf(2));
    EXPECT_TRUE(link->Quiet(300)) << "nothing more to ask";
    EXPECT_EQ(1u, link->task->m_release_requests.load()) << "once until a request goes out";
}

TEST_F(PeerConnectionTest, ADirectPeerIsTakenToHoldEveryPiece)
{
    auto link = Open(PEERTYPE_DIRECT, 0, std::vector<std::uint8_t>(6, 0));
    link->Start();
    link->MakeReady(std::vector<std::uint8_t>(6, 0));
    EXPECT_EQ(link->conn->remote_piece_map(), std::vector<std::uint8_t>(6, 1));
    EXPECT_FALSE(link->ReadCommand(pw::cmd_block_request).empty());
    EXPECT_EQ(link->task->picker().Availability(5), 1u);
}

// A seed takes no share of the origin's work, nor does a peer until it
// holds a piece we lack; each leaves with its connection.
TEST_F(PeerConnectionTest, OnlyAPeerHoldingWhatWeLackSharesTheOriginsWork)
{
    auto seed = Open(PEERTYPE_SP, 0);
    CBlockRequestMap& seeds = seed->task->picker();
    seed->Start();
    seed->MakeReady(std::vector<std::uint8_t>(6, 1));
    EXPECT_EQ(1u, seeds.Seeds() + seeds.CoDownloaders() * 2);
    seed->conn->close();
    ASSERT_TRUE(test_support::wait_until([&] { return seeds.Seeds() == 0; }));

    auto peer = Open(PEERTYPE_SP, 0);   // we hold pieces 0 and 2
    CBlockRequestMap& picker = peer->task->picker();
    peer->Start();
    peer->MakeReady({1, 0, 0, 0, 0, 0});
    peer->Send(HaveOf(2));
    ASSERT_TRUE(test_support::wait_until([&] { return picker.Availability(2) == 1; }));
    EXPECT_EQ(0u, picker.CoDownloaders()) << "nothing we lack";
    peer->Send(HaveOf(3));
    ASSERT_TRUE(test_support::wait_until([&] { return picker.CoDownloaders() == 1; }));
    peer->conn->close();
    ASSERT_TRUE(test_support::wait_until([&] { return picker.CoDownloaders() == 0; }));
}

TEST_F(PeerConnectionTest, ServesVerifiedBlocksAndClosesOnlyAPeerThatKeepsAskingForMissingPieces)
{
    auto link = Open(PEERTYPE_SP, 0);
    link->Start();
    link->MakeReady(std::vector<std::uint8_t>(6, 0));
    link->Send(Ask(2, 32768, 32768));
    const bytes p = link->ReadCommand(pw::cmd_block_data);
    CCmdPacketReader r(p.data(), p.size());
    pw::BlockData d;
    ASSERT_TRUE(pw::parse_block_data(r, d));
    EXPECT_EQ(d.client_id, 1001u);
    EXPECT_EQ(d.block.piece, 2u);
    EXPECT_EQ(d.block.offset, 32768u);
    EXPECT_EQ(bytes(d.data, d.data + d.block.length), FakePeerTask::BlockBytes(2, 32768, 32768));
    EXPECT_EQ(link->task->Uploads(), 1u);

    // A request for a piece we lack gets no answer; the next one is served.
    link->Send(Ask(1, 0, 32768));
    link->Send(Ask(0, 0, 32768));
    const bytes next = link->ReadCommand(pw::cmd_block_data);
    CCmdPacketReader r2(next.data(), next.size());
    ASSERT_TRUE(pw::parse_block_data(r2, d));
    EXPECT_EQ(d.block.piece, 0u) << "piece 1 was left unanswered";
    EXPECT_FALSE(link->conn->is_closing());
    EXPECT_TRUE(link->task->Errors().empty());
    // A peer that keeps asking for it is closed.
    for (std::uint32_t i = 1; i < CPeerConnection::kMaxUnheldRequests; ++i)
        link->Send(Ask(1, 0, 32768));
    EXPECT_TRUE(link->Closed());
    EXPECT_TRUE(link->task->HasErrorContaining("piece_index=1"));
    EXPECT_EQ(link->task->Uploads(), 2u);
}

TEST_F(PeerConnectionTest, RequestsWaitingForTheDiskAreAnsweredInOrderAndAClosedConnectionOutlivesItsRead)
{
    auto link = Open(PEERTYPE_SP, 0);   // pieces 0 and 2 held
    link->Start();
    link->MakeReady(std::vector<std::uint8_t>(6, 0));
    FakePeerTask& task = *link->task;
    auto expect_block = [&](std::uint32_t piece, std::uint32_t offset) {
        const bytes p = link->ReadCommand(pw::cmd_block_data);
        CCmdPacketReader r(p.data(), p.size());
        pw::BlockData d;
        ASSERT_TRUE(pw::parse_block_data(r, d));
        EXPECT_EQ(piece, d.block.piece);
        EXPECT_EQ(offset, d.block.offset);
        EXPECT_EQ(bytes(d.data, d.data + d.block.length), FakePeerTask::BlockBytes(std::int32_t(piece), offset, 32768));
    };

    // Piece 2 must come from the disk: the request for piece 0 behind it,
    // though at hand, is answered after it.
    task.SetSlowPieces({2});
    link->Send(Ask(2, 0, 32768));
    link->Send(Ask(0, 32768, 32768));
    ASSERT_TRUE(test_support::wait_until([&] { return task.ReadsWaiting() == 1; }));
    EXPECT_TRUE(link->Quiet(200));
    ASSERT_TRUE(task.FinishReads(0));
    expect_block(2, 0);
    expect_block(0, 32768);

    // A piece that could not be read leaves its request unanswered.
    task.SetSlowPieces({2});
    link->Send(Ask(2, 32768, 32768));
    link->Send(Ask(0, 0, 32768));
    ASSERT_TRUE(test_support::wait_until([&] { return task.ReadsWaiting() == 1; }));
    ASSERT_TRUE(task.FinishReads(-1));
    expect_block(0, 0);
    EXPECT_EQ(3u, task.Uploads());
    EXPECT_FALSE(link->conn->is_closing());

    // A peer that keeps asking while the disk works has a bounded number of
    // requests kept; the rest get no answer.
    task.SetSlowPieces({2});
    for (std::size_t i = 0; i < CPeerConnection::kMaxUploadsWaiting + 8; ++i)
        link->Send(Ask(2, 0, 32768));
    bytes son_list;
    pw::build_son_list_request({kRemoteId, kTask, 50, 0}, son_list);
    link->Send(son_list);
    ASSERT_FALSE(link->ReadCommand(pw::cmd_son_list_reply).empty()) << "the requests before it were taken";
    ASSERT_TRUE(task.FinishReads(0));
    for (std::size_t i = 0; i < CPeerConnection::kMaxUploadsWaiting; ++i)
        expect_block(2, 0);
    EXPECT_TRUE(link->Quiet(200));
    const std::uint32_t uploads = task.Uploads();
    EXPECT_EQ(3u + CPeerConnection::kMaxUploadsWaiting, uploads);

    // Closed, and its owner gone, while a read waits: the read keeps the
    // connection until its answer, which sends nothing; then it ends.
    task.SetSlowPieces({2});
    link->Send(Ask(2, 0, 32768));
    ASSERT_TRUE(test_support::wait_until([&] { return task.ReadsWaiting() == 1; }));
    link->conn->close();
    EXPECT_TRUE(link->Closed());
    ASSERT_TRUE(test_support::wait_until([&] { return link->conn->ref_count() == 2; }));
    EXPECT_EQ(uploads, task.Uploads());
    std::exchange(link->conn, nullptr)->release();
    EXPECT_EQ(1u, live_connections::count(kTask));
    ASSERT_TRUE(task.FinishReads(0));
    EXPECT_TRUE(live_connections::wait_for_zero(kTask, 5000, 5));
}

TEST_F(PeerConnectionTest, ADirectPeerLeavesRequestsForMissingPiecesUnanswered)
{
    // Peers take a directly connectable peer to hold every piece, so their
    // requests for pieces it lacks are not a fault.
    auto link = Open(PEERTYPE_SP, 0);
    PeerInfo self = link->task->self_peer_info();
    self.peertype = PEERTYPE_DIRECT;
    link->task->SetSelf(self);
    link->Start();
    link->MakeReady(std::vector<std::uint8_t>(6, 0));
    link->Send(Ask(1, 0, 32768));
    link->Send(Ask(0, 0, 32768));
    const bytes p = link->ReadCommand(pw::cmd_block_data);
    CCmdPacketReader r(p.data(), p.size());
    pw::BlockData d;
    ASSERT_TRUE(pw::parse_block_data(r, d));
    EXPECT_EQ(d.block.piece, 0u) << "only the held piece is answered";
    EXPECT_FALSE(link->conn->is_closing());
    EXPECT_TRUE(link->task->Errors().empty());
}

TEST_F(PeerConnectionTest, MalformedRecordsCloseWithoutTouchingStorage)
{
    const bytes cases[] = {
        Ask(0, 100, 32768),                          // not block-aligned
        Ask(0, 0, 0),                                // empty
        Ask(0, 0, 40000),                            // longer than a block
        Ask(0, 65536, 32768),                        // past the piece
        Ask(6, 0, 32768),                            // past the task's pieces
        Ask(0xFFFFFFFFu, 0, 1),                      // a negative piece
        Data(9, 0, 16),                              // block data for a piece the task does not have
        Bitfield(std::vector<std::uint8_t>(9, 1)),   // 2 bytes for 6 pieces
        Raw(pw::cmd_bitfield, {{0, Le(1, 8)}, {1, Le(kTask, 8)}, {2, {}}}),              // 0 bytes for 6 pieces
        Raw(pw::cmd_block_request, {{0, Le(1, 8)}, {1, Le(kTask, 8)}, {2, Le(0, 8)}}),   // record 8 bytes
    };
    int i = 0;
    for (const bytes& packet : cases) {
        auto link = Open(PEERTYPE_SP, 0);
        link->Start();
        link->Send(Bitfield(std::vector<std::uint8_t>(6, 0)));
        ASSERT_TRUE(test_support::wait_until([&] { return link->conn->is_ready() || link->conn->is_closing(); }));
        link->Send(packet);
        EXPECT_TRUE(link->Closed()) << i;
        EXPECT_EQ(link->task->Reads(), 0u) << i;
        EXPECT_TRUE(link->task->Written().empty()) << i;
        EXPECT_FALSE(link->task->Errors().empty()) << i;
        ++i;
    }
}

TEST_F(PeerConnectionTest, HaveMarksThePieceOnceAndABadIndexCloses)
{
    auto link = Open(PEERTYPE_SP, 0);
    link->Start();
    link->MakeReady(std::vector<std::uint8_t>(6, 0));
    link->Send(HaveOf(3));
    link->Send(HaveOf(3));
    ASSERT_TRUE(test_support::wait_until([&] { return link->conn->remote_piece_map()[3] == 1; }));
    link->Send(HaveOf(4));   // the packets before it have been handled once 4 shows
    ASSERT_TRUE(test_support::wait_until([&] { return link->conn->remote_piece_map()[4] == 1; }));
    EXPECT_EQ(link->task->picker().Availability(3), 1u) << "a piece announced twice counts once";

    for (std::uint32_t bad : {6u, 0xFFFFFFFFu}) {
        auto l2 = Open(PEERTYPE_SP, 0);
        l2->Start();
        l2->MakeReady(std::vector<std::uint8_t>(6, 0));
        l2->Send(HaveOf(bad));
        EXPECT_TRUE(l2->Closed());
        const std::string expect = "have过来的index不对! piece_index=" + std::to_string(std::int32_t(bad));
        EXPECT_TRUE(l2->task->HasErrorContaining(expect)) << expect;
    }
}

TEST_F(PeerConnectionTest, FramingAndPacketCheckErrorsCloseWithTheirLines)
{
    bytes flag1 = HaveOf(1);
    flag1[4] = 1;
    bytes bad_field = HaveOf(1);
    cmd_packet::store_u32(&bad_field[bad_field.size() - 8], 9);
    bytes reply;   // taken, with nothing to answer
    pw::build_handshake_reply({kRemoteId, kTask, 0, 3}, reply);
    struct Case {
        bytes packet;
        std::string line;
        bool text;   // the length line goes out as plain text
    } cases[] = {
        {Le(0, 4), "包长度 err! packet size=0", true},
        {Le(65537, 4), "包长度 err! packet size=65537", true},
        {Le(0xFFFFFFFFu, 4), "包长度 err! packet size=-1", true},
        {flag1, "包格式 err=!1 主命令号: 68 ", false},
        {Raw(pw::cmd_have, {{3, Le(1, 4)}}, 257), "包格式 err=!6 主命令号: 68 ", false},
        {bad_field, "包格式 err=!4 主命令号: 68 ", false},
        {Raw(64, {{0, Le(1, 8)}}), "不认识的包格式 !", false},
        {Raw(99, {}), "不认识的包格式 !", false},
        // Closing ends the receive: the packets after it are not handled.
        {Concat({Raw(64, {}), Bitfield({1, 1, 1, 1, 1, 1}), Ask(0, 0, kBlockSize)}), "不认识的包格式 !", false},
        {Concat({HaveOf(7), Bitfield({1, 1, 1, 1, 1, 1})}), "have过来的index不对! piece_index=7", false},
        {Concat({reply, Le(65537, 4)}), "包长度 err! packet size=65537", true},
    };
    for (const Case& c : cases) {
        auto link = Open(PEERTYPE_SP, 1);
        link->Start();
        link->Send(c.packet);
        EXPECT_TRUE(link->Closed()) << c.line;
        EXPECT_EQ(c.text ? link->task->HasTextContaining(c.line) : link->task->HasErrorContaining(c.line), true)
            << c.line;
        EXPECT_FALSE(link->conn->is_ready()) << c.line;
        EXPECT_EQ(link->task->picker().Availability(0), 0u) << c.line;
    }

    // A body of exactly 65536 bytes is taken.
    auto link = Open(PEERTYPE_SP, 0);
    link->Start();
    ASSERT_FALSE(link->ReadCommand(pw::cmd_bitfield).empty());
    const bytes bits = {0xFC};
    bytes big = Raw(pw::cmd_bitfield,
                    {{0, Le(1, 8)}, {1, Le(kTask, 8)}, {2, bits}, {9, bytes(65536 - 8 - 14 - 14 - 7 - 6)}});
    ASSERT_EQ(cmd_packet::load_u32(big.data()), 65536u);
    link->Send(big);
    EXPECT_FALSE(link->ReadCommand(pw::cmd_son_list_request).empty());
    EXPECT_TRUE(link->conn->is_ready());
}

TEST_F(PeerConnectionTest, PacketsCutIntoSingleBytesAreTakenWhole)
{
    auto link = Open(PEERTYPE_SP, 0);
    link->Start();
    ASSERT_FALSE(link->ReadCommand(pw::cmd_bitfield).empty());
    const bytes stream = Concat({Bitfield({0, 0, 0, 0, 0, 0}), HaveOf(1), HaveOf(3)});
    for (std::size_t i = 0; i < stream.size(); ++i) {
        link->Send(bytes(1, stream[i]));   // each byte read by a receive of its own
        ASSERT_TRUE(test_support::wait_until([&] { return link->conn->total_received() == i + 1; })) << i;
    }
    EXPECT_FALSE(link->ReadCommand(pw::cmd_son_list_request).empty());
    EXPECT_TRUE(test_support::wait_until([&] {
        return link->conn->remote_piece_map() == std::vector<std::uint8_t>({0, 1, 0, 1, 0, 0});
    }));
}

TEST_F(PeerConnectionTest, ClosingHandsEveryRequestBackAndLowersAvailability)
{
    auto link = Open(PEERTYPE_SP, 0, std::vector<std::uint8_t>(6, 0));
    link->Start();
    link->MakeReady(std::vector<std::uint8_t>(6, 1));
    ASSERT_TRUE(test_support::wait_until([&] { return link->conn->in_flight_count() == 6; }));
    EXPECT_EQ(link->task->picker().Availability(0), 1u);
    link->conn->close();
    EXPECT_TRUE(link->Closed());
    EXPECT_EQ(link->conn->in_flight_count(), 0u);
    EXPECT_EQ(link->conn->pending_count(), 0u);
    for (std::int32_t piece = 0; piece < 6; ++piece) {
        EXPECT_EQ(link->task->picker().Availability(piece), 0u) << piece;
        for (std::int32_t block = 0; block < 2; ++block)
            EXPECT_EQ(link->task->picker().BlockState(piece, block), CBlockRequestMap::kFree) << piece;
    }
    EXPECT_TRUE(link->task->HasTextContaining("close: task_id-77"));
}

TEST_F(PeerConnectionTest, UnrequestedBlockIsWrittenAndChangesNoQueue)
{
    auto link = Open(PEERTYPE_SP, 0, std::vector<std::uint8_t>(6, 0));
    link->Start();
    link->MakeReady(std::vector<std::uint8_t>(6, 0));
    link->Send(Data(5, 32768, 32768));
    ASSERT_TRUE(test_support::wait_until([&] { return link->task->Written().size() == 1; }));
    EXPECT_EQ(link->conn->in_flight_count(), 0u);
    EXPECT_EQ(link->task->picker().BlockState(5, 1), CBlockRequestMap::kFree);
    EXPECT_FALSE(link->conn->is_closing());
}

TEST_F(PeerConnectionTest, SonListsAreRelayedWithTheirParentAndCookie)
{
    auto link = Open(PEERTYPE_SP, 0);
    PeerInfo other = Remote(PEERTYPE_NAT, 10);
    link->task->SetSons({other, Remote(PEERTYPE_NAT, kRemoteId)});
    link->Start();
    link->MakeReady(std::vector<std::uint8_t>(6, 0));

    bytes ask;
    pw::build_son_list_request({kRemoteId, kTask, 50, 0}, ask);
    link->Send(ask);
    const bytes reply = link->ReadCommand(pw::cmd_son_list_reply);
    CCmdPacketReader r(reply.data(), reply.size());
    pw::SonListReply sons;
    ASSERT_TRUE(pw::parse_son_list_reply(r, sons));
    ASSERT_EQ(sons.sons.size(), 1u) << "the asker is left out";
    EXPECT_EQ(std::uint64_t{sons.sons[0].clientid}, 10u);

    bytes records(300, 0);
    records[0] = 42;
    records[149] = 43;
    link->Send(
        Raw(pw::cmd_son_list_reply,
            {{0, Le(kRemoteId, 8)}, {1, Le(kTask, 8)}, {2, Le(7, 2)}, {3, records}, {4, Le(0, 4)}, {5, Le(4, 1)}}));
    ASSERT_TRUE(test_support::wait_until([&] { return link->task->Hosts().size() == 2; }));
    const auto hosts = link->task->Hosts();
    EXPECT_EQ(std::uint64_t{hosts[0].peer.clientid}, 42u);
    EXPECT_EQ(std::uint64_t{hosts[1].peer.clientid}, 43u);
    EXPECT_EQ(std::uint64_t{hosts[1].parent.clientid}, kRemoteId);
    EXPECT_EQ(link->conn->son_list_cookie(), 4);
}

TEST_F(PeerConnectionTest, AReplyToOurSonListRequestGivesAFewSonsAndAnUnaskedOneNone)
{
    auto link = Open(PEERTYPE_SP, 0);
    link->Start();
    link->MakeReady(std::vector<std::uint8_t>(6, 0));   // our request is out
    const auto reply = [](std::uint64_t first_id) {
        pw::SonListReply m;
        m.client_id = kRemoteId;
        m.task_id = kTask;
        for (std::uint64_t i = 0; i < 50; ++i)
            m.sons.push_back(Remote(PEERTYPE_DIRECT, first_id + i));
        bytes out;
        pw::build_son_list_reply(m, out);
        return out;
    };
    link->Send(reply(1000));
    ASSERT_TRUE(test_support::wait_until([&] { return !link->task->Hosts().empty(); }));
    // A second reply nobody asked for, then a have to know it was read.
    link->Send(Concat({reply(2000), HaveOf(3)}));
    ASSERT_TRUE(test_support::wait_until([&] { return link->conn->remote_piece_map()[3] == 1; }));
    const auto hosts = link->task->Hosts();
    ASSERT_EQ(hosts.size(), CPeerConnection::kMaxSonsTaken) << "a few of the 50, then none";
    EXPECT_EQ(std::uint64_t{hosts.front().peer.clientid}, 1000u);
    EXPECT_FALSE(link->conn->is_closing());
}

TEST_F(PeerConnectionTest, HaveGoesOutOnlyOnceReady)
{
    auto link = Open(PEERTYPE_SP, 0);
    link->Start();
    ASSERT_FALSE(link->ReadCommand(pw::cmd_bitfield).empty());
    link->conn->send_have(2);
    EXPECT_TRUE(link->Quiet(200));
    link->Send(Bitfield(std::vector<std::uint8_t>(6, 0)));
    ASSERT_FALSE(link->ReadCommand(pw::cmd_son_list_request).empty());
    EXPECT_TRUE(link->conn->assign_task(2)) << "nothing in flight";
    EXPECT_FALSE(link->conn->assign_task(1)) << "the peer holds nothing";
    EXPECT_FALSE(link->conn->assign_task(7));
    link->conn->send_have(2);
    const bytes have = link->ReadCommand(pw::cmd_have);
    CCmdPacketReader r(have.data(), have.size());
    pw::Have h;
    ASSERT_TRUE(pw::parse_have(r, h));
    EXPECT_EQ(h.piece, 2u);
}

TEST_F(PeerConnectionTest, LanPeersAreCountedWhileTheirConnectionLives)
{
    CLanPeerDiscovery lan;
    CLanPeerDiscovery::SetInstance(&lan);
    const std::int32_t before = lan.GetLanConnCount();
    {
        auto lan_link = Open(PEERTYPE_LAN, 0);
        auto other = Open(PEERTYPE_SP, 0);
        EXPECT_EQ(lan.GetLanConnCount(), before + 1) << "only the LAN peer counts";
    }
    EXPECT_EQ(lan.GetLanConnCount(), before);
    CLanPeerDiscovery::SetInstance(nullptr);
}

// Peer records that reached the log server ("GET /'p,..." lines).
std::vector<std::string> PeerRecords(const FakeLogServer& server)
{
    std::vector<std::string> out;
    for (const std::string& line : server.RequestLines())
        if (line.compare(0, 7, "GET /'p") == 0)
            out.push_back(line);
    return out;
}

TEST_F(PeerConnectionTest, OnlyDirectPeersAreReportedToTheLogServer)
{
    FakeLogServer server;
    ASSERT_TRUE(server.Start());
    ASSERT_TRUE(CreateProcessLogConnection("127.0.0.1", server.port(), nullptr));
    for (std::uint8_t type : {PEERTYPE_SP, PEERTYPE_DIRECT}) {
        auto link = Open(type, 0, std::vector<std::uint8_t>(6, 0));
        link->Start();
        link->MakeReady(std::vector<std::uint8_t>(6, 1));
        const bytes ask = link->ReadCommand(pw::cmd_block_request);
        CCmdPacketReader r(ask.data(), ask.size());
        pw::BlockAsk a;
        ASSERT_TRUE(pw::parse_block_request(r, a));
        link->Send(Data(a.block.piece, a.block.offset, a.block.length));
        ASSERT_TRUE(test_support::wait_until([&] { return link->task->Downloads() == 1; }));
        if (type == PEERTYPE_SP) {
            // The records of a second are sent the next second.
            platform::sleep_ms(2500);
            EXPECT_TRUE(PeerRecords(server).empty()) << "nothing for a peer that is not directly connectable";
        }
    }
    // Connected (kind 5), first request (kind 6, result 7) and first block
    // (kind 6, result 0) of the directly connectable peer.
    ASSERT_TRUE(test_support::wait_until(
        [&] {
            std::string all;
            for (const std::string& line : PeerRecords(server))
                all += line + "\n";
            return all.find(",5,77,") != std::string::npos && all.find(",6,77,") != std::string::npos;
        },
        10000))
        << server.RequestLines().size();
    DestroyProcessLogConnection();
}

// A clock the test moves by hand.
std::atomic<std::uint32_t> g_now{0};
std::uint32_t FakeNow()
{
    return g_now.load();
}

TEST_F(PeerConnectionTest, TwentySecondsOfSilenceKeepTwentyAndOneCloses)
{
    struct Case {
        std::uint32_t silence;
        bool closes;
    } cases[] = {{20000, false}, {20001, true}};
    for (const Case& c : cases) {
        g_now = 0x7ffff000u;   // the difference crosses a sign change of the tick
        platform::set_tick_source(&FakeNow);
        auto link = Open(PEERTYPE_SP, 0);
        link->Start();
        link->MakeReady(std::vector<std::uint8_t>(6, 0));
        // The last receive was at the start value; the timer is due at +1 s,
        // so the next timer tick sees exactly the silence set here.
        g_now += c.silence;
        if (c.closes) {
            EXPECT_TRUE(link->Closed()) << c.silence;
        } else {
            ASSERT_TRUE(net_test::run_due_timers(io.io));   // that timer tick has run
            EXPECT_FALSE(link->conn->is_closing()) << c.silence;
            g_now += 1000;   // the next tick, now 21 s after the last data
            EXPECT_TRUE(link->Closed()) << c.silence;
        }
        platform::set_tick_source(nullptr);
    }
}

TEST_F(PeerConnectionTest, APeerThatStallsOrDripsLosesItsRequestsAtTheBlockDeadline)
{
    // The clock moves a second at a time; a dripping peer sends one byte
    // of the block asked first before each step, so it is never silent.
    // The task's only source is kept however slow, even once barred, until
    // the task has another.
    enum Kind { kStalls, kDrips, kBarred, kCopied, kAlone };
    for (const Kind kind : {kStalls, kDrips, kBarred, kCopied, kAlone}) {
        g_now = 0x7ffff000u;
        platform::set_tick_source(&FakeNow);
        auto link = Open(PEERTYPE_SP, 0, std::vector<std::uint8_t>(6, 0));
        link->task->m_barred = kind == kBarred || kind == kAlone;
        link->task->m_alone = kind == kAlone;
        link->Start();
        link->MakeReady(std::vector<std::uint8_t>(6, 1));
        if (kind == kBarred) {
            EXPECT_TRUE(link->Quiet(300)) << "a peer the task barred is asked nothing";
            EXPECT_EQ(link->conn->in_flight_count() + link->conn->pending_count(), 0u);
            platform::set_tick_source(nullptr);
            continue;
        }
        std::vector<pw::BlockRecord> asked;
        for (int i = 0; i < 6; ++i) {
            const bytes p = link->ReadCommand(pw::cmd_block_request);
            CCmdPacketReader r(p.data(), p.size());
            pw::BlockAsk a;
            ASSERT_TRUE(pw::parse_block_request(r, a));
            asked.push_back(a.block);
        }
        if (kind == kCopied) {
            // Another source brings every block in first: the stalled peer is
            // dropped at the next tick, not at its deadline, and not barred.
            for (std::int32_t piece = 0; piece < 6; ++piece) {
                for (std::int32_t offset = 0; offset < std::int32_t(kPiece); offset += std::int32_t(kBlockSize)) {
                    bytes copy = FakePeerTask::BlockBytes(piece, std::uint32_t(offset), kBlockSize);
                    link->task->write_block({piece, offset, std::int32_t(kBlockSize), copy.data()});
                    link->task->picker().MarkReceived(piece, offset);
                }
            }
            g_now += 1000;
            EXPECT_TRUE(link->Closed()) << "outrun";
            EXPECT_EQ(0u, link->task->m_late.load());
            platform::set_tick_source(nullptr);
            continue;
        }
        const bytes drip = Data(asked[0].piece, asked[0].offset, asked[0].length);
        std::size_t sent = 0;
        const std::uint64_t before = link->conn->total_received();
        for (int second = 1; second <= 6; ++second) {
            if (kind == kDrips) {
                link->Send({drip[sent++]});
                ASSERT_TRUE(test_support::wait_until([&] { return link->conn->total_received() == before + sent; }));
            }
            g_now += 1000;
            if (second < 5 || kind == kAlone) {
                ASSERT_TRUE(net_test::run_due_timers(io.io));
                EXPECT_FALSE(link->conn->is_closing()) << kind << " " << second;
            }
        }
        if (kind == kAlone) {
            EXPECT_EQ(link->task->m_late.load(), 0u) << "the only source is not barred";
            EXPECT_EQ(link->conn->in_flight_count(), 6u) << "nor its requests taken";
            link->task->m_alone = false;   // another source came
            g_now += 5000;
        }
        EXPECT_TRUE(link->Closed()) << kind << ": five seconds without a block";
        EXPECT_EQ(link->task->m_late.load(), 1u) << "the task is told, and bars the peer";
        EXPECT_GE(link->task->m_returned.load(), 1u) << "the task's other sources are woken";
        for (const pw::BlockRecord& b : asked) {
            EXPECT_EQ(link->task->picker().BlockState(std::int32_t(b.piece), std::int32_t(b.offset / kBlockSize)),
                      CBlockRequestMap::kFree)
                << "back to the picker";
        }
        platform::set_tick_source(nullptr);
    }
}

// The most requests outstanding to a peer `rtt` ms away (the test's clock
// standing in for a link that carries a block each 5 ms, about 50 Mbit/s)
// that answers `serve_queue` (0: says nothing); `bound`: the window's.
std::size_t OverLink(i_io_service& io, std::uint32_t rtt, std::uint16_t serve_queue, std::size_t& bound)
{
    std::size_t most = 0;
    g_now = 1000;
    platform::set_tick_source(&FakeNow);
    Link link(io, PEERTYPE_SP, 0, std::vector<std::uint32_t>(200, kPiece), std::vector<std::uint8_t>(200, 0));
    link.Start();
    link.MakeReady(std::vector<std::uint8_t>(200, 1), serve_queue);
    std::deque<std::pair<pw::BlockRecord, std::uint32_t>> asked;   // each request and when it went out
    std::uint32_t last = g_now;
    for (std::size_t sent = 0; sent < 300; ++sent) {
        while (asked.size() < link.conn->in_flight_count()) {
            const bytes p = link.ReadCommand(pw::cmd_block_request);
            CCmdPacketReader r(p.data(), p.size());
            pw::BlockAsk a;
            if (!pw::parse_block_request(r, a))
                return most;
            asked.emplace_back(a.block, g_now.load());
        }
        most = std::max(most, asked.size());
        // The front block crosses the link once its request has, and after
        // the block before it.
        const pw::BlockRecord b = asked.front().first;
        last = std::max(asked.front().second + rtt, last + 5);
        asked.pop_front();
        g_now = last;
        link.Send(Data(b.piece, b.offset, b.length));
        // Its place refilled (one hop of the I/O thread after the block).
        if (!test_support::wait_until([&] { return link.task->Downloads() == sent + 1; }) ||
            !net_test::run_due_timers(io))
            return most;
    }
    bound = link.conn->window_bound();
    platform::set_tick_source(nullptr);
    return most;
}

TEST_F(PeerConnectionTest, TheRequestWindowFollowsTheRoundTripWithinWhatThePeerAnswers)
{
    struct Case {
        std::uint32_t rtt;
        std::uint16_t serve_queue;
        std::size_t low, high, bound;
    } cases[] = {
        {0, 72, 6, 6, 64},       // a near peer: six cover it
        {50, 72, 12, 24, 64},    // about 1.5 round trips of blocks
        {150, 72, 38, 56, 64},   // three times as far, three times as many
        {150, 0, 16, 16, 16},    // an older peer answers sixteen
        {150, 10, 10, 10, 10},   // and one may say fewer
    };
    for (const Case& c : cases) {
        std::size_t bound = 0;
        const std::size_t most = OverLink(io.io, c.rtt, c.serve_queue, bound);
        EXPECT_EQ(bound, c.bound) << c.rtt << " " << c.serve_queue;
        EXPECT_GE(most, c.low) << c.rtt << " " << c.serve_queue;
        EXPECT_LE(most, c.high) << c.rtt << " " << c.serve_queue;
    }
}

TEST_F(PeerConnectionTest, SonListsAreAskedForAgainEveryTwoMinutes)
{
    g_now = 1000;
    platform::set_tick_source(&FakeNow);
    auto link = Open(PEERTYPE_SP, 0);
    link->Start();
    link->MakeReady(std::vector<std::uint8_t>(6, 0));
    bytes cookie;
    pw::SonListReply reply;
    reply.client_id = kRemoteId;
    reply.task_id = kTask;
    pw::build_son_list_reply(reply, cookie);
    cookie[cookie.size() - 1] = 9;   // field 5, the cookie
    link->Send(cookie);
    // Data every 15 s keeps the connection; the timer runs at each step.
    for (int step = 1; step <= 8; ++step) {
        g_now += 15000;
        // Pieces we hold: nothing is asked, so no request falls late.
        link->Send(HaveOf(step % 2 == 0 ? 0u : 2u));
        // A son-list request must not come, up to 120 s.
        for (bytes p = link->Read(200); !p.empty(); p = link->Read(200))
            EXPECT_NE(pw::packet_command(p.data(), p.size()), pw::cmd_son_list_request) << "step " << step;
    }
    g_now += 15000;   // 135 s after the last request
    const bytes again = link->ReadCommand(pw::cmd_son_list_request);
    ASSERT_FALSE(again.empty());
    CCmdPacketReader r(again.data(), again.size());
    pw::SonListRequest m;
    ASSERT_TRUE(pw::parse_son_list_request(r, m));
    EXPECT_EQ(m.cookie, 9) << "the cookie of the last reply goes back";
    EXPECT_EQ(m.max_records, 50);
    platform::set_tick_source(nullptr);
}

TEST_F(PeerConnectionTest, APeerThatFloodsRequestsIsCutOffWithABoundedQueue)
{
    auto link = Open(PEERTYPE_SP, 0, std::vector<std::uint8_t>(6, 1));
    link->Start();
    link->MakeReady(std::vector<std::uint8_t>(6, 0));
    // Requests that are never read: ours pile up until the queue is full.
    bytes flood;
    for (int i = 0; i < 3000; ++i) {
        const bytes a = Ask(std::uint32_t(i % 6), std::uint32_t((i / 6) % 2) * 32768, 32768);
        flood.insert(flood.end(), a.begin(), a.end());
    }
    std::atomic<bool> sending{true};
    std::size_t peak = 0;
    platform::Thread sender;
    sender.start([&] {
        link->Send(flood);
        sending = false;
    });
    const bool closed = test_support::wait_until(
        [&] {
            peak = std::max(peak, link->conn->send_queue_size());
            return link->conn->is_closing();
        },
        20000);
    EXPECT_TRUE(closed);
    EXPECT_LE(peak, CPeerConnection::kSendQueueLimit);
    EXPECT_TRUE(link->task->HasErrorContaining("发送队列已满"));
    EXPECT_TRUE(link->Closed(20000));
    EXPECT_TRUE(sender.join_for(20000));
}

}   // namespace
