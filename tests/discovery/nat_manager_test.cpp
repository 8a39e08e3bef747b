#include "discovery/nat_manager.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>
#include <memory>
#include <random>
#include <set>

#include <sys/socket.h>

#include <gtest/gtest.h>

#include "discovery/nat_protocol.h"
#include "discovery/packet_channel.h"
#include "discovery/wire_records.h"
#include "discovery_test_util.h"
#include "foundation/cmd_packet.h"
#include "platform/error_codes.h"
#include "platform/tick.h"
#include "support/fake_packet_server.h"
#include "support/shifted_tick.h"

namespace {

using discovery_test::Loopback;
using test_support::wait_until;

struct Handed {
    PeerInfo peer{};
    std::uint64_t task_id = 0;
    int socket = -1;
    std::uint8_t passive = 9;
};

class RecordingSink : public INatManagerEvent {
public:
    explicit RecordingSink(std::set<std::uint64_t> tasks) : known(std::move(tasks)) {}
    ~RecordingSink() override
    {
        for (Handed& h : handed)
            platform::close_socket(h.socket);
    }
    void AddPeerSocket(PeerInfo peer, std::uint64_t task_id, int socket, std::uint8_t passive) override
    {
        std::lock_guard<std::mutex> guard(lock);
        handed.push_back({peer, task_id, socket, passive});
    }
    void OnNatNotify(const char* text, std::uint32_t code) override
    {
        std::lock_guard<std::mutex> guard(lock);
        notes.push_back({text, code});
    }
    bool IsNatTaskKnown(std::uint64_t task_id) override { return known.count(task_id) != 0; }

    std::size_t HandedCount()
    {
        std::lock_guard<std::mutex> guard(lock);
        return handed.size();
    }
    bool Noted(const std::string& part)
    {
        std::lock_guard<std::mutex> guard(lock);
        for (const auto& n : notes) {
            if (n.first.find(part) != std::string::npos)
                return true;
        }
        return false;
    }

    std::mutex lock;
    std::set<std::uint64_t> known;
    std::vector<Handed> handed;
    std::vector<std::pair<std::string, std::uint32_t>> notes;
};

// One running manager with its sink, as a peer of the given type.
struct Node {
    Node(std::uint64_t id, std::uint8_t type, std::set<std::uint64_t> tasks = {100})
        : sink(std::move(tasks)), manager(CreateNatManager())
    {
        self.clientid = id;
        self.publicip = Loopback();
        self.peertype = type;
        started = manager->Start(&port, self, &sink);
    }
    ~Node() { DestroyNatManager(manager); }

    // How others see this node: its address and listen port.
    PeerInfo Record() const
    {
        PeerInfo p = self;
        p.publicport = port;
        return p;
    }

