// HTTP responses to the control-document GET, as a server or a middlebox
// may send them: an in-process server on 127.0.0.1 answers one GET with
// the input, sent in pieces of the size the first byte picks, then closes.
// The URL splitter gets the input as a URL too.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "foundation/http_get.h"
#include "fuzz_check.h"

namespace {

constexpr std::size_t kBodyCap = 1000;   // small, so inputs reach the cap paths
constexpr std::size_t kHeaderLimit = 1024;

// The listening socket on 127.0.0.1, made once.
struct Listener {
    int fd = -1;
    std::uint16_t port = 0;
    Listener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        FUZZ_CHECK(fd >= 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        FUZZ_CHECK(bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0);
        FUZZ_CHECK(listen(fd, 8) == 0);
        socklen_t len = sizeof a;
        FUZZ_CHECK(getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) == 0);
        port = ntohs(a.sin_port);
    }
};

Listener& listener() {
    static Listener l;
    return l;
}

// Accepts one connection, reads the request, sends the response in pieces
// of `chunk` bytes, and closes once the client has closed (so no reset can
// throw away what was sent). Every wait is bounded.
void serve_once(const std::string& response, std::size_t chunk) {
    pollfd p{listener().fd, POLLIN, 0};
    if (poll(&p, 1, 5000) != 1) return;
    const int s = accept4(listener().fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (s < 0) return;
    const int one = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{5, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    setsockopt(s, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::string request;
    char buf[1024];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 8192) {
        const ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n <= 0) break;
        request.append(buf, static_cast<std::size_t>(n));
    }
    for (std::size_t off = 0; off < response.size(); off += chunk) {
        const std::size_t n = std::min(chunk, response.size() - off);
        if (send(s, response.data() + off, n, MSG_NOSIGNAL) != static_cast<ssize_t>(n)) break;
    }
    shutdown(s, SHUT_WR);
    while (recv(s, buf, sizeof buf, 0) > 0) {
    }
    close(s);
}

void check_split(const std::string& url) {
    std::string host, path;
    std::uint16_t port = 0;
    if (split_http_url(url, host, port, path)) {
        FUZZ_CHECK(!host.empty() && port != 0);
        FUZZ_CHECK(host.find('/') == std::string::npos && host.find(':') == std::string::npos);
        FUZZ_CHECK(path.empty() || path[0] == '/');
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    check_split(std::string(reinterpret_cast<const char*>(data), size));

    const std::size_t chunk = 1 + data[0] % 61;
    const std::string response(reinterpret_cast<const char*>(data) + 1, size - 1);
    std::thread server(serve_once, response, chunk);

    HttpGetOptions options;
    options.connect_ms = 2000;
    options.header_wait_ms = 2000;
    options.body_wait_ms = 2000;
    options.total_ms = 5000;
    options.body_cap = kBodyCap;
    std::vector<char> body;
    const int result =
        http_get("http://127.0.0.1:" + std::to_string(listener().port) + "/Seed/1.TXT", options, body);
    server.join();

    static const int known[] = {0, 1, 2, 3, 103, 104, 105, 201, 302, 303, 304, 403, 404, 405};
    FUZZ_CHECK(std::find(std::begin(known), std::end(known), result) != std::end(known));
    // The server answered and closed at once: nothing may wait for a time-out.
    FUZZ_CHECK(result != 1 && result != 2 && result != 103 && result != 403);
    FUZZ_CHECK(body.size() <= kBodyCap);

    const std::size_t header_end = response.find("\r\n\r\n");
    if (header_end == std::string::npos || header_end + 4 > kHeaderLimit) {
        FUZZ_CHECK(result == 104 || result == 105);
    } else {
        FUZZ_CHECK(result != 104 && result != 105);
    }
    if (result == 0 || result == 404 || result == 405) {
        // The body is the bytes after the header, as they came.
        FUZZ_CHECK(header_end != std::string::npos);
        const std::string rest = response.substr(header_end + 4);
        FUZZ_CHECK(body.size() <= rest.size());
        FUZZ_CHECK(body.empty() || std::memcmp(body.data(), rest.data(), body.size()) == 0);
    }
    if (result == 0) {
        const std::size_t line_end = response.find_first_of("\r\n");
        FUZZ_CHECK(response.substr(0, line_end).find("200") != std::string::npos);
    }
    return 0;
}
