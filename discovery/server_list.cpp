#include "discovery/server_list.h"

namespace {

std::string Trim(const std::string& text)
{
    static const char* const kBlanks = " \t\r\n";
    const std::size_t first = text.find_first_not_of(kBlanks);
    if (first == std::string::npos)
        return std::string();
    const std::size_t last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

}   // namespace

CServerList& CServerList::Instance()
{
    static CServerList list;
    return list;
}

void CServerList::Add(std::int32_t type, const ServerRecord& record)
{
    ServerRecord entry;
    entry.host = Trim(record.host);
    if (entry.host.empty())
        return;
    entry.port = record.port;
    entry.type = type;
    std::lock_guard<std::mutex> guard(m_lock);
    for (const ServerRecord& known : m_servers) {
        if (known.type == entry.type && known.host == entry.host && known.port == entry.port)
            return;
    }
    m_servers.push_back(entry);
}

int CServerList::GetByType(std::int32_t type, std::vector<ServerRecord>& out) const
{
    out.clear();
    std::lock_guard<std::mutex> guard(m_lock);
    for (const ServerRecord& known : m_servers) {
        if (known.type == type)
            out.push_back(known);
    }
    return 1;
}

std::size_t CServerList::Size() const
{
    std::lock_guard<std::mutex> guard(m_lock);
    return m_servers.size();
}

void CServerList::Clear()
{
    std::lock_guard<std::mutex> guard(m_lock);
    m_servers.clear();
}
