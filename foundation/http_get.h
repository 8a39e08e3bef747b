// The blocking HTTP/1.0 GET used for control documents (configuration,
// task lists, seeds, CDN lists). One implementation for every caller.
//
// Result codes:
//   0   success, the body holds exactly the announced length
//   1   the host could not be resolved or connected (connect limit)
//   2   the request could not be sent
//   103 a header wait timed out (or the total deadline passed in the header)
//   104 the header reached 1024 bytes without its blank line
//   105 a header receive failed, or the server closed the stream
//   201 the status line is not "<protocol> 200"
//   302 no "content-length:" in the header, or no number after it
//   303 no line end after "content-length:"
//   304 the announced length is larger than the body cap
//   403 a body wait timed out (or the total deadline passed in the body)
//   404 a body receive failed, or the server closed before the length
//   405 more body than the cap arrived
//   3   the body size differs from the announced length
//   4   the caller's cancel flag was set
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

// Log-connection event kinds raised by the GET.
constexpr std::uint32_t http_event_connect = 9;
constexpr std::uint32_t http_event_transfer = 10;

// Receives (kind, sub-code, server IPv4 in network order, port) for every
// connect failure (kind 9: 1 connect failed at once, 2 otherwise) and every
// transfer outcome (kind 10: 0 success, 1 send failed, 4 body time-out,
// 5 body receive failed, 6 length mismatch, 7 body over the cap).
using http_event_sink = void (*)(std::uint32_t kind, std::uint32_t sub_code, std::uint32_t ipv4, std::uint16_t port);

// Installs the process-wide sink (null: events are dropped).
void set_http_event_sink(http_event_sink sink);

struct HttpGetOptions {
    bool lower_case_url = true;            // scheme and host in lower case (the path as given)
    std::uint32_t connect_ms = 1000;       // connect limit
    std::uint32_t header_wait_ms = 5000;   // per header byte
    std::uint32_t body_wait_ms = 10000;    // per body receive
    std::uint32_t total_ms = 30000;        // the whole GET
    std::size_t body_cap = 16u << 20;      // largest body accepted
    std::size_t max_url = 1023;            // longer URLs are cut
    // When given, read between the steps and during every wait for the
    // server (in slices of at most 50 ms): once set the GET ends with 4.
    const std::atomic<bool>* cancel = nullptr;
};

// The GET with explicit limits. `body` is cleared first and holds what
// arrived, even on failure.
int http_get(const std::string& url, const HttpGetOptions& options, std::vector<char>& body);

// The status line ("HTTP/1.1 404 Not Found") of the last GET made on the
// calling thread, at most 128 characters without control characters; empty
// when that GET got no header.
std::string http_last_status_line();

// The GET with the default limits.
int HttpGetUrl(const std::string& url, std::vector<char>& body);

// How the GET splits a URL: drop everything before the first '/', then the
// leading " \t\n\r/"; host up to the next '/', path from it (empty when
// none); "host:port" gives the port, else 80. False when the host is empty
// or the host or path holds a blank or a control character.
bool split_http_url(const std::string& url, std::string& host, std::uint16_t& port, std::string& path);
