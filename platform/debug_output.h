// Trace lines for an attached debugger: written to stderr only when
// VR_DEBUG_OUTPUT=1, otherwise dropped at the cost of one flag test.
#pragma once

#include <string>

namespace platform {

// True when debugger output is switched on (read once, then cached).
bool debug_output_enabled();

// Switches the output on or off at run time (tests, the service's switch).
void set_debug_output_enabled(bool on);

// Writes the text as it is (the caller supplies line ends).
void debug_output(const char* text);
void debug_output(const std::string& text);

}   // namespace platform
