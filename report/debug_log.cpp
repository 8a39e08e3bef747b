#include "report/debug_log.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <mutex>
#include <string>

#include "platform/event.h"
#include "platform/paths.h"
#include "platform/thread.h"
#include "platform/tick.h"

namespace {

constexpr std::uint32_t default_scan_seconds = 60;
constexpr std::uint32_t max_scan_seconds = 24 * 3600;
constexpr std::uint32_t poll_ms = 100;   // stop-flag and tick poll of the re-read thread
constexpr std::uint32_t stop_bound_ms = 3000;
// A switched-on data dump of every served block fills a disk in hours; past
// this size a file takes no more writes until the log is restarted.
constexpr long max_file_bytes = 256L << 20;

struct Switches {
    int log = 0;
    int data = 0;
    std::uint32_t scan_seconds = default_scan_seconds;
};

// Reads "log.conf"; a missing file means everything off.
Switches read_switches(const std::string& path)
{
    Switches s;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f)
        return s;
    char line[512];
    while (std::fgets(line, sizeof line, f)) {
        std::string text(line);
        const std::size_t start = text.find_first_not_of(" \t\r\n");
        if (start == std::string::npos || text[start] == '#' || text[start] == ';' || text[start] == '[')
            continue;
        const std::size_t key_end = text.find_first_of("=: \t\r\n", start);
        if (key_end == std::string::npos)
            continue;
        std::string key = text.substr(start, key_end - start);
        for (char& c : key)
            c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        const std::size_t value_start = text.find_first_not_of("=: \t", key_end);
        if (value_start == std::string::npos || !std::isdigit(static_cast<unsigned char>(text[value_start])))
            continue;
        const long value = std::strtol(text.c_str() + value_start, nullptr, 10);
        if (key == "LOGSWITCH")
            s.log = value < 0 ? 0 : (value > 100 ? 100 : static_cast<int>(value));
        else if (key == "DATSWITCH")
            s.data = value < 0 ? 0 : (value > 100 ? 100 : static_cast<int>(value));
        else if (key == "SCANCONFTIME")
            s.scan_seconds = value < 1 ? default_scan_seconds
                                       : static_cast<std::uint32_t>(value > long(max_scan_seconds) ? max_scan_seconds
                                                                                                   : value);
    }
    std::fclose(f);
    return s;
}

class DebugLogState {
public:
    std::mutex control;   // one Start at a time
    std::mutex lock;      // guards the files and their paths
    std::atomic<bool> started{false};
    std::atomic<int> log_switch{0};
    std::atomic<int> data_switch{0};
    std::atomic<std::uint32_t> scan_seconds{default_scan_seconds};
    std::atomic<bool> stop{false};
    platform::Event wake{platform::Event::Reset::automatic};
    platform::ThreadSlot thread;
    std::string log_path;
    std::string data_path;
    std::FILE* log_file = nullptr;
    std::FILE* data_file = nullptr;

    void apply(const Switches& s)
    {
        log_switch.store(s.log);
        data_switch.store(s.data);
        scan_seconds.store(s.scan_seconds);
    }

    void rescan_loop(const std::string& path, std::uint32_t start_tick)
    {
        std::uint32_t next = start_tick + scan_seconds.load() * 1000u;
        while (!stop.load()) {
            wake.wait(poll_ms);
            if (stop.load())
                break;
            const std::uint32_t now = platform::tick_count();
            if (!platform::tick_reached(now, next))
                continue;
            apply(read_switches(path));
            next = now + scan_seconds.load() * 1000u;
        }
    }

    // Opens the file on first use; null when it cannot be opened or has
    // reached its cap with `more` bytes. Caller holds `lock`.
    static std::FILE* ensure_open(std::FILE*& file, const std::string& path, std::size_t more)
    {
        if (!file && !path.empty())
            file = std::fopen(path.c_str(), "ab");
        if (!file)
            return nullptr;
        const long size = std::ftell(file);
        if (size < 0 || size + static_cast<long>(more) > max_file_bytes)
            return nullptr;
        return file;
    }
};

DebugLogState& state()
{
    static DebugLogState s;
    return s;
}

// "YYYY-MM-DD hh:mm:ss.mmm [tid] "
std::string line_prefix()
{
    const auto now = std::chrono::system_clock::now();
    const std::time_t secs = std::chrono::system_clock::to_time_t(now);
    const long ms =
        static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000);
    std::tm tm{};
    localtime_r(&secs, &tm);
    char buf[64];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03ld [%u] ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ms, platform::current_thread_id());
    return buf;
}

