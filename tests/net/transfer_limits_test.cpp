#include "net/io/transfer_limits.h"

#include <gtest/gtest.h>

namespace {

std::atomic<std::int64_t> g_now{0};
std::int64_t fake_seconds()
{
    return g_now.load();
}

struct scope {
    scope()
    {
        transfer_limits::reset();
        g_now = 1000;
        transfer_limits::set_seconds_source(&fake_seconds);
    }
    ~scope()
    {
        transfer_limits::set_seconds_source(nullptr);
        transfer_limits::reset();
    }
};

TEST(TransferLimits, BucketsRollPerSecondOverTenSeconds)
{
    scope s;
    transfer_limits::add_immediate_bytes(100, 10);
    transfer_limits::add_immediate_bytes(50, 5);
    EXPECT_EQ(150u, transfer_limits::download_bucket_sum());
    EXPECT_EQ(15u, transfer_limits::upload_bucket_sum());
    g_now = 1001;
    transfer_limits::add_immediate_bytes(0, 0);   // a second without bytes still starts at 0
    EXPECT_EQ(150u, transfer_limits::download_bucket_sum());
    transfer_limits::add_immediate_bytes(1000, 0);
    transfer_limits::update_average_speed();
    EXPECT_FLOAT_EQ(115.0f, transfer_limits::average_download_speed());
    EXPECT_FLOAT_EQ(1.5f, transfer_limits::average_upload_speed());
    g_now = 1010;   // same bucket as second 1000: overwritten
    transfer_limits::add_immediate_bytes(7, 0);
    EXPECT_EQ(1007u, transfer_limits::download_bucket_sum());
}

TEST(TransferLimits, RequestBucketsAndSwitch)
{
    scope s;
    EXPECT_FALSE(transfer_limits::speed_limit_on());
    transfer_limits::set_limits(100, 50);
    transfer_limits::set_speed_limit_on(true);
    EXPECT_EQ(100u, transfer_limits::download_limit());
    EXPECT_EQ(50u, transfer_limits::upload_limit());
    transfer_limits::add_request_bytes(60);
    transfer_limits::add_request_bytes(60);   // over the limit: a client-log line, nothing else
    EXPECT_EQ(120u, transfer_limits::current_request_bytes());
    g_now = 1001;
    EXPECT_EQ(0u, transfer_limits::current_request_bytes());
    transfer_limits::add_request_bytes(5);
    EXPECT_EQ(5u, transfer_limits::current_request_bytes());
    EXPECT_EQ(10, transfer_limits::http_connection_limit().load());
}

}   // namespace
