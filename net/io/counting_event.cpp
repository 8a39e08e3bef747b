#include "net/io/counting_event.h"

void CCountingEvent::Post()
{
    if (m_count.fetch_add(1) == 0)
        m_event.set();
}

bool CCountingEvent::Wait(std::uint32_t ms)
{
    if (!m_event.wait(ms))
        return false;
    // Posts that arrived while the count was above 0 did not set the event:
    // set it again for them.
    if (m_count.fetch_sub(1) > 1)
        m_event.set();
    return true;
}
