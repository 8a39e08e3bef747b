#include "platform/debug_output.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace platform {

namespace {

// -1 not yet read from the environment, 0 off, 1 on.
std::atomic<int> g_enabled{-1};

}   // namespace

bool debug_output_enabled()
{
    int v = g_enabled.load(std::memory_order_relaxed);
    if (v < 0) {
        const char* e = std::getenv("VR_DEBUG_OUTPUT");
        v = (e && std::strcmp(e, "1") == 0) ? 1 : 0;
        int expected = -1;
        g_enabled.compare_exchange_strong(expected, v);
        v = g_enabled.load(std::memory_order_relaxed);
    }
    return v == 1;
}

void set_debug_output_enabled(bool on)
{
    g_enabled.store(on ? 1 : 0, std::memory_order_relaxed);
}

void debug_output(const char* text)
{
    if (!text || !debug_output_enabled())
        return;
    // One write per line keeps lines of several threads apart.
    std::fputs(text, stderr);
}

void debug_output(const std::string& text)
{
    if (!debug_output_enabled())
        return;
    std::fwrite(text.data(), 1, text.size(), stderr);
}

}   // namespace platform
