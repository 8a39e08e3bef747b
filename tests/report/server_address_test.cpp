#include "report/server_address.h"

#include <gtest/gtest.h>

#include "support/temp_dir.h"

TEST(ServerAddress, ParsesHostAndOptionalPort)
{
    struct Case {
        const char* text;
        bool ok;
        const char* host;
        std::uint16_t port;
    };
    const Case cases[] = {
        {"127.0.0.1", true, "127.0.0.1", 5113},
        {"127.0.0.1:80", true, "127.0.0.1", 80},
        {"localhost:65535", true, "localhost", 65535},
        {" 127.0.0.1 :9", true, "127.0.0.1", 9},
        {"127.0.0.1:0", false, "", 0},
        {"127.0.0.1:65536", false, "", 0},
        {"127.0.0.1:", false, "", 0},
        {"127.0.0.1:8x", false, "", 0},
        {":80", false, "", 0},
        {"", false, "", 0},
    };
    for (const Case& c : cases) {
        ServerAddress out;
        EXPECT_EQ(ParseServerAddress(c.text, 5113, out), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(out.host, c.host) << c.text;
            EXPECT_EQ(out.port, c.port) << c.text;
        }
    }
}

TEST(ServerAddress, EnvironmentOverridesTheLocalDefault)
{
    {
        test_support::ScopedEnv env("VR_DATALOG_SERVER", "");
        const ServerAddress a = ServerAddressFromEnv("VR_DATALOG_SERVER", 5113);
        EXPECT_EQ(a.host, "127.0.0.1");
        EXPECT_EQ(a.port, 5113);
    }
    {
        test_support::ScopedEnv env("VR_DATALOG_SERVER", "127.0.0.2:6000");
        const ServerAddress a = ServerAddressFromEnv("VR_DATALOG_SERVER", 5113);
        EXPECT_EQ(a.host, "127.0.0.2");
        EXPECT_EQ(a.port, 6000);
    }
    {
        test_support::ScopedEnv env("VR_DATALOG_SERVER", "bad:port");
        EXPECT_EQ(ServerAddressFromEnv("VR_DATALOG_SERVER", 5113).host, "127.0.0.1");
    }
}
