// Included from beside this file and free of the test framework: the HTTP
// download benchmark compiles this file into itself.
#include "nginx_server.h"

#include "platform/socket.h"
#include "platform/tick.h"
#include "wait_until.h"

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace test_support {

namespace {

std::string make_temp_folder(const char* stem)
{
    std::string pattern = (fs::temp_directory_path() / (std::string(stem) + "XXXXXX")).string();
    if (!::mkdtemp(pattern.data()))
        return std::string();
    return pattern;
}

// A port nobody listens on right now (bound and released).
std::uint16_t free_port()
{
    platform::socket_t s = platform::tcp_socket();
    std::uint16_t port = 0;
    std::uint32_t address = 0;
    if (s != platform::invalid_socket && platform::bind_ipv4(s, platform::parse_ipv4("127.0.0.1"), 0) == 0)
        platform::local_endpoint(s, address, port);
    platform::close_socket(s);
    return port;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}   // namespace

std::string NginxServer::Binary()
{
    const char* env = std::getenv("VR_NGINX");
    return env && *env ? env : "/usr/sbin/nginx";
}

bool NginxServer::Available()
{
    return ::access(Binary().c_str(), X_OK) == 0;
}

NginxServer::NginxServer(const std::string& root) : m_root(root)
{
    m_prefix = make_temp_folder("vr_nginx_");
    if (m_root.empty()) {
        m_root = make_temp_folder("vr_nginx_root_");
        m_own_root = true;
    }
}

NginxServer::~NginxServer()
{
    stop();
    std::error_code ignored;
    if (!m_prefix.empty())
        fs::remove_all(m_prefix, ignored);
    if (m_own_root && !m_root.empty())
        fs::remove_all(m_root, ignored);
}

std::string NginxServer::base_url() const
{
    return "http://127.0.0.1:" + std::to_string(m_port);
}

std::string NginxServer::cdn_query_prefix() const
{
    return "127.0.0.1:" + std::to_string(m_port) + "/cdnquery.php?taskid=";
}

bool NginxServer::SetCdnAnswer(std::uint64_t task_id, const std::string& text)
{
    std::error_code ignored;
    fs::create_directories(m_prefix + "/cdnquery", ignored);
    std::ofstream out(m_prefix + "/cdnquery/" + std::to_string(task_id) + ".txt", std::ios::binary | std::ios::trunc);
    out << text;
    return bool(out);
}

bool NginxServer::write_config()
{
    std::error_code ignored;
    for (const char* sub : {"logs", "tmp", "cdnquery"})
        fs::create_directories(m_prefix + "/" + sub, ignored);
    std::ofstream conf(m_prefix + "/nginx.conf", std::ios::trunc);
    conf << "daemon off;\n"
         << "master_process off;\n"
         << "worker_processes 1;\n"
         << "pid " << m_prefix << "/nginx.pid;\n"
         << "error_log " << m_prefix << "/logs/error.log warn;\n"
         << "events { worker_connections 512; }\n"
         << "http {\n"
         << "  log_format ranges '$request_uri \"$http_range\" $status $body_bytes_sent $connection';\n"
         << "  access_log " << m_prefix << "/logs/access.log ranges;\n"
         << "  client_body_temp_path " << m_prefix << "/tmp/body;\n"
         << "  proxy_temp_path " << m_prefix << "/tmp/proxy;\n"
         << "  fastcgi_temp_path " << m_prefix << "/tmp/fastcgi;\n"
         << "  uwsgi_temp_path " << m_prefix << "/tmp/uwsgi;\n"
         << "  scgi_temp_path " << m_prefix << "/tmp/scgi;\n"
         << "  default_type application/octet-stream;\n"
         << "  sendfile on;\n"
         << "  keepalive_timeout 5;\n"
         << (m_keepalive_requests == 0 ? std::string()
                                       : "  keepalive_requests " + std::to_string(m_keepalive_requests) + ";\n")
         << "  server {\n"
         << "    listen 127.0.0.1:" << m_port << ";\n"
         << "    root " << m_root << ";\n"
         << (m_rate.empty() ? std::string() : "    limit_rate " + m_rate + ";\n")
         // One static answer per task id: a file named after the id.
         << "    location = /cdnquery.php {\n"
         << "      default_type text/plain;\n"
         << "      root " << m_prefix << ";\n"
         << "      try_files /cdnquery/$arg_taskid.txt =404;\n"
         << "    }\n"
         << "  }\n"
         << "}\n";
    return bool(conf);
}

bool NginxServer::wait_ready(std::uint32_t ms)
{
    bool exited = false;
    const bool up = test_support::wait_until(
        [&] {
            int status = 0;
            exited = ::waitpid(m_pid, &status, WNOHANG) == m_pid;
            if (exited)
                return true;
            platform::socket_t s = platform::tcp_socket();
            const bool accepted = platform::connect_ipv4(s, platform::parse_ipv4("127.0.0.1"), m_port) == 0;
            platform::close_socket(s);
            return accepted;
        },
        ms);
    if (exited) {
        m_pid = -1;
        m_error = "nginx exited: " + ErrorLog();
        return false;
    }
    if (!up)
        m_error = "nginx did not accept connections in time";
    return up;
}

bool NginxServer::start()
{
    if (m_pid > 0)
        return true;
    if (m_prefix.empty() || m_root.empty()) {
        m_error = "no temporary folder";
        return false;
    }
    if (!Available()) {
        m_error = "no nginx at " + Binary();
        return false;
    }
    // The port may be taken between the probe and nginx's bind: try again
    // with another one.
    for (int attempt = 0; attempt < 3; ++attempt) {
        m_port = free_port();
        if (m_port == 0 || !write_config()) {
            m_error = "cannot prepare the configuration";
            return false;
        }
        const std::string binary = Binary();
        const std::string conf = m_prefix + "/nginx.conf";
        const std::string output = m_prefix + "/logs/nginx.out";
        const pid_t parent = ::getpid();
        const pid_t pid = ::fork();
        if (pid < 0) {
            m_error = "fork failed";
            return false;
        }
        if (pid == 0) {
            // A test process that dies (a sanitizer halting it) takes nginx
            // along, and nginx never holds the test's output open: the test
            // runner reads that output to its end and would wait for an
            // orphaned nginx until its time-out.
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(127);
            const int null_in = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
            const int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
            if (null_in < 0 || out < 0 || ::dup2(null_in, STDIN_FILENO) < 0 || ::dup2(out, STDOUT_FILENO) < 0 ||
                ::dup2(out, STDERR_FILENO) < 0)
                ::_exit(127);
            ::execl(binary.c_str(), binary.c_str(), "-p", m_prefix.c_str(), "-c", conf.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        m_pid = pid;
        if (wait_ready(5000))
            return true;
        stop();
    }
    return false;
}

void NginxServer::stop()
{
    if (m_pid <= 0)
        return;
    ::kill(m_pid, SIGTERM);
    int status = 0;
    if (!test_support::wait_until([&] { return ::waitpid(m_pid, &status, WNOHANG) == m_pid; }, 3000)) {
        ::kill(m_pid, SIGKILL);
        ::waitpid(m_pid, &status, 0);
    }
    m_pid = -1;
}

std::size_t NginxServer::CountAccessLog(const std::string& needle) const
{
    std::istringstream lines(read_file(m_prefix + "/logs/access.log"));
    std::size_t count = 0;
    for (std::string line; std::getline(lines, line);) {
        if (line.find(needle) != std::string::npos)
            ++count;
    }
    return count;
}

std::vector<NginxServer::Served> NginxServer::AccessLog() const
{
    std::vector<Served> out;
    std::istringstream lines(read_file(m_prefix + "/logs/access.log"));
    for (std::string line; std::getline(lines, line);) {
        Served s;
        const std::size_t q1 = line.find(" \"");
        const std::size_t q2 = q1 == std::string::npos ? q1 : line.find("\" ", q1 + 2);
        if (q2 == std::string::npos)
            continue;
        s.uri = line.substr(0, q1);
        s.range = line.substr(q1 + 2, q2 - q1 - 2);
        if (s.range.compare(0, 6, "bytes=") == 0)
            s.range_start = std::strtoll(s.range.c_str() + 6, nullptr, 10);
        char* end = nullptr;
        s.status = int(std::strtol(line.c_str() + q2 + 2, &end, 10));
        char* after = nullptr;
        s.bytes_sent = end ? std::strtoull(end, &after, 10) : 0;
        s.connection = after ? std::strtoull(after, nullptr, 10) : 0;
        out.push_back(s);
    }
    return out;
}

std::string NginxServer::ErrorLog() const
{
    // What nginx wrote before it opened its own log comes after it.
    return read_file(m_prefix + "/logs/error.log") + read_file(m_prefix + "/logs/nginx.out");
}

}   // namespace test_support
