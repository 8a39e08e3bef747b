// Helpers of the report tests: a tick source the tests move by hand (so the
// 1000 ms sender pass, the 60 s switch re-read and SCANCONFTIME fire without
// sleeping), a bounded poll, whole-file reads and a closed local port.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/paths.h"
#include "platform/tick.h"
#include "support/fake_log_server.h"
#include "support/wait_until.h"

namespace report_test {

inline std::atomic<std::uint32_t>& fake_now()
{
    static std::atomic<std::uint32_t> now{0};
    return now;
}

inline std::uint32_t fake_tick()
{
    return fake_now().load();
}

// Installs the fake clock for the life of the object.
class FakeTick {
public:
    explicit FakeTick(std::uint32_t start = 1000000u)
    {
        fake_now().store(start);
        platform::set_tick_source(&fake_tick);
    }
    ~FakeTick() { platform::set_tick_source(nullptr); }
    FakeTick(const FakeTick&) = delete;
    FakeTick& operator=(const FakeTick&) = delete;

    void advance(std::uint32_t ms) { fake_now().fetch_add(ms); }
};

// The whole file, "" when missing.
inline std::string read_all(const std::string& path)
{
    std::string out;
    platform::read_file(path, out);
    return out;
}

// A port on 127.0.0.1 with nothing listening (a server that is down).

}   // namespace report_test
