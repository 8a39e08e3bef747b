#include "report/log_of_boot.h"

#include <fstream>
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "report/client_id.h"
#include "support/closed_port.h"
#include "support/fake_log_server.h"
#include "support/temp_dir.h"
#include "test_helpers.h"
#include "upload_parse.h"

using report_test::parse_upload;
using report_test::read_all;

TEST(LogOfBoot, OnePassUploadsBothLogsAndEmptiesThem)
{
    test_support::TempDir dir;
    FakeLogServer server(FakeLogServer::Mode::raw);
    ASSERT_TRUE(server.Start());
    std::ofstream(dir.file("p2sp_runtimelen.log")) << "start=1,end=2,seconds=1,clientid=3\n";
    std::ofstream(dir.file("p2sp_exception.log")) << "access violation\n";
    SetProcessClientId(5);
    {
        CLogOfBoot boot(dir.path());
        boot.SetServer("127.0.0.1", server.port());
        ASSERT_TRUE(boot.Start());
        EXPECT_FALSE(boot.Start()) << "one pass per run";
        ASSERT_TRUE(boot.WaitDone(10000));
        EXPECT_EQ(boot.UploadedFiles(), 2);
        EXPECT_FALSE(platform::file_exists(boot.ExceptionLogPath()));
        EXPECT_FALSE(platform::file_exists(boot.RunTimeLogPath()));
    }
    ASSERT_TRUE(server.WaitForUploads(2, 5000));
    std::set<std::string> got;
    for (const std::string& bytes : server.Uploads()) {
        const report_test::ParsedUpload up = parse_upload(bytes);
        ASSERT_TRUE(up.ok);
        EXPECT_EQ(up.client_id, 5u);
        got.insert(up.file_name + ":" + up.contents);
    }
    EXPECT_EQ(got, (std::set<std::string>{"p2sp_runtimelen.log:start=1,end=2,seconds=1,clientid=3\n",
                                          "p2sp_exception.log:access violation\n"}));
    // Stopping wrote this run's line for the next start to upload.
    EXPECT_TRUE(std::regex_match(read_all(dir.file("p2sp_runtimelen.log")),
                                 std::regex("start=[0-9]+,end=[0-9]+,seconds=[0-9]+,clientid=5\n")));
    SetProcessClientId(0);
}

TEST(LogOfBoot, NothingToSendAndServerDownKeepFiles)
{
    test_support::TempDir dir;
    const ClosedPort closed;
    const std::uint16_t port = closed.port();
    ASSERT_NE(port, 0);
    CLogOfBoot boot(dir.path());
    boot.SetServer("127.0.0.1", port);
    boot.WriteException("first");
    boot.WriteException("second\n");
    ASSERT_TRUE(boot.Start());
    ASSERT_TRUE(boot.WaitDone(10000));
    EXPECT_EQ(boot.UploadedFiles(), 0);
    EXPECT_EQ(read_all(boot.ExceptionLogPath()), "first\nsecond\n");
    boot.Stop();
    boot.Stop();   // one run-time line only
    const std::string runtime = read_all(boot.RunTimeLogPath());
    EXPECT_EQ(std::count(runtime.begin(), runtime.end(), '\n'), 1);
}
