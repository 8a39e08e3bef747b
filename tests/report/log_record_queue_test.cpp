#include "report/log_record_queue.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

LogRecord make(std::uint64_t client, std::uint16_t port, std::uint32_t result, std::int64_t time = 100)
{
    LogRecord r;
    r.family = 'p';
    r.client_id = client;
    r.kind = 5;
    r.task_id = 3;
    r.ipv4 = 1;
    r.port = port;
    r.results[result] = 1;
    r.time = time;
    return r;
}

std::vector<std::uint16_t> ports(const std::vector<LogRecord>& records)
{
    std::vector<std::uint16_t> out;
    for (const LogRecord& r : records)
        out.push_back(r.port);
    return out;
}

}   // namespace

TEST(LogRecordQueue, FormatsRecordsWithResultsInAscendingCode)
{
    LogRecord r = make(18446744073709551615ull, 65535, 7, 1700000000);
    r.results[0] = 3;
    r.results[4294967295u] = 1;
    r.family = 'h';
    r.ipv4 = 4294967295u;
    EXPECT_EQ(FormatLogRecord(r), "h,18446744073709551615,5,3,4294967295,65535,0x3+7x1+4294967295x1,1700000000");
}

TEST(LogRecordQueue, CountingQueueMergesSameKeyKeepingItsPosition)
{
    CLogRecordQueue q(true);
    EXPECT_EQ(q.Add(make(1, 10, 0, 200), 10), 0u);
    EXPECT_EQ(q.Add(make(1, 11, 0), 10), 0u);
    EXPECT_EQ(q.Add(make(1, 10, 3, 150), 10), 0u);
    EXPECT_EQ(q.Add(make(1, 10, 0, 300), 10), 0u);
    EXPECT_TRUE(q.check_invariant());
    ASSERT_EQ(q.Size(), 2u);
    const std::vector<LogRecord> taken = q.Take(10);
    ASSERT_EQ(ports(taken), (std::vector<std::uint16_t>{10, 11}));
    EXPECT_EQ(taken[0].results.at(0), 2u);
    EXPECT_EQ(taken[0].results.at(3), 1u);
    EXPECT_EQ(taken[0].time, 150);   // the first occurrence
    EXPECT_TRUE(q.check_invariant());
}

TEST(LogRecordQueue, EventQueueNeverMerges)
{
    CLogRecordQueue q(false);
    q.Add(make(1, 10, 0), 10);
    q.Add(make(1, 10, 0), 10);
    EXPECT_EQ(q.Size(), 2u);
    EXPECT_TRUE(q.check_invariant());
}

TEST(LogRecordQueue, LimitDropsTheOldest)
{
    for (bool counting : {false, true}) {
        CLogRecordQueue q(counting);
        std::size_t dropped = 0;
        for (std::uint16_t port = 0; port < 10; ++port)
            dropped += q.Add(make(1, port, 0), 4);
        EXPECT_EQ(dropped, 6u);
        EXPECT_TRUE(q.check_invariant());
        EXPECT_EQ(ports(q.Take(100)), (std::vector<std::uint16_t>{6, 7, 8, 9}));
        // A limit of 0 is taken as 1.
        q.Add(make(1, 1, 0), 0);
        q.Add(make(1, 2, 0), 0);
        EXPECT_EQ(q.Size(), 1u);
    }
}

TEST(LogRecordQueue, PutBackReturnsRecordsToTheFrontAndMergesNewerCopies)
{
    CLogRecordQueue q(true);
    q.Add(make(1, 1, 0), 10);
    q.Add(make(1, 2, 0), 10);
    q.Add(make(1, 3, 0), 10);
    std::vector<LogRecord> taken = q.Take(2);   // ports 1, 2
    q.Add(make(1, 2, 4), 10);                   // a newer copy of port 2
    q.Add(make(1, 5, 0), 10);
    EXPECT_EQ(q.PutBack(taken, 3), 1u);   // 1, 2, 3, 5 -> oldest (1) dropped
    EXPECT_TRUE(q.check_invariant());
    const std::vector<LogRecord> all = q.Take(10);
    ASSERT_EQ(ports(all), (std::vector<std::uint16_t>{2, 3, 5}));
    EXPECT_EQ(all[0].results.at(0), 1u);
    EXPECT_EQ(all[0].results.at(4), 1u);
}

TEST(LogRecordQueue, CountsSaturateInsteadOfWrapping)
{
    CLogRecordQueue q(true);
    LogRecord big = make(1, 1, 0);
    big.results[0] = 4294967295u;
    q.Add(big, 10);
    q.Add(make(1, 1, 0), 10);
    EXPECT_EQ(q.Take(1)[0].results.at(0), 4294967295u);
}

TEST(LogRecordQueue, ClearEmptiesAndReportsTheCount)
{
    CLogRecordQueue q(true);
    q.Add(make(1, 1, 0), 10);
    q.Add(make(1, 2, 0), 10);
    EXPECT_EQ(q.Clear(), 2u);
    EXPECT_EQ(q.Size(), 0u);
    EXPECT_TRUE(q.check_invariant());
    q.Add(make(1, 1, 0), 10);
    EXPECT_EQ(q.Size(), 1u);
}
