// Process memory housekeeping.
#pragma once

namespace platform {

// Hands freed heap memory back to the system (the working-set trim the
// service does after large releases). Safe to call at any time.
void trim_working_set();

}   // namespace platform
