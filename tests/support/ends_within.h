// Runs a step that deadlocks when the code under test is at fault, with a
// bound: a deadlocked thread can be neither joined nor freed, so past the
// bound the test process ends, failing, instead of hanging the suite.
#pragma once

#include "support/wait_until.h"

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

namespace test_support {

// Runs `step` on a thread of its own and waits up to `ms` for it to end.
template <class Step>
void ends_within(Step&& step, std::uint32_t ms, const char* what)
{
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread runner([&step, done] {
        step();
        done->store(true);
    });
    if (wait_until([&] { return done->load(); }, ms)) {
        runner.join();
        return;
    }
    std::fprintf(stderr, "deadlock: %s did not end within %u ms\n", what, static_cast<unsigned>(ms));
    std::fflush(nullptr);
    std::_Exit(1);
}

}   // namespace test_support