    PeerInfo self{};
    std::uint16_t port = 0;
    RecordingSink sink;
    INatManager* manager;
    bool started = false;
};

// True when bytes written on `a` arrive on `b`: the two are the ends of one
// connection.
bool Connected(int a, int b)
{
    std::uint32_t error = 0;
    const char ping[] = "ping";
    if (platform::send_some(a, ping, 4, error) != 4 || platform::wait_readable(b, 2000) != 1)
        return false;
    char got[8] = {0};
    return platform::receive_some(b, got, sizeof(got), error) == 4 && std::memcmp(got, ping, 4) == 0;
}

TEST(NatManagerTest, TwoReachablePeersHandEachOtherOneConnection)
{
    Node a(1, PEERTYPE_SP);
    Node b(2, PEERTYPE_SP);
    ASSERT_TRUE(a.started && b.started);
    ASSERT_NE(0, a.port);
    ASSERT_NE(a.port, b.port);

    a.manager->NatToPeer(100, b.Record(), nullptr, 0, 0);
    ASSERT_TRUE(wait_until([&] { return a.sink.HandedCount() == 1 && b.sink.HandedCount() == 1; }));
    const Handed dialler = a.sink.handed[0];
    const Handed acceptor = b.sink.handed[0];
    EXPECT_EQ(0, dialler.passive);
    EXPECT_EQ(1, acceptor.passive);
    EXPECT_EQ(100u, dialler.task_id);
    EXPECT_EQ(100u, acceptor.task_id);
    EXPECT_EQ(2u, +dialler.peer.clientid);
    EXPECT_EQ(1u, +acceptor.peer.clientid);
    EXPECT_EQ(a.port, +acceptor.peer.publicport);   // the dialler's listen port travels
    EXPECT_TRUE(Connected(dialler.socket, acceptor.socket));
    EXPECT_TRUE(Connected(acceptor.socket, dialler.socket));

    // Once handed over the peer may be asked for again.
    a.manager->NatToPeer(100, b.Record(), nullptr, 0, 0);
    EXPECT_TRUE(wait_until([&] { return a.sink.HandedCount() == 2; }));
}

TEST(NatManagerTest, APeerBehindNatConnectsBackThroughItsParent)
{
    Node parent(10, PEERTYPE_SP);
    Node son(20, PEERTYPE_NAT);
    Node asker(30, PEERTYPE_SP);
    ASSERT_TRUE(parent.started && son.started && asker.started);
    parent.manager->AddSonPeer(100, son.Record());
    son.manager->AddParentPeer(100, parent.Record());
    std::vector<PeerInfo> list;
    EXPECT_EQ(1, parent.manager->GetSonPeers(100, list));
    EXPECT_EQ(1, son.manager->GetParentPeers(100, list));

    const PeerInfo parent_record = parent.Record();
    asker.manager->NatToPeer(100, son.Record(), &parent_record, Loopback(), parent.port);
    ASSERT_TRUE(wait_until([&] { return asker.sink.HandedCount() == 1 && son.sink.HandedCount() == 1; }));
    const Handed at_asker = asker.sink.handed[0];
    const Handed at_son = son.sink.handed[0];
    EXPECT_EQ(1, at_asker.passive);   // the son dialled: the asker accepted
    EXPECT_EQ(0, at_son.passive);
    EXPECT_EQ(20u, +at_asker.peer.clientid);
    EXPECT_EQ(30u, +at_son.peer.clientid);
    EXPECT_TRUE(Connected(at_son.socket, at_asker.socket));
    EXPECT_EQ(0u, parent.sink.HandedCount());
}

TEST(NatManagerTest, RequestsForUnknownSonsOrWithoutParentEndWithoutASocket)
{
    Node parent(10, PEERTYPE_SP);
    Node asker(30, PEERTYPE_SP);
    Node son(20, PEERTYPE_NAT);
    const PeerInfo parent_record = parent.Record();

    // The parent does not know the son.
    asker.manager->NatToPeer(100, son.Record(), &parent_record, Loopback(), parent.port);
    EXPECT_TRUE(wait_until([&] { return asker.sink.Noted("not passed on"); }));

    // A peer behind NAT without a parent record is not asked for at all, and
    // one without a NAT server is refused at once.
    asker.manager->NatToPeer(100, son.Record(), nullptr, 0, 0);
    asker.manager->NatToPeer(100, son.Record(), &parent_record, 0, 0);
    EXPECT_TRUE(asker.sink.Noted("no address"));
    platform::sleep_ms(200);
    EXPECT_EQ(0u, asker.sink.HandedCount());
    EXPECT_EQ(0u, son.sink.HandedCount());
}

TEST(NatManagerTest, DuplicateRequestsAreSkippedAndStopIsPrompt)
{
    // A listener that reads the handshake and never answers keeps the first
    // request busy for its whole bound.
    test_support::FakePacketServer silent;
    ASSERT_TRUE(silent.Start([](const std::vector<std::uint8_t>&, std::vector<std::uint8_t>&) { return true; }));
    auto node = std::make_unique<Node>(1, PEERTYPE_SP);
    PeerInfo target{};
    target.clientid = 5;
    target.publicip = Loopback();
    target.publicport = silent.port();
    target.peertype = PEERTYPE_SP;
    node->manager->NatToPeer(100, target, nullptr, 0, 0);
    node->manager->NatToPeer(100, target, nullptr, 0, 0);
    EXPECT_TRUE(node->sink.Noted("This peer is currently being natted."));
    ASSERT_TRUE(wait_until([&] { return silent.connections() == 1; }));

    const auto start = std::chrono::steady_clock::now();
    node->manager->Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(0u, node->sink.HandedCount());
}

TEST(NatManagerTest, ADiallerRefusesAnAcceptorThatIsNotThePeerAskedFor)
{
    Node a(1, PEERTYPE_SP);
    Node b(2, PEERTYPE_SP, {100});
    PeerInfo impostor = b.Record();
    impostor.clientid = 999;   // b answers with its own id 2
    a.manager->NatToPeer(100, impostor, nullptr, 0, 0);
    EXPECT_TRUE(wait_until([&] { return a.sink.Noted("handshake refused or wrong"); }));
    EXPECT_EQ(0u, a.sink.HandedCount());

    a.manager->NatToPeer(555, b.Record(), nullptr, 0, 0);   // a task b does not run
    EXPECT_TRUE(wait_until([&] { return b.sink.Noted("handshake refused"); }));
    platform::sleep_ms(100);
    EXPECT_EQ(0u, a.sink.HandedCount());
    EXPECT_EQ(1u, b.sink.HandedCount());   // only the impostor's socket, which a then closed
}

std::vector<std::uint8_t> Handshake(std::uint64_t task_id, std::uint8_t kind, std::uint32_t request_id)
{
    discovery::NatMessage m;
    m.command = discovery::NAT_HANDSHAKE;
    m.task_id = task_id;
    m.peer.clientid = 66;
    m.peer.peertype = PEERTYPE_SP;
    m.kind = kind;
    m.request_id = request_id;
    return discovery::EncodeNatMessage(m);
}

std::vector<std::uint8_t> CutShort(std::vector<std::uint8_t> bytes, std::size_t keep)
{
    bytes.resize(keep);
    return bytes;
}

TEST(NatManagerTest, LyingOrBrokenHandshakesGetTheirSocketClosed)
{
    Node b(2, PEERTYPE_SP, {100});
    CCmdPacket short_record(discovery::NAT_HANDSHAKE);
    short_record.add_u64(0, 100);
    std::uint8_t half[100] = {0};
    short_record.add_bytes(1, half, sizeof(half));
    short_record.add_u8(2, 0);
    short_record.add_u32(3, 0);
    CCmdPacket wide_task(discovery::NAT_HANDSHAKE);
    wide_task.add_u32(0, 100);
    CCmdPacket other_command(60);
    other_command.add_u64(0, 100);

    const struct {
        const char* name;
        std::vector<std::uint8_t> bytes;
    } cases[] = {
        {"unknown task", Handshake(555, discovery::kNatDirect, 0)},
        {"connect-back nobody asked for", Handshake(100, discovery::kNatConnectBack, 4242)},
        {"short PeerInfo", short_record.build()},
        {"task id of the wrong width", wide_task.build()},
        {"peer protocol instead of NAT", other_command.build()},
        {"not a packet", {8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}},
        {"length beyond the bound", {0, 0, 0x10, 0, 1, 2, 3}},
        {"a handshake cut short", CutShort(Handshake(100, discovery::kNatDirect, 0), 40)},
    };
    const discovery::StopCheck never;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        discovery::PacketChannel raw;
        ASSERT_EQ(0u, raw.Connect(Loopback(), b.port, 1000, never));
        ASSERT_EQ(0u, raw.SendAll(c.bytes.data(), c.bytes.size(), 1000, never));
        if (std::string(c.name) == "a handshake cut short")
            ::shutdown(raw.Get(), SHUT_WR);
        std::vector<std::uint8_t> reply;
        // Closed without an acknowledgement, within the handshake bound (a
        // close with our bytes still unread arrives as a reset).
        const std::uint32_t error = raw.ReceivePacket(reply, 4096, 7000, never);
        EXPECT_TRUE(error == platform::err::handle_eof || error == platform::err::connection_reset) << error;
    }
    EXPECT_EQ(0u, b.sink.HandedCount());

