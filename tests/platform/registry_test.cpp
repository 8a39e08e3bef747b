#include "platform/registry.h"

#include "support/temp_dir.h"
#include "support/wait_until.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using test_support::ScopedEnv;
using test_support::TempDir;

namespace {

struct RegistryTest : ::testing::Test {
    TempDir dir;
    ScopedEnv env{"VR_REGISTRY_DIR", dir.path()};
};

}   // namespace

TEST_F(RegistryTest, ValuesPersistAcrossKeyObjects)
{
    {
        platform::RegistryKey key;
        EXPECT_TRUE(key.set_string("SouRisIp", "127.0.0.1"));
        EXPECT_TRUE(key.set_dword("SouRisPort", 3334));
        EXPECT_TRUE(key.set_string("ClientIdStr", "18446744073709551615"));
        EXPECT_TRUE(key.set_dword("RegionCode", 0xFFFFFFFFu));
        EXPECT_EQ(key.file_path().rfind(dir.path(), 0), 0u);
    }
    platform::RegistryKey again(platform::downloader_key);
    std::string s;
    std::uint32_t d = 0;
    ASSERT_TRUE(again.get_string("SouRisIp", s));
    EXPECT_EQ(s, "127.0.0.1");
    ASSERT_TRUE(again.get_dword("SouRisPort", d));
    EXPECT_EQ(d, 3334u);
    ASSERT_TRUE(again.get_dword("regioncode", d));   // names are case-blind
    EXPECT_EQ(d, 0xFFFFFFFFu);
    ASSERT_TRUE(again.get_string("ClientIdStr", s));
    EXPECT_EQ(s, "18446744073709551615");
}

TEST_F(RegistryTest, MissingWrongTypeReplaceAndRemove)
{
    platform::RegistryKey key;
    std::string s = "unchanged";
    std::uint32_t d = 7;
    EXPECT_FALSE(key.get_string("NorRisIp", s));
    EXPECT_EQ(s, "unchanged");
    ASSERT_TRUE(key.set_dword("NorRisPort", 1));
    EXPECT_FALSE(key.get_string("NorRisPort", s));       // a DWORD is not a string
    ASSERT_TRUE(key.set_string("NorRisPort", "text"));   // replaced by a string
    EXPECT_FALSE(key.get_dword("NorRisPort", d));
    EXPECT_EQ(d, 7u);
    EXPECT_TRUE(key.remove("NorRisPort"));
    EXPECT_FALSE(key.get_string("NorRisPort", s));
    EXPECT_TRUE(key.remove("NorRisPort"));
    EXPECT_FALSE(key.set_string("", "x"));
}

TEST_F(RegistryTest, AnyTextRoundTrips)
{
    platform::RegistryKey key;
    const std::string odd[] = {"", "tab\there", "line\nbreak\r\n", "back\\slash\\", "中文", "=;[x]"};
    for (const std::string& v : odd) {
        ASSERT_TRUE(key.set_string("v", v));
        std::string back;
        ASSERT_TRUE(key.get_string("v", back));
        EXPECT_EQ(back, v);
    }
    ASSERT_TRUE(key.set_string("name\twith\ttabs", "x"));
    std::string back;
    EXPECT_TRUE(key.get_string("name\twith\ttabs", back));
}

TEST_F(RegistryTest, KeysAreSeparateAndWritersDoNotLoseValues)
{
    platform::RegistryKey a("Software\\QORN\\Downloader");
    platform::RegistryKey b("Software\\Other");
    ASSERT_TRUE(a.set_dword("x", 1));
    std::uint32_t d = 0;
    EXPECT_FALSE(b.get_dword("x", d));

    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t)
        writers.emplace_back([t] {
            platform::RegistryKey k;
            for (int i = 0; i < 10; ++i)
                k.set_dword("w" + std::to_string(t) + "_" + std::to_string(i), static_cast<std::uint32_t>(i));
        });
    for (auto& w : writers)
        w.join();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 10; ++i) {
            ASSERT_TRUE(a.get_dword("w" + std::to_string(t) + "_" + std::to_string(i), d));
            EXPECT_EQ(d, static_cast<std::uint32_t>(i));
        }
}

TEST_F(RegistryTest, WritersInSeveralProcessesDoNotLoseValues)
{
    constexpr int processes = 3, values = 15;
    std::vector<pid_t> children;
    for (int p = 0; p < processes; ++p) {
        const pid_t pid = ::fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            platform::RegistryKey k;
            bool ok = true;
            for (int i = 0; i < values; ++i)
                ok = k.set_dword("p" + std::to_string(p) + "_" + std::to_string(i), static_cast<std::uint32_t>(i)) &&
                     ok;
            std::_Exit(ok ? 0 : 1);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        // Each child does a few dozen small saves; 20 s is far beyond that.
        int status = -1;
        if (!test_support::wait_until([&] { return ::waitpid(pid, &status, WNOHANG) != 0; }, 20000)) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &status, 0);
        }
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    platform::RegistryKey key;
    std::uint32_t d = 0;
    for (int p = 0; p < processes; ++p)
        for (int i = 0; i < values; ++i)
            EXPECT_TRUE(key.get_dword("p" + std::to_string(p) + "_" + std::to_string(i), d)) << p << "/" << i;
}
