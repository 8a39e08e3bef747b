// Process memory housekeeping.
#pragma once

#include <cstddef>

namespace platform {

// Hands freed heap memory back to the system (the working-set trim the
// service does after large releases). Safe to call at any time.
void trim_working_set();

// A large buffer's memory straight from the system, given back whole when
// freed: the heap would keep it for reuse (and take it as a cue to serve
// later large requests from its own free lists), which leaves a process
// that works through many such buffers with its peak held. Under the
// address sanitizer it comes from the heap, so that it is checked and
// counted. Null when the system has none.
void* allocate_pages(std::size_t bytes);
void free_pages(void* pages, std::size_t bytes);

}   // namespace platform
