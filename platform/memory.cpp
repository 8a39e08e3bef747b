#include "platform/memory.h"

#include <malloc.h>

namespace platform {

void trim_working_set()
{
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

}   // namespace platform
