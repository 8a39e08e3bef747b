// The service log "vr_download_dll.log" in the current directory: the
// default log of the process-wide fagex::LogManager. Its file is written in
// append mode, so a second host started from the same folder (refused,
// since the game id already runs) adds its line instead of overwriting the
// running service's log.
#pragma once

#include <cstddef>
#include <string>

namespace kx2dll {

extern const char* const service_log_name;

// Past this size the service log is moved aside to its name with ".1"
// (replacing the one moved there before) and begun afresh, so the two
// files together stay near twice the limit.
constexpr std::size_t default_service_log_limit = 8 * 1024 * 1024;
void set_service_log_limit(std::size_t bytes);

// What a log line shows of a text that may be long (a launcher's request):
// at most its first KiB, and when it is cut, how long it was.
std::string log_excerpt(const std::string& text);

// Creates the log manager and the service log when no log manager exists
// yet: the file of the run before goes to the ".1" name, and the new one
// begins with the line "vr_download <version>".
void open_service_log();

// One line in the service log: through the default log when a log manager
// exists, else appended to the file in the log's own format.
void write_service_log(const std::string& message);

// Deletes the log manager with its logs and closes the file.
void close_service_log();

}   // namespace kx2dll
