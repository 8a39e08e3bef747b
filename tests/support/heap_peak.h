// How much heap a piece of code holds at its worst: the peak of the bytes
// allocated while a HeapPeak lives, above what was allocated at its start.
// Counted through the address sanitizer's allocation hooks; without the
// sanitizer supported() is false and nothing is counted.
#pragma once

#include <cstddef>

namespace test_support {

class HeapPeak {
public:
    HeapPeak();
    ~HeapPeak();
    HeapPeak(const HeapPeak&) = delete;
    HeapPeak& operator=(const HeapPeak&) = delete;

    static bool supported();
    // Largest number of bytes in use above the start, so far.
    std::size_t peak() const;
    // Bytes in use above the start now (0 when fewer).
    std::size_t now() const;
};

}   // namespace test_support
