// Shared ownership with a thread-safe reference count.
#pragma once

#include <cstddef>
#include <memory>

namespace fagex {

template <class T>
class SharedPtr {
public:
    SharedPtr() = default;
    // Takes ownership of p (deleted with delete when the last owner goes).
    explicit SharedPtr(T* p) : mPtr(p) {}
    template <class Y>
    SharedPtr(const SharedPtr<Y>& other) : mPtr(other.std())
    {
    }

    T& operator*() const { return *mPtr; }
    T* operator->() const { return mPtr.get(); }
    T* get() const { return mPtr.get(); }
    explicit operator bool() const { return mPtr != nullptr; }

    // Takes ownership of p; the pointer must be null (as after setNull).
    void bind(T* p) { mPtr.reset(p); }
    bool isNull() const { return mPtr == nullptr; }
    // Drops this owner's reference.
    void setNull() { mPtr.reset(); }
    bool unique() const { return mPtr.use_count() == 1; }
    long useCount() const { return mPtr.use_count(); }

    const std::shared_ptr<T>& std() const { return mPtr; }

    friend bool operator==(const SharedPtr& a, const SharedPtr& b) { return a.mPtr == b.mPtr; }
    friend bool operator!=(const SharedPtr& a, const SharedPtr& b) { return a.mPtr != b.mPtr; }

private:
    std::shared_ptr<T> mPtr;
};

}   // namespace fagex
