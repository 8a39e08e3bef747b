#include "service/launcher_error.h"

#include "service/net_service.h"

namespace kx2dll {
namespace {

thread_local std::string t_reason;

}   // namespace

void set_failure_reason(const std::string& reason)
{
    t_reason = reason;
}

std::string take_failure_reason(const std::string& otherwise)
{
    std::string reason;
    reason.swap(t_reason);
    return reason.empty() ? otherwise : reason;
}

std::string error_text(const std::string& reason)
{
    const std::string text = "params is null";
    return reason.empty() ? text : text + ": " + reply_text(reason);
}

std::string reply_text(const std::string& reason)
{
    std::string text;
    for (char c : reason) {
        switch (c) {
        case '<':
            text += "&lt;";
            break;
        case '>':
            text += "&gt;";
            break;
        case '&':
            text += "&amp;";
            break;
        default:
            text += c;
        }
    }
    return text;
}

void log_error(const std::string& line)
{
    NetService::LogErrorLine(line);
}

}   // namespace kx2dll
