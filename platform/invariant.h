// Invariant checks that test builds keep on. VR_INVARIANT(cond) aborts with
// the expression and its place when cond is false; builds configured with
// VR_INVARIANTS (every sanitizer build, so every CI build) check it, release
// builds compile it away. Unlike assert it does not depend on NDEBUG, so an
// optimised test build still checks what the code claims.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace platform {

// Writes "invariant failed: EXPR at FILE:LINE" to stderr and aborts. Inline,
// so a file compiled on its own (a fuzz target's parser) needs no library.
[[noreturn]] inline void invariant_failed(const char* expression, const char* file, int line)
{
    std::fprintf(stderr, "invariant failed: %s at %s:%d\n", expression, file, line);
    std::fflush(stderr);
    std::abort();
}

}   // namespace platform

#if defined(VR_INVARIANTS)
#define VR_INVARIANT(cond) ((cond) ? static_cast<void>(0) : ::platform::invariant_failed(#cond, __FILE__, __LINE__))
#else
// Not evaluated, but still compiled, so a check cannot rot unseen.
#define VR_INVARIANT(cond) static_cast<void>(sizeof(!(cond)))
#endif
