// System texts the service writes into its log and uses as fallbacks.
#pragma once

#include <string>

namespace kx2dll {

// The "system directory": the fallback folder for the information file and
// for a launcher that registers without a path.
std::string get_system_directory();

// The system's message for the last error of the calling thread; empty when
// there is none.
std::string get_last_error_text();

}   // namespace kx2dll
