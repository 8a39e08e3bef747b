#include "platform/event_log.h"

namespace platform {

bool EventLogReader::open(const std::string& log_name)
{
    m_open = !log_name.empty();
    return m_open;
}

bool EventLogReader::read(std::vector<EventLogRecord>& out)
{
    out.clear();
    return false;
}

}   // namespace platform
