#include "report/down_data_log.h"

#include <chrono>
#include <regex>
#include <string>

#include <sys/stat.h>
#include <utime.h>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "platform/tick.h"
#include "report/client_id.h"
#include "support/closed_port.h"
#include "support/fake_log_server.h"
#include "support/temp_dir.h"
#include "test_helpers.h"
#include "upload_parse.h"

using report_test::parse_upload;
using report_test::read_all;

namespace {

void make_yesterday(const std::string& path)
{
    struct utimbuf times;
    times.actime = times.modtime = static_cast<time_t>(platform::unix_time() - 2 * 24 * 3600);
    ASSERT_EQ(::utime(path.c_str(), &times), 0);
}

}   // namespace

TEST(DownDataLog, RegistersTheProcessWideInstance)
{
    EXPECT_EQ(CDownDataLog::GetInstance(), nullptr);
    {
        test_support::TempDir dir;
        CDownDataLog log(dir.path());
        EXPECT_EQ(CDownDataLog::GetInstance(), &log);
        EXPECT_EQ(log.FilePath(), dir.file("p2sp1_datedowndata.log"));
    }
    EXPECT_EQ(CDownDataLog::GetInstance(), nullptr);
}

TEST(DownDataLog, CountsBytesPerTaskAndCounter)
{
    test_support::TempDir dir;
    CDownDataLog log(dir.path());
    struct Step {
        int counter;   // 0 AddTask, 1 peer, 2 type-2 peer, 3 http
        std::uint64_t task;
        std::uint64_t bytes;
    };
    const Step steps[] = {
        {0, 1, 0}, {1, 1, 32768}, {1, 1, 100}, {2, 1, 5}, {3, 1, 4294967296ull}, {0, 1, 0}, {3, 2, 7}, {2, 3, 9},
    };
    for (const Step& s : steps) {
        switch (s.counter) {
        case 0:
            log.AddTask(s.task);
            break;
        case 1:
            log.AddPeerBytes(s.task, s.bytes);
            break;
        case 2:
            log.AddType2PeerBytes(s.task, s.bytes);
            break;
        default:
            log.AddHttpBytes(s.task, s.bytes);
            break;
        }
    }
    struct Expect {
        std::uint64_t task, peer, peer2, http;
    };
    const Expect expected[] = {{1, 32868, 5, 4294967296ull}, {2, 0, 0, 7}, {3, 0, 9, 0}};
    for (const Expect& e : expected) {
        std::uint64_t peer = 1, peer2 = 1, http = 1;
        ASSERT_TRUE(log.GetCounters(e.task, peer, peer2, http)) << e.task;
        EXPECT_EQ(peer, e.peer) << e.task;
        EXPECT_EQ(peer2, e.peer2) << e.task;
        EXPECT_EQ(http, e.http) << e.task;
    }
    std::uint64_t a, b, c;
    EXPECT_FALSE(log.GetCounters(4, a, b, c));
}

TEST(DownDataLog, FinishTaskWritesOneLineAndDropsTheRecord)
{
    test_support::TempDir dir;
    SetProcessClientId(99);
    CDownDataLog log(dir.path());
    log.AddTask(12345678901234ull);
    log.AddPeerBytes(12345678901234ull, 10);
    log.AddType2PeerBytes(12345678901234ull, 20);
    log.AddHttpBytes(12345678901234ull, 30);
    log.FinishTask(12345678901234ull);
    log.FinishTask(12345678901234ull);   // no record any more: nothing written
    log.FinishTask(5);
    const std::string text = read_all(log.FilePath());
    const std::regex line("taskid=12345678901234,clientid=99,start=([0-9]+),end=([0-9]+),peer=10,peer2=20,http=30\n");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    EXPECT_LE(std::stoll(m[1].str()), std::stoll(m[2].str()));
    std::uint64_t a, b, c;
    EXPECT_FALSE(log.GetCounters(12345678901234ull, a, b, c));
    SetProcessClientId(0);
}

