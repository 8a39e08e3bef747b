#include "service_test_support.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <fstream>
#include <sstream>

#include <flxmlrpc/XmlRpcClient.h>

#include "foundation/base64.h"
#include "platform/tick.h"

namespace service_test {

isolated_env::isolated_env()
{
    m_appdata = std::make_unique<test_support::ScopedEnv>("VR_APPDATA_DIR", appdata());
    m_runtime = std::make_unique<test_support::ScopedEnv>("VR_RUNTIME_DIR", m_dir.file("run"));
    m_system = std::make_unique<test_support::ScopedEnv>("VR_SYSTEM_DIR", system_dir());
    char cwd[PATH_MAX] = {};
    if (::getcwd(cwd, sizeof cwd) != nullptr)
        m_old_cwd = cwd;
    if (::chdir(root().c_str()) != 0)
        m_old_cwd.clear();
}

isolated_env::~isolated_env()
{
    // Back to where the test started; the folder is removed either way.
    if (!m_old_cwd.empty())
        static_cast<void>(::chdir(m_old_cwd.c_str()));
}

std::string request_doc(const std::string& type, int game_id, const fields& extra)
{
    std::string doc = "<p2spcmd type='" + type + "'><version>1</version><gameid>" + std::to_string(game_id) +
                      "</gameid>";
    for (const auto& field : extra)
        doc += "<" + field.first + ">" + field.second + "</" + field.first + ">";
    return doc + "</p2spcmd>";
}

call_result call(std::uint16_t port, const std::string& method, const XmlRpc::XmlRpcValue& params)
{
    call_result out;
    XmlRpc::XmlRpcClient client("127.0.0.1", port);
    XmlRpc::XmlRpcValue result;
    out.answered = client.execute(method.c_str(), params, result, 10.0);
    out.fault = client.isFault();
    if (out.answered && result.getType() == XmlRpc::XmlRpcValue::TypeString)
        out.text = static_cast<std::string&>(result);
    client.close();
    return out;
}

call_result call_service(std::uint16_t port, const std::string& document)
{
    XmlRpc::XmlRpcValue params;
    params[0] = base64_encode(document);
    return call(port, "ServiceInterface", params);
}

call_result post_service(std::uint16_t port, const std::string& document)
{
    call_result out;
    const std::string body = "<?xml version=\"1.0\"?><methodCall><methodName>ServiceInterface</methodName>"
                             "<params><param><value>" +
                             base64_encode(document) + "</value></param></params></methodCall>";
    const std::string request = "POST /RPC2 HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Type: text/xml\r\nContent-length: " +
                                std::to_string(body.size()) + "\r\n\r\n" + body;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    std::string reply;
    if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        // The response ends with its document (the server may keep the connection).
        const std::uint64_t end = platform::tick_count64() + 10000;
        while (reply.find("</methodResponse>") == std::string::npos && platform::tick_count64() < end) {
            pollfd p{fd, POLLIN, 0};
            char buffer[4096];
            const ssize_t n = ::poll(&p, 1, 20) > 0 ? ::recv(fd, buffer, sizeof buffer, 0) : 0;
            if (n < 0 || (n == 0 && p.revents != 0))
                break;
            reply.append(buffer, static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
        }
    }
    if (fd >= 0)
        ::close(fd);
    const std::size_t open = reply.find("<value>");
    const std::size_t close = reply.find("</value>", open);
    out.answered = reply.find("</methodResponse>") != std::string::npos;
    out.fault = reply.find("<fault>") != std::string::npos;
    if (out.answered && open != std::string::npos && close != std::string::npos) {
        out.text = reply.substr(open + 7, close - open - 7);
        if (out.text.compare(0, 8, "<string>") == 0)
            out.text = out.text.substr(8, out.text.size() - 17);
    }
    return out;
}

std::string decode(const std::string& text)
{
    std::string out;
    return base64_decode(text, out) ? out : std::string();
}

std::string read_text(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

namespace {

int bind_listener(std::uint16_t port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(fd, 1) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

}   // namespace

bool port_free(std::uint16_t port)
{
    const int fd = bind_listener(port);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

port_blocker::port_blocker(std::uint16_t port) : m_fd(bind_listener(port)) {}

port_blocker::~port_blocker()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

std::size_t occurrences(const std::string& text, const std::string& needle)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

}   // namespace service_test
