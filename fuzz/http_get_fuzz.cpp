// HTTP responses to the control-document GET, as a server or a middlebox
// may send them: an in-process server on 127.0.0.1 answers one GET with
// the input, sent in pieces of the size the first byte picks, then closes.
// The URL splitters get the input as a URL too.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>
#include <vector>

#include "foundation/http_get.h"
#include "foundation/utility.h"
#include "fuzz_check.h"
#include "loopback_server.h"

namespace {

constexpr std::size_t kBodyCap = 1000;   // small, so inputs reach the cap paths
constexpr std::size_t kHeaderLimit = 1024;

LoopbackServer& server()
{
    static LoopbackServer s;
    return s;
}

bool header_complete(const std::string& request)
{
    return request.find("\r\n\r\n") != std::string::npos;
}

// Both URL splitters: the GET's own and the one the CDN list lines go
// through.
void check_split(const std::string& url)
{
    std::string host, path;
    std::uint16_t port = 0;
    if (split_http_url(url, host, port, path)) {
        FUZZ_CHECK(!host.empty() && port != 0);
        FUZZ_CHECK(host.find('/') == std::string::npos && host.find(':') == std::string::npos);
        FUZZ_CHECK(path.empty() || path[0] == '/');
    }
    if (CUtility::ParseUrl(url, host, port, path)) {
        FUZZ_CHECK(!host.empty() && port != 0);
        FUZZ_CHECK(!path.empty() && path[0] == '/');
    }
}

}   // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size == 0)
        return 0;
    check_split(std::string(reinterpret_cast<const char*>(data), size));

    const std::size_t chunk = 1 + data[0] % 61;
    const std::string response(reinterpret_cast<const char*>(data) + 1, size - 1);
    HttpGetOptions options;
    // Generous bounds: the server never makes the client wait, so on a
    // loaded machine a time-out must not be mistaken for a finding.
    options.connect_ms = 5000;
    options.header_wait_ms = 5000;
    options.body_wait_ms = 5000;
    options.total_ms = 15000;
    options.body_cap = kBodyCap;
    std::vector<char> body;
    int result = -1;
    server().answer_once(response, chunk, header_complete, [&] {
        result = http_get("http://127.0.0.1:" + std::to_string(server().port()) + "/Seed/1.TXT", options, body);
    });

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
