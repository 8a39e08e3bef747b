#include "report/client_id.h"

#include <atomic>

namespace {
std::atomic<std::uint64_t> g_client_id{0};
}

std::uint64_t GetProcessClientId()
{
    return g_client_id.load(std::memory_order_relaxed);
}

void SetProcessClientId(std::uint64_t client_id)
{
    g_client_id.store(client_id, std::memory_order_relaxed);
}
