#include "support/range_server.h"

#include "platform/socket.h"
#include "platform/tick.h"

#include <algorithm>
#include <cstdlib>

namespace test_support {

namespace {

constexpr std::uint32_t kWaitMs = 50;
constexpr std::uint32_t kIoLimitMs = 5000;
// Connections served at once; finished ones are reaped as new ones come.
constexpr std::size_t kMaxConnections = 64;

}   // namespace

RangeServer::RangeServer() = default;

RangeServer::~RangeServer()
{
    Stop();
}

void RangeServer::AddFile(const std::string& url_path, const std::string& content)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_files[url_path] = content;
}

void RangeServer::SetBehaviour(const Behaviour& behaviour)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_behaviour = behaviour;
}

std::string RangeServer::base_url() const
{
    return "http://127.0.0.1:" + std::to_string(m_port);
}

std::vector<std::string> RangeServer::Requests() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_requests;
}

bool RangeServer::Start()
{
    m_listen = platform::tcp_socket();
    if (m_listen == platform::invalid_socket)
        return false;
    std::uint32_t address = 0;
    if (platform::bind_ipv4(m_listen, platform::parse_ipv4("127.0.0.1"), 0) != 0 ||
        platform::listen_socket(m_listen, 64) != 0 || !platform::local_endpoint(m_listen, address, m_port)) {
        platform::close_socket(m_listen);
        return false;
    }
    m_stop.store(false);
    m_accept_thread = std::thread([this] { AcceptLoop(); });
    return true;
}

void RangeServer::Stop()
{
    m_stop.store(true);
    if (m_accept_thread.joinable())
        m_accept_thread.join();
    std::vector<Connection> connections;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        connections.swap(m_connections);
    }
    for (auto& c : connections)
        c.thread.join();   // each one ends within kWaitMs of the stop flag
    platform::close_socket(m_listen);
}

void RangeServer::AcceptLoop()
{
    while (!m_stop.load()) {
        if (platform::wait_readable(m_listen, kWaitMs) != 1)
            continue;
        std::uint32_t error = 0;
        int fd = platform::accept_socket(m_listen, nullptr, nullptr, error);
        if (fd < 0)
            continue;
        m_accepts.fetch_add(1);
        std::lock_guard<std::mutex> guard(m_lock);
        for (auto it = m_connections.begin(); it != m_connections.end();) {
            if (it->done->load()) {
                it->thread.join();
                it = m_connections.erase(it);
            } else {
                ++it;
            }
        }
        if (m_connections.size() >= kMaxConnections) {
            platform::close_socket(fd);
            continue;
        }
        auto done = std::make_shared<std::atomic<bool>>(false);
        m_connections.push_back({std::thread([this, fd, done] {
                                     Serve(fd);
                                     done->store(true);
                                 }),
                                 done});
    }
}

bool RangeServer::SendAll(int fd, const char* data, std::size_t size)
{
    std::size_t sent = 0;
    std::uint64_t deadline = platform::tick_count64() + kIoLimitMs;
    while (sent < size) {
        if (m_stop.load() || platform::tick_count64() >= deadline)
            return false;
        if (platform::wait_writable(fd, kWaitMs) != 1)
            continue;
        std::uint32_t error = 0;
        const long n = platform::send_some(fd, data + sent, size - sent, error);
        if (n < 0) {
            if (error == 10035)
                continue;
            return false;
        }
        sent += std::size_t(n);
        deadline = platform::tick_count64() + kIoLimitMs;   // the client reads: keep going
    }
    return true;
}

