#include "engine/engine_flags.h"

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

} // namespace

bool shutting_down() { return g_shutting_down.load(); }
void set_shutting_down(bool on) { g_shutting_down.store(on); }

bool index_servers_usable() { return g_index_servers_usable.load(); }
void set_index_servers_usable(bool on) { g_index_servers_usable.store(on); }

bool progress_every_second() { return g_progress_every_second.load(); }
void set_progress_every_second(bool on) { g_progress_every_second.store(on); }

std::int32_t max_task_num() { return g_max_task_num.load(); }
void set_max_task_num(std::int32_t n)
{
    if (n < 1)
        n = 1;
    if (n > 100)
        n = 100;
    g_max_task_num.store(n);
}

std::uint16_t listen_port() { return g_listen_port.load(); }
void set_listen_port(std::uint16_t port) { g_listen_port.store(port); }

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

bool upnp_done() { return g_upnp_done.load(); }

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
    g_index_servers_usable.store(true);
    g_progress_every_second.store(true);
    g_max_task_num.store(10);
    g_listen_port.store(9768);
    set_upnp_result(false, std::string());
    set_bitmap_folder(std::string());
}

} // namespace engine_flags