    // The same connection with an honest handshake is accepted.
    discovery::PacketChannel honest;
    ASSERT_EQ(0u, honest.Connect(Loopback(), b.port, 1000, never));
    std::vector<std::uint8_t> reply;
    ASSERT_EQ(0u, honest.Exchange(Handshake(100, discovery::kNatDirect, 0), reply, 4096, 1000, 2000, never));
    discovery::NatMessage ack;
    ASSERT_TRUE(discovery::DecodeNatMessage(reply.data(), reply.size(), ack));
    EXPECT_EQ(discovery::NAT_HANDSHAKE_ACK, ack.command);
    EXPECT_EQ(2u, +ack.peer.clientid);
    EXPECT_TRUE(wait_until([&] { return b.sink.HandedCount() == 1; }));
}

TEST(NatManagerTest, ConnectionsThatNeverSendAFirstMessageDoNotKeepAnHonestOneWaiting)
{
    Node b(2, PEERTYPE_SP, {100});
    ASSERT_TRUE(b.started);
    const discovery::StopCheck never;
    // Eighty connections that say nothing, more than the workers and their
    // queue together.
    std::vector<std::unique_ptr<discovery::PacketChannel>> silent;
    for (int i = 0; i < 80; ++i) {
        silent.push_back(std::make_unique<discovery::PacketChannel>());
        ASSERT_EQ(0u, silent.back()->Connect(Loopback(), b.port, 3000, never)) << i;
    }
    // An honest dialler is answered at once, not after their time-outs.
    discovery::PacketChannel honest;
    ASSERT_EQ(0u, honest.Connect(Loopback(), b.port, 3000, never));
    std::vector<std::uint8_t> reply;
    const std::uint64_t start = platform::tick_count64();
    ASSERT_EQ(0u, honest.Exchange(Handshake(100, discovery::kNatDirect, 0), reply, 4096, 1000, 4000, never));
    EXPECT_LT(platform::tick_count64() - start, 4000u) << "well before a silent one's 5 s";
    discovery::NatMessage ack;
    ASSERT_TRUE(discovery::DecodeNatMessage(reply.data(), reply.size(), ack));
    EXPECT_EQ(discovery::NAT_HANDSHAKE_ACK, ack.command);
    EXPECT_TRUE(wait_until([&] { return b.sink.HandedCount() == 1; }));
    // The silent ones are closed by their bound or to make room.
    std::vector<std::uint8_t> none;
    for (auto& c : silent) {
        const std::uint32_t error = c->ReceivePacket(none, 4096, 7000, never);
        EXPECT_TRUE(error == platform::err::handle_eof || error == platform::err::connection_reset) << error;
    }
}

