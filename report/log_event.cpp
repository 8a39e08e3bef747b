#include "report/log_event.h"

void LogEvent(std::uint32_t, const char*, std::uint32_t, std::uint32_t, const char*, ...)
{
    // No statistics logger exists in this service: nothing to format, nothing
    // to record. Kept as a call so the event ids stay visible at their sites.
}
