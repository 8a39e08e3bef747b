// Base of classes with one process-wide instance: constructing the derived
// object registers it, destroying it clears the registration.
#pragma once

#include <atomic>
#include <cassert>

namespace fagex {

template <typename T>
class Singleton {
public:
    Singleton(const Singleton&) = delete;
    Singleton& operator=(const Singleton&) = delete;

    // The instance; it must exist.
    static T& getSingleton()
    {
        T* p = msSingleton.load(std::memory_order_acquire);
        assert(p != nullptr);
        return *p;
    }
    // The instance, or null when none exists.
    static T* getSingletonPtr() { return msSingleton.load(std::memory_order_acquire); }

protected:
    Singleton()
    {
        T* expected = nullptr;
        // A second live instance would steal the registration of the first.
        [[maybe_unused]] bool first = msSingleton.compare_exchange_strong(expected, static_cast<T*>(this),
                                                                          std::memory_order_acq_rel);
        assert(first);
    }
    ~Singleton()
    {
        T* self = static_cast<T*>(this);
        msSingleton.compare_exchange_strong(self, nullptr, std::memory_order_acq_rel);
    }

private:
    inline static std::atomic<T*> msSingleton{nullptr};
};

}   // namespace fagex
