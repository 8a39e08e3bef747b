#include "platform/named_event.h"

#include "platform/tick.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <spawn.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace {

// The second process is this test binary run again; the role comes in the
// environment and is acted out before main.
constexpr const char* role_var = "VR_NAMED_EVENT_ROLE";
constexpr const char* name_var = "VR_NAMED_EVENT_NAME";
constexpr int exit_existed = 10;

pid_t spawn_role(const std::string& role, const std::string& name)
{
    test_support::ScopedEnv r(role_var, role);
    test_support::ScopedEnv n(name_var, name);
    char exe[] = "/proc/self/exe";
    char* argv[] = {exe, nullptr};
    posix_spawn_file_actions_t quiet;
    posix_spawn_file_actions_init(&quiet);
    posix_spawn_file_actions_addopen(&quiet, 1, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawn(&pid, "/proc/self/exe", &quiet, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&quiet);
    return rc == 0 ? pid : -1;
}

// Exit code of the child, -1 when it did not end within `ms` (it is then
// killed) or died of a signal.
int wait_exit(pid_t pid, std::uint32_t ms)
{
    int status = 0;
    if (!test_support::wait_until([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, ms)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool wait_until_exists(const std::string& name, std::uint32_t ms)
{
    return test_support::wait_until([&] { return platform::NamedEvent::exists(name); }, ms);
}

// The second process: when the role is set, act it out before any test
// runs and exit with its result.
int act_role_if_asked()
{
    const char* role = std::getenv(role_var);
    const char* name = std::getenv(name_var);
    if (!role || !name)
        return 0;
    const std::string r = role;
    if (r == "hold") {
        // Creates the event and waits up to 10 s to be told to stop.
        platform::NamedEvent e;
        bool existed = false;
        if (!e.create(name, existed))
            std::_Exit(2);
        if (existed)
            std::_Exit(exit_existed);
        std::_Exit(e.wait(10000) ? 0 : 1);
    }
    if (r == "signal")
        std::_Exit(platform::NamedEvent::signal(name) ? 0 : 1);
    if (r == "probe") {
        platform::NamedEvent e;
        bool existed = false;
        if (!e.create(name, existed))
            std::_Exit(2);
        std::_Exit(existed ? exit_existed : 0);
    }
    std::_Exit(3);
}

const int g_role = act_role_if_asked();

class NamedEventTest : public ::testing::Test {
protected:
    test_support::TempDir dir;
    test_support::ScopedEnv env{"VR_RUNTIME_DIR", dir.path()};
    std::string name = "EVENT_P2SP_DOWNLOAD_DLL_EXISTS" + std::to_string(::getpid());
};

}   // namespace

TEST_F(NamedEventTest, CreatorInOneProcessIsStoppedFromAnother)
{
    const pid_t holder = spawn_role("hold", name);
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(wait_until_exists(name, 10000));

    // A second creator learns that the service runs, in either process.
    EXPECT_EQ(wait_exit(spawn_role("probe", name), 10000), exit_existed);
    platform::NamedEvent mine;
    bool existed = false;
    ASSERT_TRUE(mine.create(name, existed));
    EXPECT_TRUE(existed);
    EXPECT_FALSE(mine.owns_marker());
    mine.close();

    EXPECT_EQ(wait_exit(spawn_role("signal", name), 10000), 0);
    EXPECT_EQ(wait_exit(holder, 10000), 0);   // its wait was released
    EXPECT_FALSE(platform::NamedEvent::exists(name));
}

TEST_F(NamedEventTest, KilledCreatorLeavesNoStaleMarker)
{
    const pid_t holder = spawn_role("hold", name);
    ASSERT_GT(holder, 0);
    ASSERT_TRUE(wait_until_exists(name, 10000));
    ::kill(holder, SIGKILL);
    EXPECT_EQ(wait_exit(holder, 10000), -1);

    EXPECT_FALSE(platform::NamedEvent::exists(name));
    EXPECT_EQ(wait_exit(spawn_role("signal", name), 10000), 1);   // nobody to stop

    platform::NamedEvent e;
    bool existed = true;
    ASSERT_TRUE(e.create(name, existed));
    EXPECT_FALSE(existed);
    EXPECT_TRUE(e.owns_marker());
    EXPECT_FALSE(e.wait(0));   // nothing left over from before

    EXPECT_EQ(wait_exit(spawn_role("signal", name), 10000), 0);
    EXPECT_TRUE(e.wait(5000));
}

TEST_F(NamedEventTest, OpenAndSignalFailWithoutCreator)
{
    platform::NamedEvent e;
    EXPECT_FALSE(e.open(name));
    EXPECT_FALSE(e.is_open());
    EXPECT_FALSE(e.set());
    EXPECT_FALSE(platform::NamedEvent::signal(name));
    EXPECT_FALSE(platform::NamedEvent::exists(name));
}

TEST_F(NamedEventTest, AutoResetAndTimedWaitsWithinOneProcess)
{
    platform::NamedEvent creator;
    bool existed = true;
    ASSERT_TRUE(creator.create(name, existed));
    EXPECT_FALSE(existed);

    // A second handle in the same process, as the service object opens it.
    platform::NamedEvent second;
    ASSERT_TRUE(second.open(name));

    const std::uint64_t start = platform::tick_count64();
    EXPECT_FALSE(second.wait(60));
    const std::uint64_t waited = platform::tick_count64() - start;
    EXPECT_GE(waited, 55u);
    EXPECT_LT(waited, 2000u);

    ASSERT_TRUE(creator.set());
    ASSERT_TRUE(creator.set());
    EXPECT_TRUE(second.wait(1000));
    EXPECT_FALSE(second.wait(0));   // two sets before a wait count once

    // The marker goes with the creating handle.
    creator.close();
    EXPECT_FALSE(platform::NamedEvent::exists(name));
    bool again = true;
    platform::NamedEvent next;
    ASSERT_TRUE(next.create(name, again));
    EXPECT_FALSE(again);
}

TEST_F(NamedEventTest, NamesCannotLeaveTheRuntimeFolder)
{
    platform::NamedEvent e;
    bool existed = true;
    ASSERT_TRUE(e.create("../escape/name", existed));
    EXPECT_FALSE(existed);
    EXPECT_TRUE(platform::NamedEvent::exists("../escape/name"));
    EXPECT_EQ(::access((dir.path() + "/../escape").c_str(), F_OK), -1);
}
