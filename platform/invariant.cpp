#include "platform/invariant.h"

#include <cstdio>
#include <cstdlib>

namespace platform {

void invariant_failed(const char* expression, const char* file, int line)
{
    std::fprintf(stderr, "invariant failed: %s at %s:%d\n", expression, file, line);
    std::fflush(stderr);
    std::abort();
}

} // namespace platform