TEST(NatManagerTest, DamagedHandshakesNeverHurtTheServer)
{
    Node b(2, PEERTYPE_SP, {0});
    std::mt19937 rng(3);
    const discovery::StopCheck never;
    const std::vector<std::uint8_t> hello = Handshake(0, discovery::kNatDirect, 0);
    discovery::NatMessage ask;
    ask.command = discovery::NAT_REQUEST;
    const std::vector<std::uint8_t> request = discovery::EncodeNatMessage(ask);
    for (int i = 0; i < 200; ++i) {
        const std::vector<std::uint8_t> bytes = discovery_test::Mutate(i % 2 ? hello : request, rng);
        discovery::PacketChannel raw;
        ASSERT_EQ(0u, raw.Connect(Loopback(), b.port, 1000, never));
        ASSERT_EQ(0u, raw.SendAll(bytes.data(), bytes.size(), 1000, never));
        std::vector<std::uint8_t> reply;
        const std::uint32_t error = raw.ReceivePacket(reply, 4096, 7000, never);
        EXPECT_NE(static_cast<std::uint32_t>(platform::err::timed_out), error);
    }
    // Still serving: an honest dialler gets its connection.
    Node a(1, PEERTYPE_SP);
    a.manager->NatToPeer(0, b.Record(), nullptr, 0, 0);
    EXPECT_TRUE(wait_until([&] { return a.sink.HandedCount() == 1; }));
}

