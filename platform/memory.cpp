#include "platform/memory.h"

#include <malloc.h>
#include <sys/mman.h>

#include <cstdlib>

#if defined(__SANITIZE_ADDRESS__)
#define VR_PAGES_FROM_HEAP 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VR_PAGES_FROM_HEAP 1
#endif
#endif

namespace platform {

void trim_working_set()
{
#if defined(__GLIBC__)
    ::malloc_trim(0);
#endif
}

void* allocate_pages(std::size_t bytes)
{
    if (bytes == 0)
        return nullptr;
#if defined(VR_PAGES_FROM_HEAP)
    return std::malloc(bytes);
#else
    void* p = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : p;
#endif
}

void free_pages(void* pages, std::size_t bytes)
{
    if (!pages)
        return;
#if defined(VR_PAGES_FROM_HEAP)
    (void)bytes;
    std::free(pages);
#else
    ::munmap(pages, bytes);
#endif
}

}   // namespace platform
