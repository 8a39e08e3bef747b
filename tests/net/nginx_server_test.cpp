// The test nginx itself: a test process that dies without stopping it (a
// sanitizer halting it) must not leave nginx running or holding the output
// the test runner reads to its end.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>
#include <string>

#include "platform/socket.h"
#include "platform/tick.h"
#include "support/nginx_server.h"
#include "support/wait_until.h"

namespace {

using test_support::NginxServer;

// Reads `fd` until its end or `ms` passed; true at the end.
bool read_to_end(int fd, std::string& text, std::uint32_t ms)
{
    const std::uint64_t end = platform::tick_count64() + ms;
    for (std::uint64_t now = platform::tick_count64(); now < end; now = platform::tick_count64()) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(end - now)) <= 0)
            continue;
        char chunk[256];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n == 0)
            return true;
        if (n > 0)
            text.append(chunk, static_cast<std::size_t>(n));
    }
    return false;
}

TEST(NginxServer, ATestProcessThatDiesTakesItsNginxAlong)
{
    if (!NginxServer::Available())
        GTEST_SKIP() << "no nginx";
    int output[2];
    ASSERT_EQ(::pipe(output), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The dying test: its output is the pipe, nginx runs, then it ends
        // without a word to nginx.
        ::close(output[0]);
        ::dup2(output[1], STDOUT_FILENO);
        ::dup2(output[1], STDERR_FILENO);
        ::close(output[1]);
        auto* nginx = new NginxServer();
        if (!nginx->start())
            ::_exit(2);
        const std::string started = std::to_string(nginx->port()) + " " + nginx->prefix() + " " + nginx->root() + "\n";
        static_cast<void>(::write(STDOUT_FILENO, started.data(), started.size()));
        ::_exit(0);
    }
    ::close(output[1]);
    std::string text;
    const bool ended = read_to_end(output[0], text, 20000);
    ::close(output[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(ended) << "nginx still holds the output of a test that ended";
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << text;

    std::istringstream fields(text);
    int port = 0;
    std::string prefix, root;
    fields >> port >> prefix >> root;
    ASSERT_GT(port, 0) << text;
    const auto refused = [&] {
        platform::socket_t s = platform::tcp_socket();
        const bool up = platform::connect_ipv4(s, platform::parse_ipv4("127.0.0.1"),
                                               static_cast<std::uint16_t>(port)) == 0;
        platform::close_socket(s);
        return !up;
    };
    EXPECT_TRUE(test_support::wait_until(refused, 10000)) << "nginx outlived its test on port " << port;
    // The folders the dead test could not remove.
    std::error_code ignored;
    for (const std::string& folder : {prefix, root}) {
        if (folder.find("vr_nginx_") != std::string::npos)
            std::filesystem::remove_all(folder, ignored);
    }
}

}   // namespace
