// The one bounded wait of the tests: polls a condition on the real clock.
// It reads the steady clock, not the replaceable tick, because many tests
// freeze the tick or move it by hand.
#pragma once

#include <chrono>
#include <cstdint>
#include <thread>

namespace test_support {

// Polls `done` until it holds, for at most `ms` milliseconds; true when it
// held. Polls every millisecond at first, then every 5 ms, so an event that
// comes at once is seen at once and a long wait costs little.
template <class Pred>
bool wait_until(Pred&& done, std::uint32_t ms = 5000)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (unsigned polls = 0;; ++polls) {
        if (done())
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return done();
        std::this_thread::sleep_for(std::chrono::milliseconds(polls < 20 ? 1 : 5));
    }
}

}   // namespace test_support
