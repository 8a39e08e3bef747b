#include "net/io/transfer_limits.h"

#include "platform/tick.h"
#include "report/client_log.h"

#include <mutex>
#include <sstream>

namespace transfer_limits {

namespace {

// Ten per-second buckets and the second last written.
struct buckets {
    std::uint32_t value[10] = {};
    std::int64_t index = -1;

    // Adds `bytes` to the bucket of `slot`; a new second starts from them.
    std::uint32_t add(std::int64_t slot, std::uint32_t bytes)
    {
        if (slot == index) {
            value[slot] += bytes;
        } else {
            value[slot] = bytes;
            index = slot;
        }
        return value[slot];
    }
    std::uint64_t sum() const
    {
        std::uint64_t s = 0;
        for (std::uint32_t v : value)
            s += v;
        return s;
    }
};

struct state {
    std::mutex lock;   // guards the buckets and averages
    buckets download;
    buckets upload;
    buckets request;
    float average_download = 0;
    float average_upload = 0;
};

state& counters()
{
    static state s;
    return s;
}

std::atomic<bool> g_limit_on{false};
std::atomic<std::uint32_t> g_download_limit{0};
std::atomic<std::uint32_t> g_upload_limit{0};
std::atomic<std::int32_t> g_http_connection_limit{10};
std::atomic<seconds_source> g_seconds_source{nullptr};

std::int64_t slot_now()
{
    const std::int64_t s = now_seconds() % 10;
    return s < 0 ? s + 10 : s;
}

void write_line(const char* prefix, std::uint32_t value)
{
    std::ostringstream line;
    line << prefix << value << "]";
    WriteClientLogStream(line);
}

}   // namespace

void set_speed_limit_on(bool on)
{
    g_limit_on.store(on);
}
bool speed_limit_on()
{
    return g_limit_on.load();
}

void set_limits(std::uint32_t download_bytes, std::uint32_t upload_bytes)
{
    g_download_limit.store(download_bytes);
    g_upload_limit.store(upload_bytes);
}

std::uint32_t download_limit()
{
    return g_download_limit.load();
}
std::uint32_t upload_limit()
{
    return g_upload_limit.load();
}

void add_immediate_bytes(std::uint32_t downloaded, std::uint32_t uploaded)
{
    const std::int64_t slot = slot_now();
    std::uint32_t down;
    std::uint32_t up;
    {
        state& s = counters();
        std::lock_guard<std::mutex> guard(s.lock);
        down = s.download.add(slot, downloaded);
        up = s.upload.add(slot, uploaded);
    }
    if (!g_limit_on.load())
        return;
    if (down >= g_download_limit.load())
        write_line("zeq::debug -- immediate download bytes[", down);
    if (up >= g_upload_limit.load())
        write_line("zeq::debug -- immediate upload bytes[", up);
}

void update_average_speed()
{
    float down;
    float up;
    {
        state& s = counters();
        std::lock_guard<std::mutex> guard(s.lock);
        s.average_download = static_cast<float>(s.download.sum()) / 10.0f;
        s.average_upload = static_cast<float>(s.upload.sum()) / 10.0f;
        down = s.average_download;
        up = s.average_upload;
    }
    std::ostringstream line;
    line << "avg speed: down[" << down << "],up[" << up << "]";
    WriteClientLogStream(line);
}

float average_download_speed()
{
    std::lock_guard<std::mutex> guard(counters().lock);
    return counters().average_download;
}

float average_upload_speed()
{
    std::lock_guard<std::mutex> guard(counters().lock);
    return counters().average_upload;
}

std::uint64_t download_bucket_sum()
{
    std::lock_guard<std::mutex> guard(counters().lock);
    return counters().download.sum();
}

std::uint64_t upload_bucket_sum()
{
    std::lock_guard<std::mutex> guard(counters().lock);
    return counters().upload.sum();
}

void add_request_bytes(std::uint32_t bytes)
{
    std::uint32_t total;
    {
        state& s = counters();
        std::lock_guard<std::mutex> guard(s.lock);
        total = s.request.add(slot_now(), bytes);
    }
    if (g_limit_on.load() && total >= g_download_limit.load())
        write_line("zeq::debug -- immediate request bytes[", total);
}

std::uint32_t current_request_bytes()
{
    const std::int64_t slot = slot_now();
    std::lock_guard<std::mutex> guard(counters().lock);
    const buckets& b = counters().request;
    return b.index == slot ? b.value[slot] : 0;
}

std::atomic<std::int32_t>& http_connection_limit()
{
    return g_http_connection_limit;
}

std::int64_t now_seconds()
{
    if (seconds_source source = g_seconds_source.load())
        return source();
    return platform::unix_time();
}

void set_seconds_source(seconds_source source)
{
    g_seconds_source.store(source);
}

void reset()
{
    {
        state& s = counters();
        std::lock_guard<std::mutex> guard(s.lock);
        s.download = {};
        s.upload = {};
        s.request = {};
        s.average_download = 0;
        s.average_upload = 0;
    }
    g_limit_on.store(false);
    g_download_limit.store(0);
    g_upload_limit.store(0);
    g_http_connection_limit.store(10);
}

}   // namespace transfer_limits
