#include "support/fake_log_server.h"

#include <cctype>
#include <chrono>

#include "foundation/cmd_packet.h"
#include "platform/error_codes.h"
#include "platform/socket.h"

namespace {
constexpr std::uint32_t slice_ms = 20;
// A client silent this long loses its connection (bounds a stuck test).
constexpr int idle_limit_ms = 5000;
constexpr std::size_t max_request_bytes = 1u << 20;

std::string header_value(const std::string& head, const std::string& name)
{
    std::string lower = head;
    for (char& c : lower)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    std::string key = "\r\n" + name + ":";
    for (char& c : key)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::size_t at = lower.find(key);
    if (at == std::string::npos)
        return std::string();
    std::size_t start = at + key.size();
    while (start < head.size() && head[start] == ' ')
        ++start;
    const std::size_t end = head.find("\r\n", start);
    return head.substr(start, end == std::string::npos ? std::string::npos : end - start);
}
}   // namespace

FakeLogServer::FakeLogServer(Mode mode) : m_mode(mode) {}

FakeLogServer::~FakeLogServer()
{
    Stop();
}

bool FakeLogServer::Start(std::uint16_t port)
{
    platform::socket_t s = platform::tcp_socket();
    if (s == platform::invalid_socket)
        return false;
    platform::set_reuse_address(s, true);
    if (platform::bind_ipv4(s, platform::parse_ipv4("127.0.0.1"), port) != 0 || platform::listen_socket(s, 16) != 0) {
        platform::close_socket(s);
        return false;
    }
    std::uint32_t ip = 0;
    if (!platform::local_endpoint(s, ip, m_port)) {
        platform::close_socket(s);
        return false;
    }
    platform::set_non_blocking(s, true);
    m_listener = s;
    m_stop.store(false);
    m_thread = std::thread([this] { Run(); });
    return true;
}

void FakeLogServer::Stop()
{
    m_stop.store(true);
    if (m_thread.joinable())
        m_thread.join();
    platform::socket_t s = m_listener;
    platform::close_socket(s);
    m_listener = -1;
}

void FakeLogServer::SetReply(const std::string& path, int status, const std::string& body)
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_replies[path] = {status, body};
}

std::vector<std::string> FakeLogServer::RequestLines() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_lines;
}

std::vector<std::string> FakeLogServer::UserAgents() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_agents;
}

std::vector<std::string> FakeLogServer::Uploads() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_uploads;
}

void FakeLogServer::ClearRecords()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_lines.clear();
    m_agents.clear();
    m_uploads.clear();
}

bool FakeLogServer::WaitForRequests(std::size_t n, std::uint32_t ms) const
{
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, std::chrono::milliseconds(ms), [&] { return m_lines.size() >= n; });
}

bool FakeLogServer::WaitForUploads(std::size_t n, std::uint32_t ms) const
{
    std::unique_lock<std::mutex> guard(m_lock);
    return m_changed.wait_for(guard, std::chrono::milliseconds(ms), [&] { return m_uploads.size() >= n; });
}

void FakeLogServer::Run()
{
    while (!m_stop.load()) {
        if (platform::wait_readable(m_listener, slice_ms) <= 0)
            continue;
        std::uint32_t error = 0;
        platform::socket_t c = platform::accept_socket(m_listener, nullptr, nullptr, error);
        if (c == platform::invalid_socket)
            continue;
        m_connections.fetch_add(1);
        platform::set_non_blocking(c, true);
        Serve(c);
        platform::close_socket(c);
    }
}

void FakeLogServer::Serve(int socket)
{
    std::string buffer;
    int idle_ms = 0;
    bool close_now = false;
    bool client_done = false;
    while (!m_stop.load() && !close_now && idle_ms < idle_limit_ms) {
        if (client_done) {
            // Only reached when closes are withheld: sit until stopped (the
            // socket stays readable at its end of stream, so sleep instead).
            std::this_thread::sleep_for(std::chrono::milliseconds(slice_ms));
            idle_ms += static_cast<int>(slice_ms);
            continue;
        }
        const int ready = platform::wait_readable(socket, slice_ms);
        if (ready < 0)
            break;
        if (ready == 0) {
            idle_ms += static_cast<int>(slice_ms);
            continue;
        }
        idle_ms = 0;
        char chunk[8192];
        std::uint32_t error = 0;
        const long n = platform::receive_some(socket, chunk, sizeof chunk, error);
        if (n < 0 && error == platform::err::would_block)
            continue;
        if (n <= 0) {
            client_done = true;
            if (m_mode == Mode::raw) {
                const std::int64_t answer = m_upload_answer.load();
                if (answer >= 0) {
                    CCmdPacket receipt(90);
                    receipt.add_u32(0, std::uint32_t(answer));
                    std::uint32_t ignored = 0;
                    platform::send_some(socket, reinterpret_cast<const char*>(receipt.bytes().data()), receipt.size(),
                                        ignored);
                }
                std::lock_guard<std::mutex> guard(m_lock);
                m_uploads.push_back(buffer);
                m_changed.notify_all();
            }
            if (!m_withhold_close.load())
                break;
            continue;
        }
        if (buffer.size() < max_request_bytes)
            buffer.append(chunk, static_cast<std::size_t>(n));
        if (m_mode == Mode::http)
            ServeHttp(socket, buffer, close_now);
    }
}

void FakeLogServer::ServeHttp(int socket, std::string& buffer, bool& close_now)
{
    for (;;) {
        const std::size_t end = buffer.find("\r\n\r\n");
        if (end == std::string::npos)
            return;
        const std::string head = buffer.substr(0, end + 2);
        buffer.erase(0, end + 4);
        const std::string line = head.substr(0, head.find("\r\n"));
        std::string path;
        const std::size_t sp1 = line.find(' ');
        const std::size_t sp2 = line.rfind(' ');
        if (sp1 != std::string::npos && sp2 > sp1)
            path = line.substr(sp1 + 1, sp2 - sp1 - 1);
        std::pair<int, std::string> reply{200, std::string()};
        {
            std::lock_guard<std::mutex> guard(m_lock);
            m_lines.push_back(line);
            m_agents.push_back(header_value(head, "User-Agent"));
            const auto found = m_replies.find(path);
            if (found != m_replies.end())
                reply = found->second;
            m_changed.notify_all();
        }
        const bool wants_close = header_value(head, "Connection") == "close";
        std::string out = "HTTP/1.1 " + std::to_string(reply.first) +
                          " X\r\nContent-Length: " + std::to_string(reply.second.size()) + "\r\n" +
                          (wants_close ? "Connection: close\r\n" : "") + "\r\n" + reply.second;
        std::size_t sent = 0;
        for (int tries = 0; sent < out.size() && tries < 250; ++tries) {
            std::uint32_t error = 0;
            const long n = platform::send_some(socket, out.data() + sent, out.size() - sent, error);
            if (n > 0)
                sent += static_cast<std::size_t>(n);
            else if (error == platform::err::would_block)
                platform::wait_writable(socket, slice_ms);
            else
                break;
        }
        if (wants_close) {
            close_now = true;
            return;
        }
    }
}
