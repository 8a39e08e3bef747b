#include "report/client_log.h"

#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "platform/paths.h"
#include "support/shifted_tick.h"
#include "support/temp_dir.h"
#include "test_helpers.h"

using report_test::read_all;

namespace {

struct ClientLogFixture : ::testing::Test {
    test_support::TempDir dir;
    test_support::ScopedEnv module{"VR_MODULE_DIR", dir.path()};
    test_support::ScopedEnv marker{"VR_CLIENT_LOG_MARKER", dir.file("marker/dlllogout.log")};

    // The marker's state is looked at once a second: start from this test's
    // folder, not from what a test before saw.
    ClientLogFixture() { RecheckClientLogMarker(); }

    void set_marker(bool on)
    {
        if (on) {
            ASSERT_TRUE(platform::create_folder(dir.file("marker")));
            std::ofstream(dir.file("marker/dlllogout.log")) << "";
        } else {
            platform::delete_file(dir.file("marker/dlllogout.log"));
        }
        RecheckClientLogMarker();
    }
};

}   // namespace

TEST_F(ClientLogFixture, WritesOnlyWhileTheMarkerFileExists)
{
    EXPECT_EQ(ClientLogPath(), dir.file("p2sp_client.log"));
    EXPECT_FALSE(ClientLogEnabled());
    WriteClientLog("before\n");
    EXPECT_FALSE(platform::file_exists(ClientLogPath()));

    set_marker(true);
    EXPECT_TRUE(ClientLogEnabled());
    WriteClientLog("avg speed: down[1.5],up[0]\n");
    WriteClientLog("two\nlines\n");
    WriteClientLog("");
    EXPECT_EQ(read_all(ClientLogPath()), "avg speed: down[1.5],up[0]\ntwo\nlines\n");

    set_marker(false);
    WriteClientLog("after\n");
    EXPECT_EQ(read_all(ClientLogPath()), "avg speed: down[1.5],up[0]\ntwo\nlines\n");

    // Left alone, the marker is looked at again once a second: a switch
    // shows within that second, not before.
    test_support::shifted_tick_scope clock;
    clock.hold();
    RecheckClientLogMarker();
    EXPECT_FALSE(ClientLogEnabled());
    std::ofstream(dir.file("marker/dlllogout.log")) << "";
    test_support::held_tick() += 999;
    EXPECT_FALSE(ClientLogEnabled());
    test_support::held_tick() += 1;
    EXPECT_TRUE(ClientLogEnabled());
    WriteClientLog("switched on\n");
    platform::delete_file(dir.file("marker/dlllogout.log"));
    test_support::held_tick() += 999;
    WriteClientLog("still on\n");
    test_support::held_tick() += 1;
    WriteClientLog("off again\n");
    EXPECT_FALSE(ClientLogEnabled());
    EXPECT_EQ(read_all(ClientLogPath()), "avg speed: down[1.5],up[0]\ntwo\nlines\nswitched on\nstill on\n");
}

TEST_F(ClientLogFixture, StreamIsWrittenAsOneLine)
{
    set_marker(true);
    std::ostringstream a;
    a << "zeq::debug -- immediate request bytes[" << 65536 << "]";
    WriteClientLogStream(a);
    std::ostringstream b;
    b << "ends with a line end\n";
    WriteClientLogStream(b);
    std::ostringstream empty;
    WriteClientLogStream(empty);
    EXPECT_EQ(read_all(ClientLogPath()), "zeq::debug -- immediate request bytes[65536]\nends with a line end\n\n");
}

TEST_F(ClientLogFixture, LinesOfConcurrentWritersNeverInterleave)
{
    set_marker(true);
    const std::string line = std::string(300, 'x') + "\n";
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i < 100; ++i)
                WriteClientLog(line);
        });
    for (std::thread& t : threads)
        t.join();
    const std::string all = read_all(ClientLogPath());
    ASSERT_EQ(all.size(), 400 * line.size());
    for (std::size_t at = 0; at < all.size(); at += line.size())
        ASSERT_EQ(all.compare(at, line.size(), line), 0) << "at " << at;
}