TEST(DownDataLog, FlushWritesEveryOpenRecordOnce)
{
    test_support::TempDir dir;
    CDownDataLog log(dir.path());
    log.AddPeerBytes(2, 1);
    log.AddHttpBytes(1, 2);
    log.Flush();
    log.Flush();
    const std::string text = read_all(log.FilePath());
    EXPECT_EQ(text.find("taskid=1,"), 0u);
    EXPECT_NE(text.find("\ntaskid=2,"), std::string::npos);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

TEST(DownDataLog, CheckAndSendUploadsOnlyAFileOfAnEarlierDay)
{
    test_support::TempDir dir;
    FakeLogServer server(FakeLogServer::Mode::raw);
    ASSERT_TRUE(server.Start());
    SetProcessClientId(7);
    CDownDataLog log(dir.path());
    log.SetServer("127.0.0.1", server.port());
    EXPECT_FALSE(log.CheckAndSend()) << "no file yet";
    log.AddHttpBytes(1, 2);
    log.FinishTask(1);
    EXPECT_FALSE(log.CheckAndSend()) << "written today";

    make_yesterday(log.FilePath());
    const std::string sent = read_all(log.FilePath());
    ASSERT_TRUE(log.CheckAndSend());
    ASSERT_TRUE(log.WaitUpload(10000));
    EXPECT_TRUE(log.LastUploadSucceeded());
    ASSERT_TRUE(server.WaitForUploads(1, 5000));
    const report_test::ParsedUpload up = parse_upload(server.Uploads()[0]);
    ASSERT_TRUE(up.ok);
    EXPECT_EQ(up.file_name, "p2sp1_datedowndata.log");
    EXPECT_EQ(up.client_id, 7u);
    EXPECT_EQ(up.contents, sent);
    EXPECT_FALSE(platform::file_exists(log.FilePath())) << "uploaded lines are removed";
    SetProcessClientId(0);
}

TEST(DownDataLog, LargeFileGoesInPartsAndAFailedUploadKeepsTheFile)
{
    test_support::TempDir dir;
    CDownDataLog log(dir.path());
    for (std::uint64_t task = 1; task <= 1000; ++task) {
        log.AddPeerBytes(task, task);
        log.FinishTask(task);
    }
    const std::string sent = read_all(log.FilePath());
    ASSERT_GT(sent.size(), 2u * 32768u);

    // Nobody listens: the upload fails and the file stays.
    const ClosedPort closed;
    const std::uint16_t port = closed.port();
    ASSERT_NE(port, 0);
    log.SetServer("127.0.0.1", port);
    ASSERT_TRUE(log.StartUpload());
    ASSERT_TRUE(log.WaitUpload(10000));
    EXPECT_FALSE(log.LastUploadSucceeded());
    EXPECT_EQ(read_all(log.FilePath()), sent);

    // A server that takes every byte and closes without its receipt, or
    // refuses the file in its receipt: the lines stay.
    FakeLogServer server(FakeLogServer::Mode::raw);
    ASSERT_TRUE(server.Start());
    log.SetServer("127.0.0.1", server.port());
    for (const std::int64_t answer : {std::int64_t(-1), std::int64_t(3)}) {
        server.SetUploadAnswer(answer);
        ASSERT_TRUE(log.StartUpload());
        ASSERT_TRUE(log.WaitUpload(10000));
        EXPECT_FALSE(log.LastUploadSucceeded()) << answer;
        EXPECT_EQ(read_all(log.FilePath()), sent) << answer;
    }
    server.SetUploadAnswer(0);
    server.ClearRecords();
    log.SetServer("127.0.0.1", server.port());
    ASSERT_TRUE(log.StartUpload());
    ASSERT_TRUE(log.WaitUpload(10000));
    EXPECT_TRUE(log.LastUploadSucceeded());
    ASSERT_TRUE(server.WaitForUploads(1, 5000));
    const report_test::ParsedUpload up = parse_upload(server.Uploads()[0]);
    ASSERT_TRUE(up.ok);
    EXPECT_EQ(up.parts, static_cast<std::uint32_t>((sent.size() + 32767) / 32768));
    EXPECT_EQ(up.contents, sent);
}

TEST(DownDataLog, DestructionStopsAnUploadWaitingForItsReceipt)
{
    test_support::TempDir dir;
    FakeLogServer server(FakeLogServer::Mode::raw);
    server.SetWithholdClose(true);
    ASSERT_TRUE(server.Start());
    std::string path;
    {
        CDownDataLog log(dir.path());
        path = log.FilePath();
        log.AddTask(1);
        log.FinishTask(1);
        log.SetServer("127.0.0.1", server.port());
        ASSERT_TRUE(log.StartUpload());
        EXPECT_FALSE(log.StartUpload()) << "one upload at a time";
        ASSERT_TRUE(server.WaitForUploads(1, 5000));
        const auto start = std::chrono::steady_clock::now();
        // ~CDownDataLog runs here.
        struct Timer {
            std::chrono::steady_clock::time_point start;
            ~Timer()
            {
                const auto ms =
                    std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
                        .count();
                EXPECT_LT(ms, 1000);
            }
        } timer{start};
    }
    EXPECT_TRUE(platform::file_exists(path)) << "no receipt: the file is kept";
    server.Stop();
}
