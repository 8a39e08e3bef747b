#include "platform/error_codes.h"

#include <gtest/gtest.h>

#include <cerrno>

TEST(ErrorCodes, ErrnoMapsToTheWin32NumbersTheCodeCompares)
{
    struct Case {
        int errno_value;
        std::uint32_t win32;
    };
    const Case cases[] = {
        {0, 0},
        {ENOENT, 2},
        {EACCES, 5},
        {ENOSPC, 112},
        {EEXIST, 183},
        {ECANCELED, 995},
        {EAGAIN, 10035},
        {EWOULDBLOCK, 10035},
        {EINPROGRESS, 10036},
        {EADDRINUSE, 10048},
        {ECONNABORTED, 10053},
        {ECONNRESET, 10054},
        {EPIPE, 10054},   // a send to a peer that went away
        {ENOTCONN, 10057},
        {ETIMEDOUT, 10060},
        {ECONNREFUSED, 10061},
        {EHOSTUNREACH, 10065},
        {ENOTSUP, 10000u + ENOTSUP},   // no counterpart: stays visible
    };
    for (const Case& c : cases)
        EXPECT_EQ(platform::error_from_errno(c.errno_value), c.win32) << "errno " << c.errno_value;
    errno = ECONNREFUSED;
    EXPECT_EQ(platform::last_error(), platform::err::connection_refused);
}