std::string RangeServer::Answer(const std::string& request, std::string& body, std::size_t& split, bool keep)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_requests.push_back(request);
    split = m_behaviour.header_split;
    if (!m_behaviour.raw_answer.empty())
        return m_behaviour.raw_answer;
    const std::string not_found = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    if (m_behaviour.refuse_after_corrupt && m_corrupt.load() > 0)
        return not_found;
    const std::size_t path_start = request.find(' ');
    const std::size_t path_end = request.find(' ', path_start + 1);
    if (path_start == std::string::npos || path_end == std::string::npos)
        return not_found;
    auto file = m_files.find(request.substr(path_start + 1, path_end - path_start - 1));
    if (file == m_files.end())
        return not_found;
    const std::string& content = file->second;
    std::uint64_t start = 0;
    std::uint64_t last = content.empty() ? 0 : content.size() - 1;
    const std::size_t range = request.find("Range: bytes=");
    if (range != std::string::npos) {
        char* end = nullptr;
        start = std::strtoull(request.c_str() + range + 13, &end, 10);
        if (end && *end == '-' && end[1] >= '0' && end[1] <= '9')
            last = std::min<std::uint64_t>(last, std::strtoull(end + 1, nullptr, 10));
    }
    const bool whole = m_behaviour.ignore_range || range == std::string::npos;
    if (whole) {
        start = 0;
        last = content.empty() ? 0 : content.size() - 1;
    }
    if (start >= content.size() || last < start)
        return "HTTP/1.1 416 Range Not Satisfiable\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
    body = content.substr(std::size_t(start), std::size_t(last - start + 1));
    const std::int64_t at = m_behaviour.corrupt_at;
    if (at >= 0 && std::uint64_t(at) < body.size() && m_corrupt.load() < m_behaviour.corrupt_answers) {
        body[std::size_t(at)] ^= 0x5A;
        m_corrupt.fetch_add(1);
    }
    std::string header = whole ? "HTTP/1.1 200 OK\r\n" : "HTTP/1.1 206 Partial Content\r\n";
    header += "Server: range-test\r\nContent-Type: application/octet-stream\r\n";
    header += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    if (!whole)
        header += "Content-Range: bytes " + std::to_string(start) + "-" + std::to_string(last) + "/" +
                  std::to_string(content.size()) + "\r\n";
    header += keep ? "\r\n" : "Connection: close\r\n\r\n";
    return header;
}

void RangeServer::Serve(int fd)
{
    std::uint32_t kept;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        kept = m_behaviour.keep_alive_answers;
    }
    const std::uint32_t answers = std::max<std::uint32_t>(kept, 1);
    for (std::uint32_t answer = 0; answer < answers && ServeOne(fd, kept > 0); ++answer) {
    }
    platform::close_socket(fd);
}

bool RangeServer::ServeOne(int fd, bool keep)
{
    std::string request;
    const std::uint64_t deadline = platform::tick_count64() + kIoLimitMs;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 16384) {
        if (m_stop.load() || platform::tick_count64() >= deadline)
            return false;
        if (platform::wait_readable(fd, kWaitMs) != 1)
            continue;
        std::uint32_t error = 0;
        const long n = platform::receive_some(fd, buffer, sizeof(buffer), error);
        if (n <= 0)
            return false;
        request.append(buffer, std::size_t(n));
    }
    bool silent;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        silent = m_behaviour.silent;
    }
    if (silent) {
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_requests.push_back(request);
        }
        while (!m_stop.load() && platform::wait_readable(fd, kWaitMs) != 1) {
        }
        return false;
    }
    std::string body;
    std::size_t split = 0;
    const std::string header = Answer(request, body, split, keep);
    bool ok = true;
    if (split > 0 && split < header.size()) {
        ok = SendAll(fd, header.data(), split);
        platform::sleep_ms(50);   // the header arrives in two reads
        ok = ok && SendAll(fd, header.data() + split, header.size() - split);
    } else {
        ok = SendAll(fd, header.data(), header.size());
    }
    std::size_t cut = 0;
    std::size_t rate = 0;
    {
        std::lock_guard<std::mutex> guard(m_lock);
        cut = m_behaviour.cut_after;
        rate = m_behaviour.rate;
    }
    if (cut > 0 && cut < body.size())
        body.resize(cut);
    // A slow server: a tenth of a second's bytes every 100 ms.
    const std::size_t step = rate > 0 ? std::max<std::size_t>(rate / 10, 1) : body.size();
    for (std::size_t sent = 0; ok && sent < body.size() && !m_stop.load(); sent += step) {
        if (sent > 0)
            platform::sleep_ms(100);
        // The client closes once its run is in.
        ok = SendAll(fd, body.data() + sent, std::min(step, body.size() - sent));
    }
    return ok && cut == 0;
}

}   // namespace test_support
