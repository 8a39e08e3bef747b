#include "net/conn/send_queue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

namespace {

const std::uint8_t* bytes(const std::string& s)
{
    return reinterpret_cast<const std::uint8_t*>(s.data());
}

TEST(SendQueue, AppendsWhileInFlightNeverMoveTheRangeHandedOut)
{
    i_send_queue q;
    const std::string a = "first-", b = "second-", c = "third";
    ASSERT_TRUE(q.append(bytes(a), bytes(a) + a.size()));
    i_send_range r;
    const std::uint8_t*& data = r.data;
    std::uint32_t& length = r.length;
    ASSERT_TRUE(q.next(r));
    const std::uint8_t* in_flight = data;
    EXPECT_EQ(a, std::string(reinterpret_cast<const char*>(data), length));
    for (int i = 0; i < 100; ++i)
        ASSERT_TRUE(q.append(bytes(b), bytes(b) + b.size()));   // would reallocate a single buffer
    EXPECT_EQ(a, std::string(reinterpret_cast<const char*>(in_flight), a.size()));
    q.completed(2);   // partial send: the rest of the same range comes next
    ASSERT_TRUE(q.next(r));
    EXPECT_EQ(in_flight + 2, data);
    EXPECT_EQ(a.size() - 2, length);
    q.completed(length);
    ASSERT_TRUE(q.next(r));
    EXPECT_EQ(100 * b.size(), length);
    ASSERT_TRUE(q.append(bytes(c), bytes(c) + c.size()));
    q.completed(length);
    ASSERT_TRUE(q.next(r));
    EXPECT_EQ(c, std::string(reinterpret_cast<const char*>(data), length));
    q.completed(length);
    EXPECT_FALSE(q.next(r));
    EXPECT_TRUE(q.empty());
}

// A block queued from a file goes out after its header, with the header
// marked as followed at once; bytes appended meanwhile follow it, and the
// file's range counts against the limit like bytes.
TEST(SendQueue, FileRangesGoOutInOrderBetweenBytes)
{
    i_send_queue q;
    q.set_limit(100);
    const std::string head = "head", tail = "tail";
    BlockFile file;
    file.handle = std::make_shared<const platform::file_handle>(-1);
    file.offset = 5000;
    EXPECT_FALSE(q.append(bytes(head), bytes(head) + 4, file, 97));   // over the limit: nothing queued
    EXPECT_TRUE(q.empty());
    ASSERT_TRUE(q.append(bytes(head), bytes(head) + 4, file, 60));
    ASSERT_TRUE(q.append(bytes(tail), bytes(tail) + 4));
    EXPECT_EQ(68u, q.unsent());
    i_send_range r;
    ASSERT_TRUE(q.next(r));
    EXPECT_EQ(head, std::string(reinterpret_cast<const char*>(r.data), r.length));
    EXPECT_TRUE(r.more);
    EXPECT_FALSE(r.file);
    q.completed(4);
    ASSERT_TRUE(q.next(r));
    EXPECT_EQ(file.handle, r.file);
    EXPECT_EQ(5000u, r.offset);
    EXPECT_EQ(60u, r.length);
    q.completed(25);   // in part: the rest of the range comes next
    ASSERT_TRUE(q.next(r));
    EXPECT_EQ(5025u, r.offset);
    EXPECT_EQ(35u, r.length);
    q.completed(35);
    ASSERT_TRUE(q.next(r));
    EXPECT_EQ(1, file.handle.use_count());   // the queue let go of the sent range
    EXPECT_EQ(tail, std::string(reinterpret_cast<const char*>(r.data), r.length));
    EXPECT_FALSE(r.more);
    q.completed(4);
    EXPECT_FALSE(q.next(r));
    EXPECT_TRUE(q.empty());
}

TEST(SendQueue, LimitRefusesWholeAppends)
{
    i_send_queue q;
    q.set_limit(10);
    const std::string six = "123456";
    EXPECT_TRUE(q.append(bytes(six), bytes(six) + 6));
    EXPECT_FALSE(q.append(bytes(six), bytes(six) + 6));
    EXPECT_EQ(6u, q.unsent());
    i_send_range r;
    ASSERT_TRUE(q.next(r));
    q.completed(6);
    EXPECT_TRUE(q.append(bytes(six), bytes(six) + 6));   // sent bytes no longer count
    EXPECT_TRUE(q.append(bytes(six), bytes(six)));       // empty append always fits
}

TEST(TransferPump, OneTransferOfEachKindAndErrorsStopTheirSide)
{
    i_transfer_pump p;
    const std::string msg = "abc";
    p.queue.append(bytes(msg), bytes(msg) + 3);
    i_send_range out;
    std::uint32_t n;
    ASSERT_TRUE(p.begin_send(out));
    EXPECT_FALSE(p.begin_send(out));
    p.end_send(10054, 0);
    p.queue.append(bytes(msg), bytes(msg) + 3);
    EXPECT_FALSE(p.begin_send(out));   // failed: no more sends

    i_receive_span spans[i_stream_socket::max_receive_spans];
    std::size_t count = 0;
    EXPECT_FALSE(p.begin_receive(spans, count, n));   // no window
    p.window.set(0, 8);
    ASSERT_TRUE(p.begin_receive(spans, count, n));
    EXPECT_EQ(8u, n);
    EXPECT_FALSE(p.begin_receive(spans, count, n));
    p.end_receive(0, 5);
    EXPECT_FALSE(p.begin_receive(spans, count, n));   // not while the bytes are being taken
    p.end_delivery();
    ASSERT_TRUE(p.begin_receive(spans, count, n));
    EXPECT_EQ(3u, n);
    EXPECT_EQ(p.window.buffer.data() + 5, spans[0].data);
    p.end_receive(0, 3);
    p.end_delivery();
    EXPECT_TRUE(p.window.complete());
    EXPECT_FALSE(p.begin_receive(spans, count, n));   // the window wants nothing more
    p.window.set(0, 4);
    ASSERT_TRUE(p.begin_receive(spans, count, n));
    p.end_receive(38, 0);
    EXPECT_FALSE(p.begin_receive(spans, count, n));
    p.reset();
    p.window.set(0, 4);
    EXPECT_TRUE(p.begin_receive(spans, count, n));
    p.end_receive(0, 0);
    p.end_delivery();

    // Outside memory in several places: what is filled is skipped.
    std::uint8_t a[4], b[6];
    auto owner = std::make_shared<int>(0);
    p.window.set_targets({{a, 4}, {b, 6}}, owner);
    ASSERT_TRUE(p.begin_receive(spans, count, n));
    ASSERT_EQ(2u, count);
    EXPECT_EQ(10u, n);
    EXPECT_EQ(a, spans[0].data);
    EXPECT_EQ(2, owner.use_count() - 1) << "the window and the receive hold it";
    p.end_receive(0, 5);
    p.end_delivery();
    ASSERT_TRUE(p.begin_receive(spans, count, n));
    ASSERT_EQ(1u, count);
    EXPECT_EQ(b + 1, spans[0].data);
    EXPECT_EQ(5u, spans[0].length);
    p.end_receive(0, 5);
    p.take_receive_hold();
    p.end_delivery();
    EXPECT_TRUE(p.window.clear_targets());
    EXPECT_EQ(1, owner.use_count());
    EXPECT_FALSE(p.begin_receive(spans, count, n)) << "no window";
}

}   // namespace
