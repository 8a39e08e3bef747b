#include "engine/task_connections.h"

#include "picker/block_request_map.h"
#include "fake_connection.h"
#include "net/io/live_connections.h"
#include "net/io_test_util.h"
#include "recording_cmd_event.h"
#include "support/shifted_tick.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <vector>

namespace {

using engine_test::ConnectionJournal;
using engine_test::FakeConnection;
using engine_test::RecordingCmdEvent;
using test_support::wait_until;

constexpr std::uint64_t kTaskId = 4242;

// The task side: a real piece picker over two pieces of two blocks.
class FakeOwner : public ITaskConnectionsOwner {
public:
    FakeOwner() : m_picker(m_received, m_bitmap, m_lengths) {}

    std::uint64_t GetTaskId() const override { return kTaskId; }
    ICmdEvent* GetCmdEvent() override { return &events; }
    CBlockRequestMap* GetPiecePicker() override { return &m_picker; }
    void RecordConnectedPeer(const PeerInfo& peer) override
    {
        std::lock_guard<std::mutex> guard(m_lock);
        recorded.push_back(peer.clientid);
    }
    std::vector<std::uint64_t> Recorded()
    {
        std::lock_guard<std::mutex> guard(m_lock);
        return recorded;
    }
    CBlockRequestMap& picker() { return m_picker; }

    RecordingCmdEvent events;

private:
    std::vector<std::vector<std::uint8_t>> m_received{{0, 0}, {0, 0}};
    std::vector<std::uint8_t> m_bitmap{0, 0};
    std::vector<std::uint32_t> m_lengths{65536, 65536};
    CBlockRequestMap m_picker;
    std::mutex m_lock;
    std::vector<std::uint64_t> recorded;
};

// True when the other end of a socket sees the stream end within a second.
bool PeerSeesEnd(platform::socket_t fd)
{
    if (platform::wait_readable(fd, 1000) != 1)
        return false;
    char c;
    return ::recv(fd, &c, 1, 0) == 0;
}

// True when the other end is still open (nothing to read for a moment).
bool PeerStillOpen(platform::socket_t fd)
{
    return platform::wait_readable(fd, 50) == 0;
}

class TaskConnectionsTest : public ::testing::Test {
protected:
    void SetUp() override { live_connections::set(kTaskId, 1, 0); }
    void TearDown() override
    {
        set.reset();
        // Every connection the set took must be gone once the set is.
        EXPECT_TRUE(wait_until([&] { return journal.destroyed.load() == made; }));
        EXPECT_TRUE(wait_until([] { return live_connections::count(kTaskId) == 0; }));
    }

    // A connection to `client` over a fresh loopback pair; `peer_end` gets
    // the other end of the pair.
    FakeConnection* Make(std::uint64_t client, platform::socket_t& native)
    {
        pairs.push_back(std::make_unique<net_test::socket_pair>());
        native = pairs.back()->release_a();
        ++made;
        return new FakeConnection(io.io, kTaskId, client, journal);
    }
    platform::socket_t PeerEnd(std::size_t i) { return pairs[i]->b; }

    // Adds connections to clients 1..n; all must be accepted. Their
    // sockets go to `natives`.
    void AddClients(int n)
    {
        for (int i = 1; i <= n; ++i) {
            platform::socket_t native;
            FakeConnection* c = Make(std::uint64_t(i), native);
            ASSERT_TRUE(set->AddConnection(native, c));
            natives.push_back(native);
        }
    }