TEST(NatManagerTest, AConnectBackOrderIsObeyedOnlyForATaskWithAParent)
{
    Node son(20, PEERTYPE_NAT);
    Node asker(30, PEERTYPE_SP);
    discovery::NatMessage order;
    order.command = discovery::NAT_CONNECT_BACK;
    order.task_id = 100;
    order.peer = asker.Record();
    order.request_id = 1;
    order.seen_ip = Loopback();
    const std::vector<std::uint8_t> bytes = discovery::EncodeNatMessage(order);
    platform::socket_t udp = platform::udp_socket();
    std::uint32_t error = 0;
    platform::send_to(udp, bytes.data(), bytes.size(), Loopback(), son.port, error);
    platform::sleep_ms(300);
    EXPECT_EQ(0u, son.sink.HandedCount());
    EXPECT_EQ(0u, asker.sink.HandedCount());

    // With a parent the son dials, but the asker never asked: it refuses.
    PeerInfo parent{};
    parent.clientid = 10;
    parent.publicip = Loopback();
    parent.publicport = discovery_test::ClosedPort();
    son.manager->AddParentPeer(100, parent);
    platform::send_to(udp, bytes.data(), bytes.size(), Loopback(), son.port, error);
    EXPECT_TRUE(wait_until([&] { return asker.sink.Noted("handshake refused"); }));
    EXPECT_EQ(0u, son.sink.HandedCount());
    EXPECT_EQ(0u, asker.sink.HandedCount());
    platform::close_socket(udp);
}

TEST(NatManagerTest, HeartbeatsKeepALiveParentAndASilentOneIsDropped)
{
    test_support::shifted_tick_scope tick;
    {
        Node parent(10, PEERTYPE_SP);
        Node son(20, PEERTYPE_NAT);
        parent.manager->AddSonPeer(100, son.Record());
        son.manager->AddParentPeer(100, parent.Record());
        PeerInfo dead{};
        dead.clientid = 11;
        dead.publicip = Loopback();
        dead.publicport = discovery_test::ClosedPort();
        son.manager->AddParentPeer(100, dead);
        std::vector<PeerInfo> parents;
        EXPECT_EQ(2, son.manager->GetParentPeers(100, parents));

        platform::sleep_ms(600);                    // first heartbeats and their acks
        test_support::tick_offset().store(30000);   // due again: the live parent acks
        platform::sleep_ms(600);
        EXPECT_EQ(2, son.manager->GetParentPeers(100, parents));
        test_support::tick_offset().store(70000);   // the silent one is past its bound
        EXPECT_TRUE(wait_until([&] { return son.manager->GetParentPeers(100, parents) == 1; }, 3000));
        ASSERT_EQ(1u, parents.size());
        EXPECT_EQ(10u, +parents[0].clientid);
        // Noted just after the drop, outside the manager's lock.
        EXPECT_TRUE(wait_until([&] { return son.sink.Noted("NAT parent silent"); }, 3000));
    }
}

TEST(NatManagerTest, ParentsAndSonsAreKeptPerTaskWithoutDuplicates)
{
    INatManager* idle = CreateNatManager();
    PeerInfo p{};
    p.clientid = 3;
    idle->AddSonPeer(1, p);   // no NAT server yet: nothing
    std::vector<PeerInfo> out;
    EXPECT_EQ(0, idle->GetSonPeers(1, out));
    idle->AddParentPeer(1, p);
    idle->AddParentPeer(1, p);
    p.clientid = 4;
    idle->AddParentPeer(1, p);
    idle->AddParentPeer(2, p);
    EXPECT_EQ(2, idle->GetParentPeers(1, out));
    EXPECT_EQ(2u, out.size());
    EXPECT_EQ(1, idle->GetParentPeers(2, out));
    EXPECT_EQ(0, idle->GetParentPeers(3, out));
    EXPECT_TRUE(out.empty());
    DestroyNatManager(idle);
    DestroyNatManager(nullptr);

    Node node(1, PEERTYPE_SP);
    for (std::uint64_t id = 1; id <= 3; ++id) {
        p.clientid = id;
        node.manager->AddSonPeer(7, p);
        node.manager->AddSonPeer(7, p);
    }
    EXPECT_EQ(3, node.manager->GetSonPeers(7, out));
}

TEST(NatManagerTest, ABusyListenPortMovesToTheNextFreeOne)
{
    Node first(1, PEERTYPE_SP);
    ASSERT_TRUE(first.started);
    RecordingSink sink({});
    INatManager* second = CreateNatManager();
    std::uint16_t port = first.port;
    PeerInfo self{};
    ASSERT_TRUE(second->Start(&port, self, &sink));
    EXPECT_NE(first.port, port);
    EXPECT_FALSE(second->Start(&port, self, &sink));   // once only
    DestroyNatManager(second);
    INatManager* no_sink = CreateNatManager();
    EXPECT_FALSE(no_sink->Start(&port, self, nullptr));
    DestroyNatManager(no_sink);
}

}   // namespace
