#include "foundation/http_get.h"

#include "foundation/tcp_client_socket.h"
#include "foundation/utility.h"
#include "platform/error_codes.h"
#include "platform/tick.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstring>

namespace {

std::atomic<http_event_sink> g_sink{nullptr};

void raise(std::uint32_t kind, std::uint32_t sub_code, std::uint32_t ipv4, std::uint16_t port)
{
    if (http_event_sink sink = g_sink.load(std::memory_order_acquire))
        sink(kind, sub_code, ipv4, port);
}

// Milliseconds left before the whole GET's deadline, capped by `step`.
class Deadline {
public:
    explicit Deadline(std::uint32_t total_ms) : m_end(platform::tick_count64() + total_ms) {}
    std::uint32_t wait(std::uint32_t step) const
    {
        const std::uint64_t now = platform::tick_count64();
        if (now >= m_end)
            return 0;
        return static_cast<std::uint32_t>(std::min<std::uint64_t>(step, m_end - now));
    }
    bool passed() const { return platform::tick_count64() >= m_end; }

private:
    std::uint64_t m_end;
};

// Longest wait taken at once while a cancel flag is given.
constexpr std::uint32_t cancel_poll_ms = 50;
constexpr int result_cancelled = 4;

bool cancelled(const HttpGetOptions& o)
{
    return o.cancel && o.cancel->load();
}

// The helper's Receive; with a cancel flag the wait is cut into slices and
// a set flag ends it with 995.
long receive(CTcpClientSocketHelper& socket, void* data, std::uint32_t size, std::uint32_t wait_ms,
             std::uint32_t& error, const HttpGetOptions& o)
{
    if (!o.cancel)
        return socket.Receive(data, size, wait_ms, error);
    const std::uint64_t end = platform::tick_count64() + wait_ms;
    for (;;) {
        if (o.cancel->load()) {
            error = platform::err::operation_aborted;
            return -1;
        }
        const std::uint64_t now = platform::tick_count64();
        const std::uint32_t slice =
            static_cast<std::uint32_t>(std::min<std::uint64_t>(cancel_poll_ms, now >= end ? 0 : end - now));
        const long n = socket.Receive(data, size, slice, error);
        if (n >= 0 || error != platform::err::timed_out || now + slice >= end)
            return n;
    }
}

void lower(std::string& s)
{
    for (char& c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

// Scheme and host are case-blind; a path is not on most servers, so it
// goes out as given.
void lower_scheme_and_host(std::string& url)
{
    const std::size_t scheme = url.find("://");
    std::size_t host = scheme == std::string::npos ? 0 : scheme + 3;
    host = url.find_first_not_of('/', host);
    const std::size_t path = host == std::string::npos ? std::string::npos : url.find('/', host);
    for (std::size_t i = 0; i < std::min(path, url.size()); ++i)
        url[i] = static_cast<char>(std::tolower(static_cast<unsigned char>(url[i])));
}

// Header codes (added to 100).
constexpr int header_timeout = 3, header_too_long = 4, header_receive_failed = 5, header_cancelled = -1;
constexpr std::size_t header_limit = 1024;

int read_header(CTcpClientSocketHelper& socket, const HttpGetOptions& o, const Deadline& d, std::string& header)
{
    // One byte at a time: the body must stay in the socket for the body loop.
    char byte = 0;
    while (header.size() < header_limit) {
        const std::uint32_t wait = d.wait(o.header_wait_ms);
        if (wait == 0)
            return header_timeout;
        std::uint32_t error = 0;
        const long n = receive(socket, &byte, 1, wait, error, o);
        if (n < 0 && error == platform::err::operation_aborted)
            return header_cancelled;
        if (n < 0 && error == platform::err::timed_out)
            return header_timeout;
        if (n < 0 && error == platform::err::would_block)
            continue;   // woken without data
        if (n <= 0)
            return header_receive_failed;
        header += byte;
        if (header.size() >= 4 && header.compare(header.size() - 4, 4, "\r\n\r\n") == 0)
            return 0;
    }
    return header_too_long;
}

bool status_is_200(const std::string& header)
{
    const std::size_t line_end = header.find_first_of("\r\n");
    const std::string line = header.substr(0, line_end);
    const std::size_t p1 = line.find_first_not_of(" \t");
    if (p1 == std::string::npos)
        return false;
    const std::size_t e1 = line.find_first_of(" \t", p1);
    if (e1 == std::string::npos)
        return false;
    const std::size_t p2 = line.find_first_not_of(" \t", e1);
    if (p2 == std::string::npos)
        return false;
    const std::size_t e2 = line.find_first_of(" \t", p2);
    return line.substr(p2, e2 == std::string::npos ? std::string::npos : e2 - p2) == "200";
}

// Length codes (added to 300): 2 missing or unreadable, 3 no line end,
// 4 over the cap.
int content_length(std::string header, std::size_t cap, std::uint64_t& length)
{
    lower(header);
    const char* key = "content-length:";
    const std::size_t at = header.find(key);
    if (at == std::string::npos)
        return 2;
    const std::size_t start = at + std::strlen(key);
    const std::size_t end = header.find('\n', start);
    if (end == std::string::npos)
        return 3;
    std::size_t p = start;
    while (p < end && std::strchr(" \t\n\r", header[p]))
        ++p;
    if (p == end || !std::isdigit(static_cast<unsigned char>(header[p])))
        return 2;   // an unreadable length is no length
    length = 0;
    for (; p < end && std::isdigit(static_cast<unsigned char>(header[p])); ++p) {
        length = length * 10 + static_cast<std::uint64_t>(header[p] - '0');
        if (length > cap)
            return 4;
    }
    return 0;
}

}   // namespace

void set_http_event_sink(http_event_sink sink)
{
    g_sink.store(sink, std::memory_order_release);
}

bool split_http_url(const std::string& url, std::string& host, std::uint16_t& port, std::string& path)
{
    host.clear();
    path.clear();
    port = 80;
    const std::size_t slash = url.find('/');
    std::string rest = slash == std::string::npos ? url : url.substr(slash);
    const std::size_t keep = rest.find_first_not_of(" \t\n\r/");
    rest = keep == std::string::npos ? std::string() : rest.substr(keep);
    const std::size_t path_at = rest.find('/');
    host = rest.substr(0, path_at);
    if (path_at != std::string::npos)
        path = rest.substr(path_at);
    const std::size_t colon = host.find(':');
    if (colon != std::string::npos) {
        unsigned long value = 0;
        for (std::size_t i = colon + 1; i < host.size() && std::isdigit(static_cast<unsigned char>(host[i])); ++i)
            value = std::min<unsigned long>(value * 10 + static_cast<unsigned long>(host[i] - '0'), 0x10000);
        port = static_cast<std::uint16_t>(value);
        host.resize(colon);
    }
    // A blank or control character would end the request line or start a
    // header of its own: such a URL is refused, never sent.
    const auto unsafe = [](const std::string& text) {
        return std::any_of(text.begin(), text.end(), [](char c) {
            const auto b = static_cast<unsigned char>(c);
            return b <= 0x20 || b == 0x7f;
        });
    };
    return !host.empty() && port != 0 && !unsafe(host) && !unsafe(path);
}

namespace {

// What the server said to the last GET of this thread: callers name it when
// they report a refused fetch.
thread_local std::string t_status_line;

void keep_status_line(const std::string& header)
{
    constexpr std::size_t shown = 128;
    t_status_line.clear();
    for (char c : header.substr(0, std::min(header.find_first_of("\r\n"), shown))) {
        if (static_cast<unsigned char>(c) >= 0x20 && c != 0x7f)
            t_status_line += c;
    }
}

}   // namespace

std::string http_last_status_line()
{
    return t_status_line;
}

int http_get(const std::string& url, const HttpGetOptions& o, std::vector<char>& body)
{
    body.clear();
    t_status_line.clear();
    const Deadline deadline(o.total_ms);
    std::string u = url.substr(0, o.max_url);
    if (o.lower_case_url)
        lower_scheme_and_host(u);
    std::string host, path;
    std::uint16_t port = 80;
    if (!split_http_url(u, host, port, path)) {
        raise(http_event_connect, 2, 0, port);
        return 1;
    }
    const std::uint32_t ipv4 = platform::resolve_first_ipv4(host);
    if (cancelled(o))
        return result_cancelled;
    CTcpClientSocketHelper socket;
    const std::uint32_t connect_wait = deadline.wait(o.connect_ms);
    const int connected = ipv4 == 0 || connect_wait == 0 ? CTcpClientSocketHelper::wait_ended
                                                         : socket.Connect(ipv4, port, 0, 0, connect_wait);
    if (connected != CTcpClientSocketHelper::connected) {
        raise(http_event_connect, connected == CTcpClientSocketHelper::connect_failed ? 1 : 2, ipv4, port);
        return 1;
    }

    const std::string request = "GET " + path + " HTTP/1.0\r\n" + "Accept: */*\r\n" + "Connection: Keep-Alive\r\n" +
                                "Host: " + host + "\r\n" + "\r\n";
    if (cancelled(o))
        return result_cancelled;
    const std::uint32_t send_wait = deadline.wait(o.header_wait_ms);
    if (send_wait == 0 || socket.SendAll(request.data(), static_cast<std::uint32_t>(request.size()), send_wait) != 0) {
        raise(http_event_transfer, 1, ipv4, port);
        return 2;
    }

    std::string header;
    header.reserve(header_limit);
    if (const int code = read_header(socket, o, deadline, header))
        return code == header_cancelled ? result_cancelled : 100 + code;
    keep_status_line(header);
    if (!status_is_200(header))
        return 201;
    std::uint64_t length = 0;
    if (const int code = content_length(header, o.body_cap, length)) {
        if (code == 4)
            raise(http_event_transfer, 7, ipv4, port);
        return 300 + code;
    }

    body.reserve(static_cast<std::size_t>(length));
    char buffer[4096];
    while (body.size() < length) {
        const std::uint32_t wait = deadline.wait(o.body_wait_ms);
        std::uint32_t error = platform::err::timed_out;
        const long n = wait == 0 ? -1 : receive(socket, buffer, sizeof buffer, wait, error, o);
        if (n < 0 && error == platform::err::operation_aborted)
            return result_cancelled;
        if (n < 0 && error == platform::err::timed_out) {
            raise(http_event_transfer, 4, ipv4, port);
            return 403;
        }
        if (n < 0 && error == platform::err::would_block)
            continue;
        if (n <= 0) {
            raise(http_event_transfer, 5, ipv4, port);
            return 404;
        }
        if (body.size() + static_cast<std::size_t>(n) > o.body_cap) {
            raise(http_event_transfer, 7, ipv4, port);
            return 405;
        }
        body.insert(body.end(), buffer, buffer + n);
    }
    if (body.size() != length) {
        raise(http_event_transfer, 6, ipv4, port);
        return 3;
    }
    raise(http_event_transfer, 0, ipv4, port);
    return 0;
}

int HttpGetUrl(const std::string& url, std::vector<char>& body)
{
    return http_get(url, HttpGetOptions{}, body);
}

int CUtility::HttpGet(const std::string& url, std::vector<char>& body)
{
    return HttpGetUrl(url, body);
}