std::string format_text(const char* format, std::va_list args)
{
    if (!format)
        return std::string();
    char buf[1024];
    std::va_list copy;
    va_copy(copy, args);
    const int n = std::vsnprintf(buf, sizeof buf, format, copy);
    va_end(copy);
    if (n < 0)
        return std::string();
    if (static_cast<std::size_t>(n) < sizeof buf)
        return std::string(buf, static_cast<std::size_t>(n));
    std::string big(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(&big[0], big.size(), format, args);
    big.resize(static_cast<std::size_t>(n));
    return big;
}

bool within(int level, int switch_value)
{
    return level >= 1 && level <= switch_value;
}

}   // namespace

bool DebugLog::Start(const char* prefix, const std::string& folder)
{
    DebugLogState& s = state();
    std::lock_guard<std::mutex> control(s.control);
    if (s.started.load())
        return true;
    const std::string dir = folder.empty() ? platform::log_dir() : folder;
    const std::string name = (prefix && *prefix) ? prefix : "debug";
    const std::string conf = platform::join_path(dir, "log.conf");
    {
        std::lock_guard<std::mutex> guard(s.lock);
        s.log_path = platform::join_path(dir, name + "_debug.log");
        s.data_path = platform::join_path(dir, name + "_data.log");
    }
    s.apply(read_switches(conf));
    // The schedule starts now, not whenever the thread first runs.
    const std::uint32_t start_tick = platform::tick_count();
    // Flags flipped under the thread's start lock, which a Stop raises its
    // flag under: a start meanwhile is refused, never half undone.
    const auto prepare = [&s] {
        s.stop.store(false);
        s.wake.reset();
        s.started.store(true);
    };
    if (s.thread.start(
            prepare, [&s, conf, start_tick] { s.rescan_loop(conf, start_tick); }, "debuglog") !=
        platform::ThreadSlot::Started::yes) {
        s.started.store(false);
        s.apply(Switches{});
        return false;
    }
    return true;
}

void DebugLog::Stop()
{
    DebugLogState& s = state();
    bool was_started = false;
    const auto raise = [&s, &was_started] {
        was_started = s.started.exchange(false);
        s.stop.store(true);
        s.wake.set();
    };
    // The thread polls its stop flag every 100 ms and takes no lock, so it
    // ends well within the bound; the join holds no lock.
    s.thread.stop(raise, stop_bound_ms, [] {});
    if (!was_started)
        return;
    s.apply(Switches{});
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.log_file)
        std::fclose(s.log_file);
    if (s.data_file)
        std::fclose(s.data_file);
    s.log_file = nullptr;
    s.data_file = nullptr;
    s.log_path.clear();
    s.data_path.clear();
}

void DebugLog::WriteLog(int level, const char* format, ...)
{
    DebugLogState& s = state();
    // Cheap test first: callers log on hot paths with the log switched off.
    if (!s.started.load(std::memory_order_relaxed) || !within(level, s.log_switch.load(std::memory_order_relaxed)))
        return;
    std::va_list args;
    va_start(args, format);
    std::string line = line_prefix() + format_text(format, args);
    va_end(args);
    if (line.empty() || line.back() != '\n')
        line += '\n';
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.started.load())
        return;
    if (std::FILE* f = DebugLogState::ensure_open(s.log_file, s.log_path, line.size())) {
        std::fwrite(line.data(), 1, line.size(), f);
        std::fflush(f);
    }
}

void DebugLog::WriteData(int level, const void* data, std::uint32_t length, const char* format, ...)
{
    DebugLogState& s = state();
    if (!s.started.load(std::memory_order_relaxed) || !within(level, s.data_switch.load(std::memory_order_relaxed)))
        return;
    if (!data)
        length = 0;
    std::va_list args;
    va_start(args, format);
    const std::string label = format_text(format, args);
    va_end(args);
    const std::string header = line_prefix() + label + " len=" + std::to_string(length) + "\n";
    std::lock_guard<std::mutex> guard(s.lock);
    if (!s.started.load())
        return;
    if (std::FILE* f = DebugLogState::ensure_open(s.data_file, s.data_path, header.size() + length + 1)) {
        std::fwrite(header.data(), 1, header.size(), f);
        if (length)
            std::fwrite(data, 1, length, f);
        std::fputc('\n', f);
        std::fflush(f);
    }
}

int DebugLog::LogSwitch()
{
    return state().log_switch.load();
}

int DebugLog::DataSwitch()
{
    return state().data_switch.load();
}

std::uint32_t DebugLog::ScanSeconds()
{
    return state().scan_seconds.load();
}

bool DebugLog::IsStarted()
{
    return state().started.load();
}

std::string DebugLog::LogFilePath()
{
    DebugLogState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.log_path;
}

std::string DebugLog::DataFilePath()
{
    DebugLogState& s = state();
    std::lock_guard<std::mutex> guard(s.lock);
    return s.data_path;
}
