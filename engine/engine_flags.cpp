#include "engine/engine_flags.h"

#include "platform/tick.h"
#include "report/client_log.h"

#include <algorithm>
#include <atomic>
#include <mutex>

namespace engine_flags {
namespace {

std::atomic<bool> g_shutting_down{false};
std::atomic<bool> g_index_servers_usable{true};
std::atomic<bool> g_progress_every_second{true};
std::atomic<std::int32_t> g_max_task_num{10};
std::atomic<std::uint16_t> g_listen_port{9768};
std::atomic<bool> g_upnp_done{false};

// The back-off of the index servers after failed CIS replies.
struct IndexServerBackoff {
    std::mutex lock;
    bool running = false;         // the flag comes back at `retry_at`
    std::uint32_t retry_at = 0;   // tick
    std::uint32_t next_ms = kIndexServersFirstBackoffMs;
};
IndexServerBackoff& backoff()
{
    static IndexServerBackoff b;
    return b;
}

// Guards the two texts below.
std::mutex& text_lock()
{
    static std::mutex lock;
    return lock;
}
std::string& bitmap_folder_text()
{
    static std::string text;
    return text;
}
std::string& external_ip_text()
{
    static std::string text;
    return text;
}

}   // namespace

bool shutting_down()
{
    return g_shutting_down.load();
}
void set_shutting_down(bool on)
{
    g_shutting_down.store(on);
}

bool index_servers_usable()
{
    if (g_index_servers_usable.load())
        return true;
    IndexServerBackoff& b = backoff();
    std::lock_guard<std::mutex> guard(b.lock);
    if (!b.running || !platform::tick_reached(platform::tick_count(), b.retry_at))
        return false;
    b.running = false;
    g_index_servers_usable.store(true);
    WriteClientLog("index servers: back-off over, peer lists are asked of the CIS again\n");
    return true;
}

void set_index_servers_usable(bool on)
{
    IndexServerBackoff& b = backoff();
    std::lock_guard<std::mutex> guard(b.lock);
    b.running = false;
    if (on)
        b.next_ms = kIndexServersFirstBackoffMs;
    g_index_servers_usable.store(on);
}

void index_servers_failed()
{
    IndexServerBackoff& b = backoff();
    std::lock_guard<std::mutex> guard(b.lock);
    // Already clear: offline until a logon succeeds, or a late reply to a
    // request made before the back-off began.
    if (!g_index_servers_usable.load())
        return;
    g_index_servers_usable.store(false);
    b.running = true;
    b.retry_at = platform::tick_count() + b.next_ms;
    WriteClientLog("index servers: CIS reply failed, peer lists come from the CDN query for " +
                   std::to_string(b.next_ms) + " ms\n");
    b.next_ms = std::min(b.next_ms * 2, kIndexServersMaxBackoffMs);
}

void index_servers_answered()
{
    IndexServerBackoff& b = backoff();
    std::lock_guard<std::mutex> guard(b.lock);
    b.next_ms = kIndexServersFirstBackoffMs;
}

bool progress_every_second()
{
    return g_progress_every_second.load();
}
void set_progress_every_second(bool on)
{
    g_progress_every_second.store(on);
}

std::int32_t max_task_num()
{
    return g_max_task_num.load();
}
void set_max_task_num(std::int32_t n)
{
    if (n < 1)
        n = 1;
    if (n > 100)
        n = 100;
    g_max_task_num.store(n);
}

std::uint16_t listen_port()
{
    return g_listen_port.load();
}
void set_listen_port(std::uint16_t port)
{
    g_listen_port.store(port);
}

std::string bitmap_folder()
{
    std::lock_guard<std::mutex> guard(text_lock());
    return bitmap_folder_text();
}

void set_bitmap_folder(const std::string& folder)
{
    std::lock_guard<std::mutex> guard(text_lock());
    bitmap_folder_text() = folder;
}

bool upnp_done()
{
    return g_upnp_done.load();
}

std::string external_ip()
{
    std::lock_guard<std::mutex> guard(text_lock());
    return external_ip_text();
}

void set_upnp_result(bool done, const std::string& external_ip)
{
    std::lock_guard<std::mutex> guard(text_lock());
    external_ip_text() = external_ip;
    g_upnp_done.store(done);
}

void reset()
{
    g_shutting_down.store(false);
    set_index_servers_usable(true);
    g_progress_every_second.store(true);
    g_max_task_num.store(10);
    g_listen_port.store(9768);
    set_upnp_result(false, std::string());
    set_bitmap_folder(std::string());
}

}   // namespace engine_flags
