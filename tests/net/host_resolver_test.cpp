#include "net/conn/host_resolver.h"

#include "platform/debug_output.h"

#include <gtest/gtest.h>

#include <algorithm>

#include <netdb.h>

namespace {

TEST(HostResolver, Names)
{
    CHostResolver r;
    std::list<std::string> out{"stale"};
    EXPECT_TRUE(r.ResolveHosts("127.0.0.1", out));
    EXPECT_EQ((std::list<std::string>{"127.0.0.1"}), out);

    out = {"stale"};
    EXPECT_FALSE(r.ResolveHosts("", out));
    EXPECT_TRUE(out.empty());

    // An empty label: the resolver refuses the name itself, so no query leaves the machine.
    out = {"stale"};
    platform::set_debug_output_enabled(true);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(r.ResolveHosts("no-such-host..invalid", out));   // unknown: true, empty
    const std::string trace = testing::internal::GetCapturedStderr();
    platform::set_debug_output_enabled(false);
    EXPECT_TRUE(out.empty());
    EXPECT_EQ(0u, trace.find("getaddrinfo error"));
    EXPECT_EQ(1, std::count(trace.begin(), trace.end(), '\n'));

    EXPECT_TRUE(r.ResolveHosts("localhost", out));
    ASSERT_FALSE(out.empty());
    EXPECT_EQ("127.0.0.1", out.front());
}

TEST(HostResolver, SeveralNamesGiveUniqueSortedAddresses)
{
    CHostResolver r;
    std::list<std::string> out;
    EXPECT_FALSE(r.ResolveAll(out));   // no name
    EXPECT_EQ(CHostResolver::resolve_no_name, r.ResolveOne("127.0.0.1"));
    EXPECT_FALSE(r.AddName(""));
    EXPECT_TRUE(r.AddName("127.0.0.2"));
    EXPECT_TRUE(r.AddName("127.0.0.10"));
    EXPECT_TRUE(r.AddName("127.0.0.2"));
    EXPECT_TRUE(r.AddName("localhost"));
    EXPECT_TRUE(r.ResolveAll(out));
    EXPECT_EQ((std::list<std::string>{"127.0.0.1", "127.0.0.10", "127.0.0.2"}), out);
    EXPECT_EQ(CHostResolver::resolve_lookup_failed, r.ResolveOne("no-such-host..invalid"));
    EXPECT_FALSE(CHostResolver::WinsockErrorText(EAI_NONAME).empty());
}

}   // namespace