    net_test::io_thread io;
    ConnectionJournal journal;
    FakeOwner owner;
    std::unique_ptr<CTaskConnections> set = std::make_unique<CTaskConnections>(&owner);
    std::vector<std::unique_ptr<net_test::socket_pair>> pairs;
    std::vector<platform::socket_t> natives;
    int made = 0;
};

TEST_F(TaskConnectionsTest, AcceptedConnectionsAreStartedAndRecorded)
{
    AddClients(3);
    EXPECT_EQ(set->GetCount(), 3u);
    EXPECT_TRUE(wait_until([&] { return journal.connected.load() == 3; }));
    EXPECT_EQ(owner.Recorded(), (std::vector<std::uint64_t>{1, 2, 3}));
    EXPECT_TRUE(set->HasClient(2));
    EXPECT_FALSE(set->HasClient(9));
    EXPECT_EQ(live_connections::count(kTaskId), 3u);
    set->check_invariant();
}

TEST_F(TaskConnectionsTest, RefusalsReleaseTheConnectionAndCloseItsSocket)
{
    constexpr int kFull = int(CTaskConnections::kMaxConnections);
    AddClients(kFull);
    struct Case {
        const char* what;
        std::uint64_t client;
    } cases[] = {
        {"one connection too many", kFull + 1},
        {"client id already connected", 5},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const int destroyed = journal.destroyed.load();
        platform::socket_t native;
        FakeConnection* conn = Make(c.client, native);
        EXPECT_FALSE(set->AddConnection(native, conn));
        EXPECT_EQ(journal.destroyed.load(), destroyed + 1);
        EXPECT_TRUE(PeerSeesEnd(PeerEnd(pairs.size() - 1)));
        EXPECT_EQ(set->GetCount(), std::size_t(kFull));
    }
    EXPECT_EQ(owner.Recorded().size(), std::size_t(kFull));
}

TEST_F(TaskConnectionsTest, AFullSetGivesThePlaceOfThePeerThatExchangedLeastToANewcomer)
{
    test_support::shifted_tick_scope clock;
    constexpr int kFull = int(CTaskConnections::kMaxConnections);
    std::vector<FakeConnection*> held;
    for (int i = 1; i <= kFull; ++i) {
        platform::socket_t native;
        FakeConnection* c = Make(std::uint64_t(i), native);
        ASSERT_TRUE(set->AddConnection(native, c));
        held.push_back(c);
    }
    // Every peer but the seventh has exchanged something.
    const char bytes[64] = {};
    for (FakeConnection* c : held) {
        if (c != held[6])
            c->send(bytes, bytes + sizeof(bytes));
    }
    ASSERT_TRUE(wait_until([&] {
        for (FakeConnection* c : held) {
            if (c != held[6] && c->total_sent() == 0)
                return false;
        }
        return true;
    }));
    const auto newcomer = [&](std::uint64_t id) {
        platform::socket_t native;
        FakeConnection* c = Make(id, native);
        return set->AddConnection(native, c) ? native : platform::invalid_socket;
    };
    EXPECT_EQ(newcomer(kFull + 1), platform::invalid_socket) << "nobody gives way while in its grace";
    test_support::tick_offset().store(CTaskConnections::kEvictGraceMs + 1000);
    EXPECT_NE(newcomer(kFull + 2), platform::invalid_socket);
    EXPECT_EQ(set->GetCount(), std::size_t(kFull));
    EXPECT_TRUE(set->HasClient(kFull + 2));
    EXPECT_FALSE(set->HasClient(7)) << "the peer that exchanged least made room";
    EXPECT_TRUE(PeerSeesEnd(PeerEnd(6)));
    EXPECT_TRUE(set->HasClient(6));
    set->check_invariant();
}

TEST_F(TaskConnectionsTest, SecondConnectionOnAHeldSocketLeavesTheHolderAlone)
{
    platform::socket_t native;
    FakeConnection* first = Make(2, native);
    ASSERT_TRUE(set->AddConnection(native, first));
    ++made;
    EXPECT_FALSE(set->AddConnection(native, new FakeConnection(io.io, kTaskId, 3, journal)));
    EXPECT_EQ(journal.destroyed.load(), 1);
    EXPECT_TRUE(PeerStillOpen(PeerEnd(0)));
    EXPECT_EQ(set->GetCount(), 1u);
    EXPECT_TRUE(set->HasClient(2));
}

TEST_F(TaskConnectionsTest, ARefusalOnAHeldSocketCostsNobodyTheirPlace)
{
    // A full set past its grace would make room for a newcomer; one whose
    // socket a live connection holds is refused before anyone is evicted.
    test_support::shifted_tick_scope clock;
    constexpr int kFull = int(CTaskConnections::kMaxConnections);
    AddClients(kFull);
    test_support::tick_offset().store(CTaskConnections::kEvictGraceMs + 1000);
    ++made;
    EXPECT_FALSE(set->AddConnection(natives[0], new FakeConnection(io.io, kTaskId, kFull + 1, journal)));
    EXPECT_EQ(set->GetCount(), std::size_t(kFull));
    EXPECT_EQ(journal.closed.load(), 0);
    EXPECT_EQ(journal.destroyed.load(), 1) << "the newcomer is released";
    EXPECT_TRUE(PeerStillOpen(PeerEnd(0)));
    set->check_invariant();
}

// Many askers, one link: a minute in steps of 250 ms, every connection asks
// for a block whenever it may and the link serves 96 blocks a step.
TEST_F(TaskConnectionsTest, UploadSlotsTakeTurnsSoEveryAskerIsServedAlike)
{
    test_support::shifted_tick_scope clock;
    constexpr int kAskers = 96;   // more than a task dials, more than its slots
    AddClients(kAskers);
    std::vector<std::uint64_t> served(kAskers, 0);
    std::size_t most_at_full_rate = 0;
    for (std::uint32_t at = 0; at < 60000; at += 250) {
        test_support::tick_offset().store(at);
        std::vector<int> blocks(kAskers, 0);
        int budget = 96;
        for (bool any = true; any && budget > 0;) {
            any = false;
            for (int i = 0; i < kAskers && budget > 0; ++i) {
                if (blocks[i] < 0 || !set->TakeUploadTurn(natives[i], 32768)) {
                    blocks[i] = blocks[i] > 0 ? blocks[i] : -1;   // waits for its next timer
                    continue;
                }
                ++blocks[i];
                served[i] += 32768;
                --budget;
                any = true;
            }
        }
        const auto full_rate = std::count_if(blocks.begin(), blocks.end(), [](int b) { return b > 1; });
        most_at_full_rate = std::max(most_at_full_rate, std::size_t(full_rate));
        set->check_invariant();
    }
    std::vector<std::uint64_t> sorted = served;
    std::sort(sorted.begin(), sorted.end());
    const double median = double(sorted[kAskers / 2]);
    double sum = 0, squares = 0;
    for (std::uint64_t b : served) {
        sum += double(b);
        squares += double(b) * double(b);
    }
    EXPECT_GT(sorted.front(), 0u) << "nobody starves";
    EXPECT_LE(double(sorted.back()), 2 * median);
    EXPECT_GE(sum * sum / (kAskers * squares), 0.9) << "Jain's index";
    EXPECT_LE(most_at_full_rate, 2 * CTaskConnections::kUploadSlots) << "only slot holders (and those handing over)";
}

TEST_F(TaskConnectionsTest, ASocketReusedAfterItsHolderClosedIsAccepted)
{
    platform::socket_t native;
    FakeConnection* first = Make(1, native);
    ASSERT_TRUE(set->AddConnection(native, first));
    // The holder ends by itself (its descriptor is freed) before it has
    // left the set; the system then hands the same number out again.
    first->close();
    platform::socket_t reused;
    FakeConnection* second = Make(2, reused);
    if (reused != native) {
        ASSERT_EQ(::dup2(reused, native), native);
        platform::close_socket(reused);
    }
    EXPECT_TRUE(set->AddConnection(native, second));
    EXPECT_EQ(set->GetCount(), 1u);
    EXPECT_TRUE(set->HasClient(2));
    EXPECT_FALSE(set->HasClient(1));
    EXPECT_TRUE(wait_until([&] { return journal.destroyed.load() == 1; }));
}

TEST_F(TaskConnectionsTest, RemoveConnectionForgetsWithoutClosing)
{
    AddClients(2);
    set->RemoveConnection(-7);   // not held: nothing happens
    EXPECT_EQ(set->GetCount(), 2u);

    // The connection itself would call this while ending; keep it alive to
    // see that the set did not close it.
    FakeConnection* first = nullptr;
    platform::socket_t native;
    first = Make(3, native);
    ASSERT_TRUE(set->AddConnection(native, first));
    first->add_ref();
    set->RemoveConnection(native);
    EXPECT_EQ(set->GetCount(), 2u);
    EXPECT_FALSE(set->HasClient(3));
    EXPECT_EQ(journal.closed.load(), 0);
    EXPECT_TRUE(PeerStillOpen(PeerEnd(2)));
    first->close();
    first->release();
}

TEST_F(TaskConnectionsTest, CloseAllClosesEverythingAndRefusesNewcomers)
{
    AddClients(4);
    set->CloseAll();
    EXPECT_TRUE(set->IsClosing());
    EXPECT_EQ(set->GetCount(), 0u);
    EXPECT_EQ(journal.closed.load(), 4);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_TRUE(PeerSeesEnd(PeerEnd(i)));
    EXPECT_TRUE(wait_until([&] { return journal.destroyed.load() == 4; }));

    platform::socket_t native;
    FakeConnection* late = Make(9, native);
    EXPECT_FALSE(set->AddConnection(native, late));
    EXPECT_TRUE(PeerSeesEnd(PeerEnd(4)));
    EXPECT_EQ(set->GetCount(), 0u);
}

TEST_F(TaskConnectionsTest, CloseAllNoFlagKeepsAccepting)
{
    AddClients(3);
    set->CloseAllNoFlag(1);
    EXPECT_FALSE(set->IsClosing());
    EXPECT_EQ(set->GetCount(), 0u);
    EXPECT_EQ(journal.closed.load(), 3);
    platform::socket_t native;
    FakeConnection* again = Make(1, native);
    EXPECT_TRUE(set->AddConnection(native, again));
    EXPECT_EQ(set->GetCount(), 1u);
}

TEST_F(TaskConnectionsTest, VerifiedPieceIsAnnouncedOnEveryConnection)
{
    AddClients(3);
    set->OnPieceChecked(1, 1);
    EXPECT_EQ(journal.Haves(), (std::vector<std::uint32_t>{1, 1, 1}));
    EXPECT_EQ(set->GetCount(), 3u);
    EXPECT_EQ(journal.closed.load(), 0);
    EXPECT_TRUE(owner.events.Lines().empty());
}

TEST_F(TaskConnectionsTest, FailedPieceCheckDropsOnlyTheBlamedConnectionsAndFreesThePiece)
{
    AddClients(5);
    // A peer holds piece 0 and two of its blocks are out on request.
    owner.picker().IncPieceAvailability(0);
    BlockRequestQueue queue;
    owner.picker().GetRequestBlocksForPeer({1, 0}, queue, 2);
    ASSERT_EQ(owner.picker().BlockState(0, 0), CBlockRequestMap::kRequested);

    // Peers 2 and 4 supplied blocks of the piece (9 is not connected).
    set->OnPieceChecked(0, 0, {2, 4, 9});
    const std::string line = "error \n4242 哈希校验不过!pieceindex: 0\n";
    const std::vector<std::string> errors = owner.events.With("error ");
    ASSERT_EQ(errors.size(), 2u);
    for (const auto& e : errors)
        EXPECT_EQ(e, line);
    EXPECT_EQ(set->GetCount(), 3u);
    EXPECT_EQ(journal.closed.load(), 2);
    for (std::size_t i : {1u, 3u})
        EXPECT_TRUE(PeerSeesEnd(PeerEnd(i)));
    for (std::size_t i : {0u, 2u, 4u})
        EXPECT_TRUE(PeerStillOpen(PeerEnd(i)));
    EXPECT_TRUE(set->HasClient(1) && set->HasClient(3) && set->HasClient(5));
    EXPECT_EQ(owner.picker().BlockState(0, 0), CBlockRequestMap::kFree);
    EXPECT_EQ(owner.picker().BlockState(0, 1), CBlockRequestMap::kFree);
    // Nobody to blame: every connection goes on.
    set->OnPieceChecked(1, 0);
    EXPECT_EQ(set->GetCount(), 3u);
    // The set stays open: the task goes on with new connections.
    EXPECT_FALSE(set->IsClosing());
}

TEST_F(TaskConnectionsTest, FailedPieceCheckWithoutConnectionsStillFreesThePiece)
{
    owner.picker().IncPieceAvailability(1);
    BlockRequestQueue queue;
    owner.picker().GetRequestBlocksForPeer({0, 1}, queue, 1);
    ASSERT_EQ(owner.picker().BlockState(1, 0), CBlockRequestMap::kRequested);
    set->OnPieceChecked(1, 0);
    EXPECT_TRUE(owner.events.Lines().empty());
    EXPECT_EQ(owner.picker().BlockState(1, 0), CBlockRequestMap::kFree);
}

TEST_F(TaskConnectionsTest, DestroyingTheSetClosesWhatItStillHolds)
{
    AddClients(2);
    set.reset();
    EXPECT_EQ(journal.closed.load(), 2);
    EXPECT_TRUE(PeerSeesEnd(PeerEnd(0)));
    EXPECT_TRUE(PeerSeesEnd(PeerEnd(1)));
}

TEST_F(TaskConnectionsTest, ConnectionsEndingThemselvesDuringCloseAllAreReleasedOnce)
{
    // A connection ending on its own leaves the set from its close hook;
    // with the set's close-all running at the same time nothing may be
    // released twice (ASan) and nothing kept (TearDown).
    std::vector<FakeConnection*> held;
    for (int i = 1; i <= 10; ++i) {
        platform::socket_t native;
        FakeConnection* c = Make(std::uint64_t(i), native);
        c->LeaveOnClose(set.get());
        c->add_ref();
        held.push_back(c);
        ASSERT_TRUE(set->AddConnection(native, c));
    }
    std::thread closer([&] {
        for (FakeConnection* c : held)
            c->close();
    });
    set->CloseAll();
    closer.join();
    EXPECT_EQ(set->GetCount(), 0u);
    for (FakeConnection* c : held)
        c->release();
}

TEST_F(TaskConnectionsTest, AConnectionEndingByItselfLeavesTheSet)
{
    platform::socket_t native;
    FakeConnection* c = Make(1, native);
    c->LeaveOnClose(set.get());
    c->add_ref();
    ASSERT_TRUE(set->AddConnection(native, c));
    c->close();
    EXPECT_EQ(set->GetCount(), 0u);
    c->release();
}

}   // namespace
