// Why a launcher command failed. The download manager's operations answer
// true or false; the reason of a false one is left here, on the thread that
// ran the operation, for the command handler to put into its reply and the
// service log. Error texts start with "params is null", the text launchers
// have always compared, and go on with the reason.
#pragma once

#include <string>

namespace kx2dll {

// Records the reason of the failure the calling thread is making (the last
// one recorded wins).
void set_failure_reason(const std::string& reason);

// The reason recorded on the calling thread since the last take, cleared;
// `otherwise` when none was recorded.
std::string take_failure_reason(const std::string& otherwise);

// The text with "<", ">" and "&" escaped for an element's text: a reply
// inserts its texts as they are, and a reason may quote what the launcher
// sent.
std::string reply_text(const std::string& text);

// "params is null", then ": " and the reason (escaped) when there is one.
std::string error_text(const std::string& reason);

// Writes an error line to the service log whatever the logging switch says.
void log_error(const std::string& line);

}   // namespace kx2dll
