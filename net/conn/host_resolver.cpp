#include "net/conn/host_resolver.h"

#include "platform/debug_output.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

bool CHostResolver::ResolveHosts(const std::string& name, std::list<std::string>& out)
{
    m_names.clear();
    if (!AddName(name)) {
        out.clear();
        return false;
    }
    return ResolveAll(out);
}

bool CHostResolver::AddName(const std::string& name)
{
    if (name.empty())
        return false;
    m_names[name] = 1;
    return true;
}

bool CHostResolver::ResolveAll(std::list<std::string>& out)
{
    out.clear();
    if (m_names.empty())
        return false;
    m_results.clear();
    for (const auto& name : m_names)
        ResolveOne(name.first);
    for (const auto& result : m_results)
        out.push_back(result.first);
    return true;
}

int CHostResolver::ResolveOne(const std::string& name)
{
    if (m_names.empty())
        return resolve_no_name;
    addrinfo hints{};
    hints.ai_family = AF_INET;
    addrinfo* list = nullptr;
    const int rc = ::getaddrinfo(name.c_str(), nullptr, &hints, &list);
    if (rc != 0) {
        platform::debug_output("getaddrinfo error" + WinsockErrorText(rc) + "\n");
        return resolve_lookup_failed;
    }
    for (const addrinfo* ai = list; ai; ai = ai->ai_next) {
        if (ai->ai_family != AF_INET || !ai->ai_addr)
            continue;
        char text[INET_ADDRSTRLEN] = {};
        const auto* in = reinterpret_cast<const sockaddr_in*>(ai->ai_addr);
        if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text)) && text[0] != '\0') {
            m_results[text] = 1;
            platform::debug_output(std::string(text) + "\n");
        }
    }
    ::freeaddrinfo(list);
    return resolve_ok;
}

std::string CHostResolver::WinsockErrorText(int error)
{
    return ::gai_strerror(error);
}
